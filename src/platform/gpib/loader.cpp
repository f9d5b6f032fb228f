// Loading the driver library, testing it, resolving its entry points by name,
// and unloading it.
#include <dlfcn.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "binding_state.h"
#include "gpib.h"
#include "library_identity.h"
#include "loader_lock.h"

namespace gpib {

std::atomic<int> __gpibDLLLoaded{0};
std::atomic<int> __isThunkingDLL{0};
std::atomic<int> __Terminating_GPIB{0};

namespace detail {
namespace {

constexpr const char* kDriverLibrary = "libgpib.so.0";
constexpr const char* kLibraryPathSetting = "LD_LIBRARY_PATH";
// A library that can take over a descriptor's messages exports this entry; it
// keeps no per-thread status and does its own notification.
constexpr const char* kMessageExport = "ibmessage";
// Lets driver threads that are still delivering a notification return before
// the library's code goes away.
constexpr std::chrono::milliseconds kUnloadGrace{10};

std::array<EntrySlot, kEntryPointCount> g_slots{};
std::array<std::atomic<bool>, kEntryPointCount> g_looked_up{};

std::atomic<void*> g_handle{nullptr};
std::atomic<const int*> g_status{nullptr};
std::atomic<const int*> g_error{nullptr};
std::atomic<const long*> g_long_count{nullptr};
std::atomic<const int*> g_count{nullptr};
std::atomic<void*> g_message_entry{nullptr};

std::array<CriticalSection*, 4> CriticalSections() {
    return {&__devmgrCriticalSection, &__ibInstallCallbackCriticalSection, &__ibNotifyCriticalSection,
            &__runStateCriticalSection};
}

struct LoadFailure {
    int code;
    int systemError;
};

// The loader's own words say "No such file" when the search found nothing;
// anything else (wrong architecture, a missing dependency) is worth showing.
std::string NotLoadableText(const char* loaderMessage) {
    const char* path = std::getenv(kLibraryPathSetting);
    const std::string searched =
        std::string(kLibraryPathSetting) + "=" + (path != nullptr ? path : "<unset>");
    if (loaderMessage == nullptr || std::strstr(loaderMessage, "No such file") != nullptr) {
        return std::string("no GPIB driver library ") + kDriverLibrary + " found (searched " + searched +
               " and the system library path)";
    }
    return std::string(kDriverLibrary) + " cannot be loaded: " + loaderMessage;
}

// Opens the library and checks that it is a driver library; on success the
// library is stored and ready. Called with the loader lock held.
bool OpenTestedLibrary(LoadFailure& failure) {
    errno = 0;
    void* handle = dlopen(kDriverLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        failure = {kLibraryNotLoadable, SystemErrorOr(ENOENT)};
        SetLoaderProblem(NotLoadableText(dlerror()));
        return false;
    }
    errno = 0;
    const IdentityCheck identity = CheckIdentity(handle);
    if (identity.code != 0) {
        failure = {identity.code, SystemErrorOr(ENOENT)};
        SetLoaderProblem(identity.problem);
        dlclose(handle);
        return false;
    }
    void* message = dlsym(handle, kMessageExport);
    for (CriticalSection* section : CriticalSections()) section->Initialize();
    StoreLibrary(handle, identity.exports, message);
    SetLoaderProblem({});
    __isThunkingDLL.store(message != nullptr ? 1 : 0);
    __gpibDLLLoaded.store(1);
    return true;
}

}  // namespace

EntrySlot& Slot(Entry entry) { return g_slots[static_cast<std::size_t>(entry)]; }

std::atomic<bool>& LookedUp(Entry entry) { return g_looked_up[static_cast<std::size_t>(entry)]; }

void RefreshStatus() {
    const StatusExports exports{g_status.load(), g_error.load(), g_long_count.load(), g_count.load()};
    if (exports.status == nullptr || exports.error == nullptr) return;
    // The binding's counts are 32-bit; no transfer of this program comes near that.
    StoreProcessWideStatus(*exports.status, *exports.error, static_cast<int>(ReadCount(exports)));
}

void* LibraryHandle() { return g_handle.load(); }

void* MessageEntry() { return g_message_entry.load(); }

void StoreLibrary(void* handle, const StatusExports& exports, void* messageEntry) {
    g_status.store(exports.status);
    g_error.store(exports.error);
    g_long_count.store(exports.longCount);
    g_count.store(exports.count);
    g_message_entry.store(messageEntry);
    g_handle.store(handle);
}

void ClearLibrary() {
    g_message_entry.store(nullptr);
    g_status.store(nullptr);
    g_error.store(nullptr);
    g_long_count.store(nullptr);
    g_count.store(nullptr);
    for (EntrySlot& slot : g_slots) slot.store(nullptr);
    for (std::atomic<bool>& flag : g_looked_up) flag.store(false);
    g_handle.store(nullptr);
}

}  // namespace detail

bool __LoadGPIBDLLAndResolve(const char* entryName, EntrySlot* slot) {
    using namespace detail;
    // Every failure below sets the status while the lock is still held: the
    // holder releases it only when this function returns.
    LoaderLockHold hold;
    if (__gpibDLLLoaded.load() == 0) {
        if (const int error = hold.Acquire(); error != 0) {
            __SetGPIBGlobals(ERR, kLoaderLockFailed, error);
            return false;
        }
        if (LibraryHandle() == nullptr) {
            LoadFailure failure{};
            if (!OpenTestedLibrary(failure)) {
                __SetGPIBGlobals(ERR, failure.code, failure.systemError);
                return false;
            }
        }
    }
    if (const int error = hold.Acquire(); error != 0) {
        __SetGPIBGlobals(ERR, kLoaderLockFailed, error);
        return false;
    }
    if (entryName != nullptr && slot != nullptr && slot->load() == nullptr) {
        errno = 0;
        void* address = dlsym(LibraryHandle(), entryName);
        if (address == nullptr) {
            // The library stays loaded; the name is looked up again next time.
            __SetGPIBGlobals(ERR, kEntryPointMissing, SystemErrorOr(ENOENT));
            return false;
        }
        slot->store(address);
    }
    return true;
}

bool __MakeSureGPIBDLLIsLoaded() {
    if (__gpibDLLLoaded.load() == 1) return true;
    return __LoadGPIBDLLAndResolve(nullptr, nullptr);
}

void __UnloadGPIBDLL() {
    using namespace detail;
    if (void* handle = LibraryHandle(); handle != nullptr) {
        std::this_thread::sleep_for(kUnloadGrace);
        dlclose(handle);
        for (CriticalSection* section : CriticalSections()) section->Delete();
        ClearLibrary();
        StoreProcessWideStatus(0, 0, 0);
        __isThunkingDLL.store(0);
        __gpibDLLLoaded.store(0);
    }
    CloseLoaderLock();
}

}  // namespace gpib
