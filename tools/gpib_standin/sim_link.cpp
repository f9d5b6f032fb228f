#include "sim_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "settings.h"

namespace standin {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

enum class Io { Done, Broken, TimedOut };

// Milliseconds left for poll(): -1 without a deadline.
int PollWait(const Deadline& deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60'000));
}

bool Expired(const Deadline& deadline) { return deadline && Clock::now() >= *deadline; }

Io WaitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, PollWait(deadline));
        if (ready > 0) return Io::Done;
        if (ready < 0 && errno != EINTR) return Io::Broken;
        if (Expired(deadline)) return Io::TimedOut;
    }
}

Io WriteAll(int fd, std::span<const std::byte> bytes, const Deadline& deadline) {
    while (!bytes.empty()) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const Io waited = WaitFor(fd, POLLOUT, deadline); waited != Io::Done) return waited;
            continue;
        }
        return Io::Broken;
    }
    return Io::Done;
}

Io ReadAll(int fd, std::span<std::byte> bytes, const Deadline& deadline) {
    while (!bytes.empty()) {
        const ssize_t got = recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (got > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) return Io::Broken;  // the simulator closed the link
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const Io waited = WaitFor(fd, POLLIN, deadline); waited != Io::Done) return waited;
            continue;
        }
        return Io::Broken;
    }
    return Io::Done;
}

// Between exchanges the simulator has nothing to say: anything readable is a
// closed link or a stray response, and either way the link is no good.
bool LooksHealthy(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 0;
}

SimLink::Outcome OutcomeOf(Io io) {
    return io == Io::TimedOut ? SimLink::Outcome::TimedOut : SimLink::Outcome::Unreachable;
}

}  // namespace

SimLink::~SimLink() { Drop(); }

void SimLink::Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool SimLink::EnsureConnected(int board) {
    if (fd_ >= 0 && LooksHealthy(fd_)) return true;
    Drop();
    const std::optional<std::string> path = SocketPathForBoard(board);
    if (!path) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path->c_str(), path->size() + 1);
    int connected = -1;
    do {
        connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

SimLink::Result SimLink::Exchange(int board, const gpib_wire::Request& request,
                                  std::span<const std::byte> tail, std::span<std::byte> data,
                                  std::optional<std::chrono::milliseconds> wait) {
    if (!EnsureConnected(board)) return {Outcome::Unreachable, {}};
    const Deadline deadline = wait ? Deadline(Clock::now() + *wait) : Deadline(std::nullopt);

    const gpib_wire::Header header = gpib_wire::encode(request);
    Io io = WriteAll(fd_, std::as_bytes(std::span(header)), deadline);
    if (io == Io::Done) io = WriteAll(fd_, tail, deadline);
    gpib_wire::Header answer{};
    if (io == Io::Done) io = ReadAll(fd_, std::as_writable_bytes(std::span(answer)), deadline);
    if (io != Io::Done) {
        Drop();
        return {OutcomeOf(io), {}};
    }

    const gpib_wire::Response response = gpib_wire::decodeResponse(answer.data());
    const bool carries_data = request.op == gpib_wire::Op::read && response.status == gpib_wire::Status::ok;
    if (carries_data) {
        if (response.length > data.size()) {
            Drop();
            return {Outcome::Malformed, response};
        }
        io = ReadAll(fd_, data.first(response.length), deadline);
        if (io != Io::Done) {
            Drop();
            return {OutcomeOf(io), {}};
        }
    }
    const bool known = response.status == gpib_wire::Status::ok ||
                       response.status == gpib_wire::Status::noListener ||
                       response.status == gpib_wire::Status::timeout;
    if (!known) {
        Drop();
        return {Outcome::Malformed, response};
    }
    return {Outcome::Answered, response};
}

}  // namespace standin
