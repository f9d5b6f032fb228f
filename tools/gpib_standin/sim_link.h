// One board's connection to the unit simulator: connected on first use,
// connected anew after a drop, and dropped whenever an exchange goes wrong
// so that a late or stray response can never be taken for the next one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "gpib_wire.h"

namespace standin {

class SimLink {
public:
    enum class Outcome {
        Answered,     // `response` holds the simulator's answer
        Unreachable,  // no setting, no socket, or the link broke
        TimedOut,     // no complete response within the wait
        Malformed,    // the response broke the protocol
    };
    struct Result {
        Outcome outcome = Outcome::Unreachable;
        gpib_wire::Response response{};
    };

    SimLink() = default;
    ~SimLink();
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    // Sends the request header and `tail`, then waits at most `wait` (no limit
    // when empty) for the response. A read's data goes into `data`; a read
    // response longer than `data` breaks the protocol.
    Result Exchange(int board, const gpib_wire::Request& request, std::span<const std::byte> tail,
                    std::span<std::byte> data, std::optional<std::chrono::milliseconds> wait);
    void Drop();

private:
    bool EnsureConnected(int board);

    int fd_ = -1;
};

}  // namespace standin
