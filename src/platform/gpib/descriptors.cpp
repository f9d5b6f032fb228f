// The calls that open and take offline unit descriptors, and the list of the
// descriptors that were opened (taken offline when the program stops in the
// development environment).
#include <algorithm>
#include <array>

#include "binding_state.h"
#include "gpib.h"

namespace gpib {
namespace detail {
namespace {

std::array<int, kOpenedDescriptorListSize> g_opened{};
int g_opened_count = 0;

}  // namespace

void RecordOpened(int ud) {
    if (g_opened_count >= kOpenedDescriptorListSize) return;
    g_opened[static_cast<std::size_t>(g_opened_count++)] = ud;
}

void ForgetOpened(int ud) {
    const auto first = g_opened.begin();
    const auto last = first + g_opened_count;
    const auto found = std::find(first, last, ud);
    if (found == last) return;
    std::move(found + 1, last, found);
    --g_opened_count;
}

std::span<const int> OpenedDescriptors() {
    return {g_opened.data(), static_cast<std::size_t>(g_opened_count)};
}

void ClearOpened() { g_opened_count = 0; }

}  // namespace detail

int ibdev(int boardIndex, int pad, int sad, int timeout, int eot, int eos) {
    const int ud = __ibdev_internal(boardIndex, pad, sad, timeout, eot, eos);
    if (ud >= 0) detail::RecordOpened(ud);
    return ud;
}

int ibfind(const char* deviceName) {
    const int ud = ibfindA(deviceName);
    if (ud >= 0) detail::RecordOpened(ud);
    return ud;
}

int ibonl(int ud, int online) {
    const int status = __ibonl_internal(ud, online);
    if ((status & ERR) == 0 && online == 0) {
        // The descriptor is gone: the runtime drops what it installed for it.
        {
            std::lock_guard hold(__ibInstallCallbackCriticalSection);
            if (__DeleteGPIBCallback_fnptr != nullptr) __DeleteGPIBCallback_fnptr(ud);
        }
        {
            std::lock_guard hold(__ibNotifyCriticalSection);
            if (__DeleteFromIbNotifyTable_fnptr != nullptr) __DeleteFromIbNotifyTable_fnptr(ud);
        }
        detail::ForgetOpened(ud);
    }
    return status;
}

int ibbna(int ud, const char* boardName) { return ibbnaA(ud, boardName); }

int ibwrtf(int ud, const char* fileName) { return ibwrtfA(ud, fileName); }

int ibrdf(int ud, const char* fileName) { return ibrdfA(ud, fileName); }

}  // namespace gpib
