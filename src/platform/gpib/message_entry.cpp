// The message entry of a thunking library.
#include "binding_state.h"
#include "gpib.h"

namespace gpib {

int __ibmessage(int ud, int message, long wParam, long lParam, void* data, long count) {
    using MessageEntryFn = int (*)(int, int, long, long, void*, long);
    void* entry = detail::MessageEntry();
    // Only a loaded thunking library has the entry; anything else has no
    // capability for messages.
    if (entry == nullptr) return __SetGPIBGlobals(ERR, ECAP, 0);
    const int result = reinterpret_cast<MessageEntryFn>(entry)(ud, message, wParam, lParam, data, count);
    detail::RefreshStatus();
    return result;
}

}  // namespace gpib
