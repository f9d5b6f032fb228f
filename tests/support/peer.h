// The far end of a link, or a plain client on one, on the raw system interfaces
// so that a test checks the program or the simulator and not a shared helper:
// a pty linked as "COMn", a device, a TCP client and a loopback listener. Every read has a limit.
#pragma once

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace orvex::test {

// Generous: a loaded 2-core machine running sanitizer builds in parallel.
inline constexpr std::chrono::milliseconds kPeerLimit{10000};

class Peer {
public:
    explicit Peer(int fd, QString link = {}) : fd_(fd), link_(std::move(link)) {}
    ~Peer() {
        close();
        if (!link_.isEmpty()) QFile::remove(link_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // A pseudo-terminal master whose slave side `directory`/COM<number> names.
    static std::unique_ptr<Peer> pty(const QString& directory, int number) {
        auto master = std::make_unique<Peer>(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        const QString link = QDir(directory).filePath(QStringLiteral("COM%1").arg(number));
        const int fd = master->fd_;
        if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0 ||
            !QFile::link(QString::fromLocal8Bit(::ptsname(fd)), link))
            return nullptr;
        master->link_ = link;
        return master;
    }
    // A serial device as it is: the simulator sets raw mode on its side.
    static std::unique_ptr<Peer> device(const QString& path) {
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<Peer>(fd);
    }
    static std::unique_ptr<Peer> tcp(const QString& address, quint16 port) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        auto client = std::make_unique<Peer>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const bool up = ::inet_pton(AF_INET, address.toLatin1().constData(), &peer.sin_addr) == 1 &&
                        client->ok() &&
                        ::connect(client->fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
        return up ? std::move(client) : nullptr;
    }
    bool ok() const { return fd_ >= 0; }
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (written < 0 && errno == ENOTSOCK) written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            bytes.remove_prefix(std::size_t(written));
        }
        return true;
    }
    // Exactly `count` bytes, or what came before the limit.
    std::string read(std::size_t count, std::chrono::milliseconds limit = kPeerLimit) {
        const QDeadlineTimer deadline(limit);
        while (buffered_.size() < count && fill(deadline) > 0) continue;
        return take(count);
    }
    // Up to and including the next "\n", or what came before the limit.
    std::string read_line(std::chrono::milliseconds limit = kPeerLimit) {
        const QDeadlineTimer deadline(limit);
        while (buffered_.find('\n') == std::string::npos && fill(deadline) > 0) continue;
        const auto end = buffered_.find('\n');
        return take(end == std::string::npos ? buffered_.size() : end + 1);
    }
    // What one read brings within the limit: "" when the far end closed or nothing came.
    std::string receive(std::chrono::milliseconds limit = kPeerLimit) {
        if (buffered_.empty()) fill(QDeadlineTimer(limit));
        return take(buffered_.size());
    }
    // Whether the far end went away (a closed socket, a pty whose device is
    // gone) before the limit; what arrives meanwhile is kept.
    bool wait_for_hangup(std::chrono::milliseconds limit = kPeerLimit) {
        for (const QDeadlineTimer deadline(limit); !deadline.hasExpired();)
            if (const ssize_t count = fill(deadline); count == 0 || (count == -1 && errno != EINTR))
                return true;
        return false;
    }
    bool has_input() { return !buffered_.empty() || fill(QDeadlineTimer(0)) > 0; }
    // The slave side's line settings (a pty master reports those of its slave).
    termios settings() const {
        termios line{};
        ::tcgetattr(fd_, &line);
        return line;
    }
    void close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    // One read's byte count, 0 when the far end closed, -1 on an error, -2 when nothing came in time.
    ssize_t fill(const QDeadlineTimer& deadline) {
        pollfd waiting{fd_, POLLIN, 0};
        int ready;
        while ((ready = ::poll(&waiting, 1, int(deadline.remainingTime()))) < 0 && errno == EINTR) continue;
        if (ready <= 0) return -2;
        char chunk[4096];
        const ssize_t count = ::read(fd_, chunk, sizeof chunk);
        if (count > 0) buffered_.append(chunk, std::size_t(count));
        return count;
    }
    std::string take(std::size_t count) {
        std::string out = buffered_.substr(0, count);
        buffered_.erase(0, out.size());
        return out;
    }

    int fd_;
    QString link_;
    std::string buffered_;
};

// A TCP socket bound to a free port of a loopback address; with `listen`
// false nothing accepts there and a connection is refused. The kernel
// completes a connection by itself, so a test accepts after connecting.
class Listener {
public:
    explicit Listener(const char* address = "127.0.0.1", bool listen = true, int backlog = 8)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in name{};
        name.sin_family = AF_INET;
        socklen_t length = sizeof name;
        auto* raw = reinterpret_cast<sockaddr*>(&name);
        if (::inet_pton(AF_INET, address, &name.sin_addr) == 1 && ::bind(fd_, raw, length) == 0 &&
            (!listen || ::listen(fd_, backlog) == 0) && ::getsockname(fd_, raw, &length) == 0)
            port_ = ntohs(name.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }  // 0 if the socket could not be set up
    std::unique_ptr<Peer> accept(std::chrono::milliseconds limit = kPeerLimit) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, int(limit.count())) <= 0) return nullptr;
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return fd < 0 ? nullptr : std::make_unique<Peer>(fd);
    }

private:
    int fd_;
    int port_ = 0;
};

}  // namespace orvex::test
