// The stand-in driver's own settings, read from the environment at each use
// so that a test can change them between calls.
//   ORVEX_GPIB_SIM         path of the simulator's socket; every "%d" stands for the board
//   ORVEX_GPIB_TIME_SCALE  multiplies every time-out (default 1)
//   ORVEX_GPIB_FIRST_CALL_FAILS  "<error>[,<count>]": the first call fails (see first_call_fault.h)
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace standin {

// The socket path of a board, or nothing when the setting is missing or the
// path does not fit a Unix socket address.
std::optional<std::string> SocketPathForBoard(int board);

// A time-out code as the simulator is told it: scaled, in whole milliseconds,
// at least 1 for any limited time-out; 0 for no limit.
std::uint32_t ScaledTimeout_ms(int timeoutCode);

// How the first call is to fail: the error (a published name such as "EDVR",
// or its number) and the count, which for EDVR is the errno of the device
// file's open.
struct CallFault {
    int error = 0;
    int count = 0;
};
// The fault the setting asks for; nothing when it is unset or unreadable.
std::optional<CallFault> FirstCallFault();

}  // namespace standin
