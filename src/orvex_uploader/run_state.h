// The state of one run behind START: set by the procedure, read by the
// callbacks that run inside its waits (the bus menu refuses while
// `programming`, the timers end the waits).
#pragma once

#include <cstddef>

namespace orvex {

// Text buffers.
inline constexpr std::size_t kCommandSize = 256;  // a command sent or a reply received
inline constexpr std::size_t kAckBufferSize = 512;
inline constexpr std::size_t kPathSize = 260;
inline constexpr std::size_t kBusTextSize = 20;
inline constexpr std::size_t kPasswordSize = 20;

struct RunState {
    int programming = 0;  // 1 while START's callback runs a sequence
    int failure = 0;      // a step failed and its message is shown
    int temp_flag = 0;    // the Transmit-indicator wait goes on while set
    int rdch = 0;         // the LED's state as that wait last read it
    int ok_to_use = 0;    // the identified unit may be updated
    int leavenow = 1;     // a reply wait goes on while set; its timer clears it
    int comresult = 0;    // the result of the last bus transfer
};
inline RunState run;

// The command being sent and the reply being collected, for the buses that
// talk in lines of text (serial and LAN).
struct Exchange {
    char wrtbuffer[kCommandSize] = {};
    char rdbuffer[kCommandSize] = {};
};
inline Exchange exchange;

// Clears a buffer to zero bytes.
template <typename T, std::size_t N>
void clear(T (&buffer)[N]) {
    for (auto& c : buffer) c = T{};
}

}  // namespace orvex
