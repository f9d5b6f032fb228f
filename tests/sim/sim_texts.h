// What the simulator's bus tests send and expect, written out here rather
// than taken from the simulator's own tables, how Qt Test prints bytes, and
// a GPIB client of the simulator's socket.
#pragma once

#include <QFile>
#include <QStringList>
#include <QTest>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peer.h"

namespace QTest {
template <>
inline char* toString(const std::string& text) {
    return toPrettyCString(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace QTest

namespace orvex::test {

inline const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";
inline const std::string kLockRequest = "\x12\n";
inline const std::string kGranted = "<LOCK GRANTED>\r\n";

// The GPIB socket protocol, encoded by hand here so that a mistake in the
// simulator's own encoder cannot hide behind the same mistake in the test.
// Request: op, address, flags (bit 0: EOI), 0, u32 length, payload.
// Answer: status ('K', 'N', 'T'), flags (bit 0: END), 0, 0, u32 length, data.
struct GpibAnswer {
    char status = 0;  // 0 when no answer came
    bool end = false;
    std::uint32_t length = 0;
    std::string data;
};

class GpibClient {
public:
    explicit GpibClient(const QString& socketPath) : wire_(Peer::unix_socket(socketPath)) {}
    bool connected() const { return wire_ != nullptr; }

    GpibAnswer write(int address, std::string_view data, bool eoi = true) {
        return request('W', address, eoi, static_cast<std::uint32_t>(data.size()), data) ? answer()
                                                                                         : GpibAnswer{};
    }
    GpibAnswer read(int address, std::uint32_t maximum, std::uint32_t timeoutMs) {
        return sendRead(address, maximum, timeoutMs) ? answer(true) : GpibAnswer{};
    }
    // The read's request only; its answer comes with answer(true).
    bool sendRead(int address, std::uint32_t maximum, std::uint32_t timeoutMs) {
        return request('R', address, 0, maximum, u32(timeoutMs));
    }
    // Only a read's 'K' carries data; a write's length counts accepted bytes.
    GpibAnswer answer(bool ofRead = false) {
        const std::string header = wire_->read(8, std::chrono::minutes(1));
        if (header.size() != 8) return {};
        GpibAnswer answer{header[0], (header[1] & 0x01) != 0, 0, {}};
        for (int i = 7; i >= 4; --i)
            answer.length = answer.length << 8 | static_cast<std::uint8_t>(header[i]);
        if (ofRead && answer.status == 'K') answer.data = wire_->read(answer.length);
        return answer;
    }
    bool answered() { return wire_->has_input(); }

private:
    static std::string u32(std::uint32_t value) {
        std::string out;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
        return out;
    }
    bool request(char op, int address, bool flag, std::uint32_t length, std::string_view payload) {
        return wire_->send(std::string{op, static_cast<char>(address), flag, 0} + u32(length) +
                           std::string(payload));
    }

    std::unique_ptr<Peer> wire_;
};

inline std::vector<std::string> fileLines(const QString& path) {
    QFile file(path);
    std::vector<std::string> lines;
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) lines.push_back(file.readLine().toStdString());
    }
    return lines;
}

}  // namespace orvex::test
