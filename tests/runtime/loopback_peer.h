// The server side of connections in tests, on plain loopback sockets. The
// kernel completes a connection to a listening socket by itself, so tests need
// no thread and no event processing: they accept after the runtime's blocking
// connect returns.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

class PeerSocket {
public:
    explicit PeerSocket(int fd = -1) : fd_(fd) {}
    ~PeerSocket() { Close(); }
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool Send(std::string_view bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // What one read gets within 5 s: the client's bytes, or "" at its close.
    std::string Receive() {
        char chunk[4096];
        const ssize_t n = Readable() ? ::recv(fd_, chunk, sizeof chunk, 0) : 0;
        return std::string(chunk, std::size_t(std::max<ssize_t>(n, 0)));
    }
    // True once the client has closed, reading past whatever it sent before.
    bool WaitForClose() {
        char chunk[4096];
        while (Readable())
            if (::recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
        return false;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    bool Readable() {
        pollfd entry{fd_, POLLIN, 0};
        return ::poll(&entry, 1, 5000) > 0;
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

    int port() const { return port_; }  // 0 if the socket could not be set up
    PeerSocket Accept() {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 5000) <= 0) return PeerSocket();
        return PeerSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_;
    int port_ = 0;
};
