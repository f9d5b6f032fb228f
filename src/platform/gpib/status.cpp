// The process-wide status variables.
#include <cerrno>

#include "binding_state.h"
#include "gpib.h"

namespace gpib {

int ibsta = 0;
int iberr = 0;
int ibcnt = 0;
int ibcntl = 0;

int __SetGPIBGlobals(int status, int error, int count) {
    ibsta = status;
    iberr = error;
    ibcnt = count;
    ibcntl = count;
    // A thunking library keeps no per-thread status of its own to update.
    if (__isThunkingDLL.load() == 0) SetGpibStatusVariablesForThread(status, error, count);
    return status;
}

namespace detail {

int SystemErrorOr(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace detail
}  // namespace gpib
