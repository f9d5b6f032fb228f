// Plain clients for the simulator's three buses, written against the raw
// system interfaces (a pty slave fd, a TCP socket, a Unix socket) so that the
// tests check the simulator and not a shared helper. Every read has a limit.
#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace orvex::test {

// Generous: a loaded 2-core machine running sanitizer builds in parallel.
inline constexpr std::chrono::milliseconds kReplyLimit{10000};

class WireClient {
public:
    explicit WireClient(int fd) : fd_(fd) {}
    WireClient(const WireClient&) = delete;
    ~WireClient() { ::close(fd_); }

    // The port as it is: the simulator sets raw mode on its side of the pty.
    static std::unique_ptr<WireClient> openSerial(const QString& path) {
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<WireClient>(fd);
    }
    static std::unique_ptr<WireClient> connectTcp(const QString& address, quint16 port) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.toLatin1().constData(), &peer.sin_addr) != 1) return nullptr;
        return connectTo(AF_INET, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    }
    static std::unique_ptr<WireClient> connectUnix(const QString& path) {
        sockaddr_un peer{};
        peer.sun_family = AF_UNIX;
        const QByteArray name = path.toLocal8Bit();
        if (static_cast<std::size_t>(name.size()) >= sizeof peer.sun_path) return nullptr;
        std::memcpy(peer.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
        return connectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    }

    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (written < 0 && errno == ENOTSOCK) written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(written));
        }
        return true;
    }
    // Exactly `count` bytes, or what came before the limit.
    std::string readBytes(std::size_t count, std::chrono::milliseconds limit = kReplyLimit) {
        const QDeadlineTimer deadline(limit);
        while (buffered_.size() < count && fill(deadline)) {
        }
        return take(count);
    }
    // Up to and including the next "\n", or what came before the limit.
    std::string readLine() {
        const QDeadlineTimer deadline(kReplyLimit);
        while (buffered_.find('\n') == std::string::npos && fill(deadline)) {
        }
        const auto end = buffered_.find('\n');
        return take(end == std::string::npos ? buffered_.size() : end + 1);
    }
    // Whether the far end went away (a pty whose device is gone, a closed
    // socket) before the limit; what arrives meanwhile is kept.
    bool waitForHangup(std::chrono::milliseconds limit = kReplyLimit) {
        const QDeadlineTimer deadline(limit);
        while (!deadline.hasExpired()) {
            pollfd waiting{fd_, POLLIN, 0};
            const int ready = ::poll(&waiting, 1, static_cast<int>(deadline.remainingTime()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char chunk[4096];
            const ssize_t count = ::read(fd_, chunk, sizeof chunk);
            if (count > 0) {
                buffered_.append(chunk, static_cast<std::size_t>(count));
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            return true;  // end of file or an error such as EIO
        }
        return false;
    }
    // Whether anything has arrived, without waiting.
    bool hasInput() { return !buffered_.empty() || fill(QDeadlineTimer(0)); }

private:
    static std::unique_ptr<WireClient> connectTo(int family, const sockaddr* peer, socklen_t size) {
        auto client = std::make_unique<WireClient>(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return client->fd_ >= 0 && ::connect(client->fd_, peer, size) == 0 ? std::move(client) : nullptr;
    }
    bool fill(const QDeadlineTimer& deadline) {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(deadline.remainingTime())) <= 0) return false;
        char chunk[4096];
        const ssize_t count = ::read(fd_, chunk, sizeof chunk);
        if (count > 0) buffered_.append(chunk, static_cast<std::size_t>(count));
        return count > 0;
    }
    std::string take(std::size_t count) {
        std::string out = buffered_.substr(0, count);
        buffered_.erase(0, out.size());
        return out;
    }

    int fd_;
    std::string buffered_;
};

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
    explicit GpibClient(const QString& socketPath) : wire_(WireClient::connectUnix(socketPath)) {}
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
        const std::string header = wire_->readBytes(8, std::chrono::minutes(1));
        if (header.size() != 8) return {};
        GpibAnswer answer{header[0], (header[1] & 0x01) != 0, 0, {}};
        for (int i = 7; i >= 4; --i)
            answer.length = answer.length << 8 | static_cast<std::uint8_t>(header[i]);
        if (ofRead && answer.status == 'K') answer.data = wire_->readBytes(answer.length);
        return answer;
    }
    bool answered() { return wire_->hasInput(); }

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

    std::unique_ptr<WireClient> wire_;
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
