// GPIB: the program is controller-in-charge of the board, sends every command
// with EOI on its last byte and reads answers ended by EOI. Every wire text,
// timing and message of this bus is here.
#pragma once

#include <cstddef>

#include "bus.h"

namespace orvex::gpib_bus {

inline constexpr int kRemoteEnable = 1;
inline constexpr int kBoardOffline = 0;
inline constexpr int kMaxAnswer = 255;        // bytes one read may store
inline constexpr double kExitPause_s = 10.0;  // the unit restarts with its new firmware
inline constexpr const char* kMsgNotResponding = "Unit Not Responding";

extern const Bus bus;

// GPIB messages: a command containing "?" is a query and is followed by a
// read of its answer into `reply`. 0 on success, 1 when the driver reported
// an error. Answers stay terminated within `size` bytes.
int OX_Send(const char* command, char* reply, std::size_t size);
int OX_Rcv(char* reply, std::size_t size);
template <std::size_t N>
int OX_Send(const char* command, char (&reply)[N]) {
    return OX_Send(command, reply, N);
}
template <std::size_t N>
int OX_Rcv(char (&reply)[N]) {
    return OX_Rcv(reply, N);
}

// The last answer read by the sequence (its buffer `buf`).
const char* last_answer();
std::size_t last_answer_capacity();

}  // namespace orvex::gpib_bus
