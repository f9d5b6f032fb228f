#include "bus_io.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "driver_constants.h"
#include "gpib_wire.h"
#include "settings.h"
#include "status.h"
#include "units.h"

namespace standin {
namespace {

using std::chrono::milliseconds;

// The simulator answers a timed-out read when its time-out passes; the driver
// waits this much longer for that answer before it gives the link up, so
// that a busy machine does not turn an answer into a dropped link.
constexpr milliseconds kResponseGrace{1000};
constexpr int kGraceShareOfTimeout = 10;  // and a tenth of a long time-out on top

constexpr std::uint32_t kLongestTransfer = std::numeric_limits<std::uint32_t>::max();
constexpr std::byte kLineFeed{'\n'};

std::optional<milliseconds> ResponseWait(std::uint32_t timeout_ms) {
    if (timeout_ms == 0) return std::nullopt;  // the simulator waits without limit too
    const milliseconds timeout{timeout_ms};
    return timeout + kResponseGrace + timeout / kGraceShareOfTimeout;
}

int ReportFailure(const SimLink::Result& result) {
    switch (result.outcome) {
        case SimLink::Outcome::Answered:
            if (result.response.status == gpib_wire::Status::noListener) return Report(kErr, kEnol, 0);
            return Report(kErr | kTimo, kEabo, 0);  // 'T'
        case SimLink::Outcome::TimedOut:
            return Report(kErr | kTimo, kEabo, 0);
        case SimLink::Outcome::Malformed:
            return Report(kErr, kEdvr, 0);
        case SimLink::Outcome::Unreachable:
            break;
    }
    return Report(kErr, kEneb, 0);
}

bool Succeeded(const SimLink::Result& result) {
    return result.outcome == SimLink::Outcome::Answered && result.response.status == gpib_wire::Status::ok;
}

int EffectiveTimeout(const Board& board, int timeoutCode) {
    return timeoutCode == kBoardTimeout ? board.timeout : timeoutCode;
}

// One 'R' exchange into `data`; the caller holds the board.
SimLink::Result ReadOnce(Board& board, int index, int pad, std::span<std::byte> data,
                         std::uint32_t timeout_ms) {
    const gpib_wire::Request request{gpib_wire::Op::read, static_cast<std::uint8_t>(pad), 0,
                                     static_cast<std::uint32_t>(data.size())};
    std::array<std::uint8_t, gpib_wire::kReadTimeoutBytes> tail{};
    gpib_wire::putU32(tail.data(), timeout_ms);
    return board.link.Exchange(index, request, std::as_bytes(std::span(tail)), data,
                               ResponseWait(timeout_ms));
}

}  // namespace

int ClearInterface(int index) {
    Board* board = FindBoard(index);
    if (board == nullptr) return Report(kErr, kEneb, 0);
    std::lock_guard hold(board->mutex);
    const std::uint32_t timeout_ms = ScaledTimeout_ms(board->timeout);
    const gpib_wire::Request request{gpib_wire::Op::interfaceClear, 0, 0, 0};
    const SimLink::Result result = board->link.Exchange(index, request, {}, {}, ResponseWait(timeout_ms));
    if (!Succeeded(result)) return ReportFailure(result);
    return ReportDone();
}

int WriteBytes(int index, int pad, const void* data, long count, int eotMode, int timeoutCode) {
    Board* board = FindBoard(index);
    if (board == nullptr) return Report(kErr, kEneb, 0);
    const bool valid_mode = eotMode == kNullEnd || eotMode == kNlEnd || eotMode == kDabEnd;
    if (pad < 0 || pad > kMaxPrimaryAddress || count < 0 || (data == nullptr && count > 0) || !valid_mode ||
        static_cast<unsigned long>(count) >= kLongestTransfer) {
        return Report(kErr, kEarg, 0);
    }
    const auto* bytes = static_cast<const std::byte*>(data);
    std::vector<std::byte> payload(bytes, bytes + count);
    if (eotMode == kNlEnd) payload.push_back(kLineFeed);

    std::lock_guard hold(board->mutex);
    const std::uint32_t timeout_ms = ScaledTimeout_ms(EffectiveTimeout(*board, timeoutCode));
    const gpib_wire::Request request{gpib_wire::Op::write, static_cast<std::uint8_t>(pad),
                                     eotMode == kNullEnd ? std::uint8_t{0} : gpib_wire::kFlagEoi,
                                     static_cast<std::uint32_t>(payload.size())};
    const SimLink::Result result =
        board->link.Exchange(index, request, payload, {}, ResponseWait(timeout_ms));
    if (!Succeeded(result)) return ReportFailure(result);
    const long accepted = std::min<long>(count, result.response.length);
    return ReportDone(static_cast<int>(accepted));
}

int ReadBytes(int index, int pad, void* buffer, long count, int termination, int timeoutCode) {
    Board* board = FindBoard(index);
    if (board == nullptr) return Report(kErr, kEneb, 0);
    const bool stop_at_eoi = termination == kStopEnd;
    const bool eos_byte = termination >= 0 && termination <= 0xFF;
    if (pad < 0 || pad > kMaxPrimaryAddress || count < 0 || (buffer == nullptr && count > 0) ||
        !(stop_at_eoi || eos_byte)) {
        return Report(kErr, kEarg, 0);
    }
    if (count == 0) return ReportDone();
    const std::span<std::byte> target(
        static_cast<std::byte*>(buffer),
        std::min<std::size_t>(static_cast<std::size_t>(count), kLongestTransfer));

    std::lock_guard hold(board->mutex);
    const std::uint32_t timeout_ms = ScaledTimeout_ms(EffectiveTimeout(*board, timeoutCode));
    if (stop_at_eoi) {
        const SimLink::Result result = ReadOnce(*board, index, pad, target, timeout_ms);
        if (!Succeeded(result)) return ReportFailure(result);
        const bool end = (result.response.flags & gpib_wire::kFlagEoi) != 0;
        return Report(end ? kEnd : 0, 0, static_cast<int>(result.response.length));
    }
    // An end-of-string byte can only be seen byte by byte: the simulator keeps
    // the rest of its message for the next read.
    const auto eos = static_cast<std::byte>(termination);
    std::size_t stored = 0;
    while (stored < target.size()) {
        const SimLink::Result result = ReadOnce(*board, index, pad, target.subspan(stored, 1), timeout_ms);
        if (!Succeeded(result)) return ReportFailure(result);
        const bool end = (result.response.flags & gpib_wire::kFlagEoi) != 0;
        if (result.response.length == 0) return Report(end ? kEnd : 0, 0, static_cast<int>(stored));
        const bool eos_seen = target[stored] == eos;
        ++stored;
        if (end || eos_seen) return Report(kEnd, 0, static_cast<int>(stored));
    }
    return ReportDone(static_cast<int>(stored));
}

}  // namespace standin
