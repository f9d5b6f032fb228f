// The process-wide status variables.
#include <atomic>
#include <cerrno>

#include "binding_state.h"
#include "gpib.h"

namespace gpib {

int ibsta = 0;
int iberr = 0;
int ibcnt = 0;
int ibcntl = 0;

int __SetGPIBGlobals(int status, int error, int count) {
    detail::StoreProcessWideStatus(status, error, count);
    // A thunking library keeps no per-thread status of its own to update.
    if (__isThunkingDLL.load() == 0) SetGpibStatusVariablesForThread(status, error, count);
    return status;
}

namespace detail {

// Threads that call the driver at once each store their own call's status:
// atomic stores keep each variable whole, and the latest call wins.
void StoreProcessWideStatus(int status, int error, int count) {
    std::atomic_ref(ibsta).store(status, std::memory_order_relaxed);
    std::atomic_ref(iberr).store(error, std::memory_order_relaxed);
    std::atomic_ref(ibcnt).store(count, std::memory_order_relaxed);
    std::atomic_ref(ibcntl).store(count, std::memory_order_relaxed);
}

int LoadProcessWide(int& variable) { return std::atomic_ref(variable).load(std::memory_order_relaxed); }

int SystemErrorOr(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace detail
}  // namespace gpib
