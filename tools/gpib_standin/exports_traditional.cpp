// The traditional calls of the stand-in driver, on board descriptors (0..7)
// and device descriptors (from ibdev). Only the bus operations reach the
// simulator; settings stay in the driver.
#include <cctype>
#include <cstring>
#include <mutex>

#include "bus_io.h"
#include "driver_constants.h"
#include "first_call_fault.h"
#include "status.h"
#include "units.h"

namespace {

using namespace standin;

constexpr const char* kBoardNamePrefix = "gpib";
constexpr int kFirstSecondaryAddress = 0x60;
constexpr int kLastSecondaryAddress = 0x7E;

bool IsBoard(int ud) { return FindBoard(ud) != nullptr; }
bool IsKnown(int ud) { return IsBoard(ud) || FindDevice(ud).has_value(); }

int UnknownDescriptor() { return Report(kErr, kEdvr, 0); }

// "gpib0" .. "gpib7", any case: the board's index, else -1.
int BoardNamed(const char* name) {
    if (name == nullptr) return -1;
    const std::size_t prefix = std::strlen(kBoardNamePrefix);
    if (std::strlen(name) != prefix + 1) return -1;
    for (std::size_t i = 0; i < prefix; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != kBoardNamePrefix[i]) return -1;
    }
    const int index = name[prefix] - '0';
    return FindBoard(index) != nullptr ? index : -1;
}

int Find(const char* name) {
    if (FailAsFirstCall()) return -1;
    const int board = BoardNamed(name);
    if (board < 0) {
        Report(kErr, kEdvr, 0);
        return -1;
    }
    ReportDone();
    return board;
}

}  // namespace

extern "C" {

// A primary address outside 0..30 makes an address-less device: its
// descriptor is returned with EARG, and bus I/O on it fails with EARG.
__attribute__((visibility("default"))) int ibdev(int boardIndex, int pad, int sad, int timeout, int eot,
                                                 int /*eos*/) {
    if (FailAsFirstCall()) return -1;
    if (FindBoard(boardIndex) == nullptr) {
        Report(kErr, kEneb, 0);
        return -1;
    }
    const bool sad_valid = sad == 0 || (sad >= kFirstSecondaryAddress && sad <= kLastSecondaryAddress);
    if (!sad_valid || !IsTimeoutCode(timeout)) {
        Report(kErr, kEarg, 0);
        return -1;
    }
    const int ud = AddDevice(Device{boardIndex, pad, sad, timeout, eot});
    if (ud < 0) {
        Report(kErr, kEdvr, 0);
        return -1;
    }
    const bool addressless = pad < 0 || pad > kMaxPrimaryAddress;
    Report(addressless ? kErr : 0, addressless ? kEarg : 0, 0);
    return ud;
}

__attribute__((visibility("default"))) int ibfindA(const char* name) { return Find(name); }
__attribute__((visibility("default"))) int ibfind(const char* name) { return Find(name); }

// Taking a board offline returns it to its defaults and closes its link; the
// next call connects anew. A device descriptor offline is gone.
__attribute__((visibility("default"))) int ibonl(int ud, int online) {
    if (Board* board = FindBoard(ud)) {
        if (online == 0) {
            ResetBoard(*board);
            RearmFirstCallFault();
        }
        return ReportDone();
    }
    if (!FindDevice(ud)) return UnknownDescriptor();
    if (online == 0) RemoveDevice(ud);
    return ReportDone();
}

__attribute__((visibility("default"))) int ibsre(int ud, int remoteEnable) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    Board* board = FindBoard(ud);
    if (board == nullptr) return IsKnown(ud) ? Report(kErr, kEarg, 0) : UnknownDescriptor();
    std::lock_guard hold(board->mutex);
    board->remoteEnable = remoteEnable != 0;
    return ReportDone();
}

__attribute__((visibility("default"))) int ibtmo(int ud, int timeout) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    if (!IsKnown(ud)) return UnknownDescriptor();
    if (!IsTimeoutCode(timeout)) return Report(kErr, kEarg, 0);
    if (Board* board = FindBoard(ud)) {
        std::lock_guard hold(board->mutex);
        board->timeout = timeout;
    } else {
        SetDeviceTimeout(ud, timeout);
    }
    return ReportDone();
}

// All I/O is synchronous: by the time anyone waits, it has completed.
__attribute__((visibility("default"))) int ibwait(int ud, int /*mask*/) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    return IsKnown(ud) ? ReportDone() : UnknownDescriptor();
}

__attribute__((visibility("default"))) int ibstop(int ud) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    return IsKnown(ud) ? ReportDone() : UnknownDescriptor();
}

// Go-to-local and device clear change nothing the simulator models.
__attribute__((visibility("default"))) int ibloc(int ud) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    return IsKnown(ud) ? ReportDone() : UnknownDescriptor();
}

__attribute__((visibility("default"))) int ibclr(int ud) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    if (IsBoard(ud)) return Report(kErr, kEarg, 0);
    return IsKnown(ud) ? ReportDone() : UnknownDescriptor();
}

// Device I/O; a board descriptor has no addressed listener or talker here.
__attribute__((visibility("default"))) int ibwrt(int ud, const void* buffer, long count) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    const std::optional<Device> device = FindDevice(ud);
    if (!device) return IsBoard(ud) ? Report(kErr, kEarg, 0) : UnknownDescriptor();
    return WriteBytes(device->board, device->pad, buffer, count, device->eot != 0 ? kDabEnd : kNullEnd,
                      device->timeout);
}

__attribute__((visibility("default"))) int ibrd(int ud, void* buffer, long count) {
    if (const auto failed = FailAsFirstCall()) return *failed;
    const std::optional<Device> device = FindDevice(ud);
    if (!device) return IsBoard(ud) ? Report(kErr, kEarg, 0) : UnknownDescriptor();
    return ReadBytes(device->board, device->pad, buffer, count, kStopEnd, device->timeout);
}

}  // extern "C"
