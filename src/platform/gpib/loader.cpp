// Loading the driver library, testing it, resolving its entry points by name,
// and unloading it.
#include <dlfcn.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "binding_state.h"
#include "gpib.h"
#include "loader_lock.h"

namespace gpib {

std::atomic<int> __gpibDLLLoaded{0};
std::atomic<int> __isThunkingDLL{0};
std::atomic<int> __Terminating_GPIB{0};

namespace detail {
namespace {

constexpr const char* kDriverLibrary = "libgpib.so.0";
constexpr const char* kStatusExport = "user_ibsta";
constexpr const char* kErrorExport = "user_iberr";
constexpr const char* kCountExport = "user_ibcntl";
// The identification text that every genuine driver library exports; the
// identity test accepts a library whose text begins with the maker's notice.
constexpr const char* kNoticeExport = "gpib_driver_notice";
constexpr const char* kMakerNotice = "GPIB driver library for IEEE 488.2 controllers";
// A library that can take over a descriptor's messages exports this entry; it
// keeps no per-thread status and does its own notification.
constexpr const char* kMessageExport = "ibmessage";
// Lets driver threads that are still delivering a notification return before
// the library's code goes away.
constexpr std::chrono::milliseconds kUnloadGrace{10};

std::array<EntrySlot, kEntryPointCount> g_slots{};
std::array<std::atomic<bool>, kEntryPointCount> g_looked_up{};

std::atomic<void*> g_handle{nullptr};
std::atomic<int*> g_user_ibsta{nullptr};
std::atomic<int*> g_user_iberr{nullptr};
std::atomic<int*> g_user_ibcntl{nullptr};
std::atomic<void*> g_message_entry{nullptr};

std::array<CriticalSection*, 4> CriticalSections() {
    return {&__devmgrCriticalSection, &__ibInstallCallbackCriticalSection, &__ibNotifyCriticalSection,
            &__runStateCriticalSection};
}

struct LoadFailure {
    int code;
    int systemError;
};

// Opens the library and checks that it is a driver library; on success the
// library is stored and ready. Called with the loader lock held.
bool OpenTestedLibrary(LoadFailure& failure) {
    errno = 0;
    void* handle = dlopen(kDriverLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        failure = {kLibraryNotLoadable, SystemErrorOr(ENOENT)};
        return false;
    }
    errno = 0;
    auto* status = static_cast<int*>(dlsym(handle, kStatusExport));
    auto* error = static_cast<int*>(dlsym(handle, kErrorExport));
    auto* count = static_cast<int*>(dlsym(handle, kCountExport));
    const auto* notice = static_cast<const char*>(dlsym(handle, kNoticeExport));
    if (status == nullptr || error == nullptr || count == nullptr || notice == nullptr) {
        failure = {kStatusExportsMissing, SystemErrorOr(ENOENT)};
        dlclose(handle);
        return false;
    }
    // strncmp stops at the library's terminating NUL: a short text cannot be over-read.
    if (std::strncmp(notice, kMakerNotice, std::strlen(kMakerNotice)) != 0) {
        failure = {kIdentityMismatch, SystemErrorOr(0)};
        dlclose(handle);
        return false;
    }
    void* message = dlsym(handle, kMessageExport);
    for (CriticalSection* section : CriticalSections()) section->Initialize();
    StoreLibrary(handle, status, error, count, message);
    __isThunkingDLL.store(message != nullptr ? 1 : 0);
    __gpibDLLLoaded.store(1);
    return true;
}

}  // namespace

EntrySlot& Slot(Entry entry) { return g_slots[static_cast<std::size_t>(entry)]; }

std::atomic<bool>& LookedUp(Entry entry) { return g_looked_up[static_cast<std::size_t>(entry)]; }

void RefreshStatus() {
    const int* status = g_user_ibsta.load();
    const int* error = g_user_iberr.load();
    const int* count = g_user_ibcntl.load();
    if (status == nullptr || error == nullptr || count == nullptr) return;
    ibsta = *status;
    iberr = *error;
    ibcnt = *count;
    ibcntl = *count;
}

void* LibraryHandle() { return g_handle.load(); }

void* MessageEntry() { return g_message_entry.load(); }

void StoreLibrary(void* handle, int* userIbsta, int* userIberr, int* userIbcntl, void* messageEntry) {
    g_user_ibsta.store(userIbsta);
    g_user_iberr.store(userIberr);
    g_user_ibcntl.store(userIbcntl);
    g_message_entry.store(messageEntry);
    g_handle.store(handle);
}

void ClearLibrary() {
    g_message_entry.store(nullptr);
    g_user_ibsta.store(nullptr);
    g_user_iberr.store(nullptr);
    g_user_ibcntl.store(nullptr);
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
        ibsta = 0;
        iberr = 0;
        ibcnt = 0;
        ibcntl = 0;
        __isThunkingDLL.store(0);
        __gpibDLLLoaded.store(0);
    }
    CloseLoaderLock();
}

}  // namespace gpib
