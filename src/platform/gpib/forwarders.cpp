// The forwarding functions, generated from the one list of entry points.
#include <dlfcn.h>

#include <type_traits>

#include "binding_state.h"
#include "gpib.h"
#include "loader_lock.h"

namespace gpib::detail {
namespace {

void CallHook(PlainHook hook) {
    if (hook != nullptr) hook();
}

template <typename Group>
inline constexpr bool kIsThreadQuery = false;
template <StatusField Field>
inline constexpr bool kIsThreadQuery<groups::ThreadQuery<Field>> = true;

// What a forwarder returns when it cannot reach the driver.
template <typename Group>
typename Group::Result MissingResult() {
    if constexpr (std::is_same_v<Group, groups::Descriptor>) {
        return -1;
    } else if constexpr (!std::is_void_v<typename Group::Result>) {
        // The load failure has just put ERR and the binding's code there.
        return ThreadIbsta();
    }
}

// The process-wide stand-ins for a library without per-thread status.
template <StatusField Field>
int ProcessWideStatus() {
    switch (Field) {
        case StatusField::Status:
            return LoadProcessWide(ibsta);
        case StatusField::Error:
            return LoadProcessWide(iberr);
        case StatusField::Count:
            return LoadProcessWide(ibcnt);
        case StatusField::LongCount:
            return LoadProcessWide(ibcntl);
    }
    return LoadProcessWide(ibsta);
}

void SetProcessWideStatus(int status, int error, int count) { StoreProcessWideStatus(status, error, count); }

// The per-thread status functions are optional in a driver library: look for
// one once per load, under the loader lock, and remember that we looked.
void LookUpOnce(Entry entry, const char* driverName) {
    if (__gpibDLLLoaded.load() != 1 || LookedUp(entry).load()) return;
    LoaderLockHold hold;
    if (hold.Acquire() != 0) return;
    if (LookedUp(entry).load()) return;
    if (void* handle = LibraryHandle(); handle != nullptr) {
        if (void* address = dlsym(handle, driverName)) Slot(entry).store(address);
    }
    LookedUp(entry).store(true);
}

// The library's status variables belong to whichever thread's call wrote them
// last, and the library writes them while another thread may be reading. A
// library that keeps each thread's status answers for this thread's call alone,
// so that is read where it exists; a thunking library keeps none.
void RefreshCallerStatus() {
    if (__isThunkingDLL.load() == 0) {
        const int status = ThreadIbsta();
        const int error = ThreadIberr();
        const int count = ThreadIbcntl();
        const bool perThread = Slot(Entry::ThreadIbsta).load() != nullptr &&
                               Slot(Entry::ThreadIberr).load() != nullptr &&
                               Slot(Entry::ThreadIbcntl).load() != nullptr;
        if (perThread) {
            StoreProcessWideStatus(status, error, count);
            return;
        }
    }
    RefreshStatus();
}

// Resolves the entry point on first use, calls it between the runtime's
// hooks and refreshes the status variables from the library.
template <typename Group, Entry E, typename Fn, typename Invoke>
typename Group::Result Forward(const char* driverName, Invoke invoke) {
    using Result = typename Group::Result;
    EntrySlot& slot = Slot(E);

    if constexpr (kIsThreadQuery<Group>) {
        LookUpOnce(E, driverName);
        if (void* address = slot.load()) return invoke(reinterpret_cast<Fn>(address));
        return invoke(&ProcessWideStatus<Group::kField>);
    } else if constexpr (std::is_same_v<Group, groups::ThreadSetter>) {
        LookUpOnce(E, driverName);
        if (void* address = slot.load()) return invoke(reinterpret_cast<Fn>(address));
        return invoke(&SetProcessWideStatus);
    } else if constexpr (std::is_same_v<Group, groups::Notify>) {
        // A thunking library delivers its notifications itself and has no
        // capability for ibnotify through this binding.
        if (__isThunkingDLL.load() == 1) return __SetGPIBGlobals(ERR | (ThreadIbsta() & CMPL), ECAP, 0);
        if (slot.load() == nullptr && !__LoadGPIBDLLAndResolve(driverName, &slot)) return ThreadIbsta();
        const Result result = invoke(reinterpret_cast<Fn>(slot.load()));
        RefreshCallerStatus();
        return result;
    } else {
        if (slot.load() == nullptr && !__LoadGPIBDLLAndResolve(driverName, &slot)) {
            return MissingResult<Group>();
        }
        CallHook(__UnpostAllIbMessages_fnptr);
        const auto entry = reinterpret_cast<Fn>(slot.load());
        if constexpr (std::is_void_v<Result>) {
            invoke(entry);
            RefreshCallerStatus();
            CallHook(__RepostAllIbMessages_fnptr);
        } else {
            const Result result = invoke(entry);
            RefreshCallerStatus();
            CallHook(__RepostAllIbMessages_fnptr);
            return result;
        }
    }
}

}  // namespace
}  // namespace gpib::detail

namespace gpib {

#define GPIB_FUNCTION(name, driver, group, params, args)                                             \
    groups::group::Result name params {                                                              \
        return detail::Forward<groups::group, detail::Entry::name, groups::group::Result(*) params>( \
            #driver, [&](auto entry) { return entry args; });                                        \
    }
#include "driver_functions.inc"
#undef GPIB_FUNCTION

}  // namespace gpib
