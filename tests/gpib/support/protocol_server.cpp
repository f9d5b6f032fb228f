#include "protocol_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace gpib_test {
namespace {

constexpr std::size_t kHeaderSize = 8;

enum class Got { Bytes, Closed, Stop };

// Reads exactly `size` bytes unless the peer closes or the server stops.
Got ReadExactly(int fd, int stopFd, void* target, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(target);
    while (size > 0) {
        pollfd entries[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return Got::Closed;
        }
        if (entries[1].revents != 0) return Got::Stop;
        const ssize_t got = recv(fd, bytes, size, 0);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return Got::Closed;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return Got::Bytes;
}

std::uint32_t U32(const unsigned char* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Encode(const WireReply& reply) {
    std::string bytes(kHeaderSize, '\0');
    bytes[0] = reply.status;
    bytes[1] = static_cast<char>(reply.flags);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>((reply.length >> (8 * i)) & 0xFF);
    return bytes + reply.data;
}

}  // namespace

ProtocolServer::ProtocolServer(std::string socketPath, Handler handler)
    : path_(std::move(socketPath)), handler_(std::move(handler)) {
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(address.sun_path)) throw std::runtime_error("socket path too long");
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    unlink(path_.c_str());
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 4) != 0) {
        throw std::runtime_error("cannot listen on " + path_);
    }
    thread_ = std::thread([this] { Run(); });
}

ProtocolServer::~ProtocolServer() {
    {
        std::lock_guard hold(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const char stop = 's';
    (void)!write(stop_pipe_[1], &stop, 1);
    thread_.join();
    close(listener_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    unlink(path_.c_str());
}

bool ProtocolServer::Stopping() const {
    std::lock_guard hold(mutex_);
    return stopping_;
}

void ProtocolServer::Run() {
    while (!Stopping()) {
        pollfd entries[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) continue;
        if (entries[1].revents != 0) return;
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        {
            std::lock_guard hold(mutex_);
            ++accepted_;
        }
        changed_.notify_all();
        Serve(connection);
        close(connection);
        {
            std::lock_guard hold(mutex_);
            ++closed_here_;
        }
        changed_.notify_all();
    }
}

void ProtocolServer::Serve(int connection) {
    for (;;) {
        unsigned char header[kHeaderSize];
        Got got = ReadExactly(connection, stop_pipe_[0], header, sizeof(header));
        WireRequest request;
        if (got == Got::Bytes) {
            request.op = static_cast<char>(header[0]);
            request.address = header[1];
            request.flags = header[2];
            request.length = U32(header + 4);
            if (request.op == 'W') {
                request.data.resize(request.length);
                got = ReadExactly(connection, stop_pipe_[0], request.data.data(), request.length);
            } else if (request.op == 'R') {
                unsigned char timeout[4];
                got = ReadExactly(connection, stop_pipe_[0], timeout, sizeof(timeout));
                request.timeout_ms = U32(timeout);
            }
        }
        if (got != Got::Bytes) {
            if (got == Got::Closed) {
                std::lock_guard hold(mutex_);
                ++closed_by_peer_;
            }
            changed_.notify_all();
            return;
        }
        {
            std::lock_guard hold(mutex_);
            requests_.push_back(request);
        }
        changed_.notify_all();

        const WireReply reply = handler_(request);
        if (reply.action == WireReply::Action::Silence) continue;
        if (reply.delay.count() > 0) {
            // The unit takes its time; a stopping server does not wait for it.
            std::unique_lock hold(mutex_);
            if (changed_.wait_for(hold, reply.delay, [this] { return stopping_; })) return;
        }
        if (!WriteAll(connection, Encode(reply))) return;
        if (reply.action == WireReply::Action::AnswerThenClose) return;
    }
}

std::vector<WireRequest> ProtocolServer::Requests() const {
    std::lock_guard hold(mutex_);
    return requests_;
}

int ProtocolServer::ConnectionsAccepted() const {
    std::lock_guard hold(mutex_);
    return accepted_;
}

int ProtocolServer::ConnectionsClosedByPeer() const {
    std::lock_guard hold(mutex_);
    return closed_by_peer_;
}

bool ProtocolServer::WaitForClosedConnections(int count, std::chrono::milliseconds limit) const {
    std::unique_lock hold(mutex_);
    return changed_.wait_for(hold, limit, [&] { return closed_by_peer_ >= count; });
}

bool ProtocolServer::WaitForConnectionsClosedHere(int count, std::chrono::milliseconds limit) const {
    std::unique_lock hold(mutex_);
    return changed_.wait_for(hold, limit, [&] { return closed_here_ >= count; });
}

}  // namespace gpib_test
