// The server side of connections in tests, on plain loopback sockets. The
// kernel completes a connection to a listening socket by itself, so tests need
// no thread: they accept after the runtime's blocking connect returns.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

class PeerSocket {
public:
    explicit PeerSocket(int fd = -1) : fd_(fd) {}
    ~PeerSocket() { Close(); }
    PeerSocket(PeerSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    PeerSocket& operator=(PeerSocket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }

    bool ok() const { return fd_ >= 0; }
    bool Send(std::string_view bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // What the client sent, until `count` bytes, its close or a pause of
    // `timeout_ms`.
    std::string Receive(std::size_t count, int timeout_ms = 5000) {
        std::string got;
        char chunk[4096];
        for (ssize_t n = 1; got.size() < count && n > 0;) {
            n = ReadSome(chunk, std::min(sizeof chunk, count - got.size()), timeout_ms);
            if (n > 0) got.append(chunk, std::size_t(n));
        }
        return got;
    }
    // True once the client has closed (end of stream or reset), reading past
    // whatever it sent before.
    bool WaitForClose(int timeout_ms = 5000) {
        char chunk[65536];
        ssize_t n = 1;
        while (n > 0) n = ReadSome(chunk, sizeof chunk, timeout_ms);
        return n != kTimedOut;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    static constexpr ssize_t kTimedOut = -2;
    ssize_t ReadSome(char* buffer, std::size_t size, int timeout_ms) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeout_ms) <= 0) return kTimedOut;
        const ssize_t n = ::recv(fd_, buffer, size, 0);
        return n < 0 ? -1 : n;
    }
    int fd_;
};

class LoopbackListener {
public:
    // Bound to a free port of `address` (loopback only); with `listen` false
    // nothing accepts there and a connection is refused.
    explicit LoopbackListener(const char* address = "127.0.0.1", bool listen = true)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in name{};
        name.sin_family = AF_INET;
        socklen_t length = sizeof name;
        auto* raw = reinterpret_cast<sockaddr*>(&name);
        if (::inet_pton(AF_INET, address, &name.sin_addr) == 1 && ::bind(fd_, raw, length) == 0 &&
            (!listen || ::listen(fd_, 8) == 0) && ::getsockname(fd_, raw, &length) == 0)
            port_ = ntohs(name.sin_port);
    }
    ~LoopbackListener() { ::close(fd_); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }
    PeerSocket Accept(int timeout_ms = 5000) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, timeout_ms) <= 0) return PeerSocket();
        return PeerSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_;
    int port_ = 0;
};
