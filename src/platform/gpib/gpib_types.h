// Types of the driver API's parameters and the result groups of the binding's
// forwarding functions.
#pragma once

#include <cstdint>

#include "gpib_constants.h"

namespace gpib {

// Called by the driver when one of the events of an ibnotify mask occurs.
using GpibNotifyCallback_t = int (*)(int ud, int status, int error, long count, void* refData);
// Handlers of a board that answers at several addresses (GotoMultAddr).
using AddressHandler_t = Addr4882_t (*)(int boardIndex, Addr4882_t address);
using SerialPollHandler_t = int (*)(int boardIndex, Addr4882_t address);

// Which process-wide status variable a per-thread status query falls back to.
enum class StatusField { Status, Error, Count, LongCount };

// What each forwarding function returns, and so what it returns when the
// driver library or the entry point is missing.
namespace groups {
struct StatusWord {  // the status word; the current one, with ERR, when missing
    using Result = int;
};
struct Descriptor {  // a unit descriptor; -1 when missing
    using Result = int;
};
struct Routine {  // 488.2 routines: nothing; the status variables tell
    using Result = void;
};
struct Notify {  // ibnotify: the status word, never forwarded to a thunking library
    using Result = int;
};
template <StatusField Field>
struct ThreadQuery {  // the calling thread's status, or the process-wide one
    using Result = int;
    static constexpr StatusField kField = Field;
};
struct ThreadSetter {  // sets the calling thread's status, or the process-wide one
    using Result = void;
};
}  // namespace groups

}  // namespace gpib
