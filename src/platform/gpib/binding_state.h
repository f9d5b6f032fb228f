// State shared by the binding's own files: the entry-point slots, the
// library's status exports and the opened-descriptor list. Not for the
// program; tests look at it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <span>
#include <string>

#include "gpib.h"
#include "library_identity.h"

namespace gpib::detail {

enum class Entry : int {
#define GPIB_FUNCTION(name, driver, group, params, args) name,
#include "driver_functions.inc"
#undef GPIB_FUNCTION
};

inline constexpr std::size_t kEntryPointCount = 0
#define GPIB_FUNCTION(name, driver, group, params, args) +1
#include "driver_functions.inc"
#undef GPIB_FUNCTION
    ;
static_assert(kEntryPointCount == 89, "84 driver functions and 5 status functions");

EntrySlot& Slot(Entry entry);
// Set once the per-thread status function of that slot was looked up, found or not.
std::atomic<bool>& LookedUp(Entry entry);

// Copies the library's status variables (user_ibsta or ibsta, and so on)
// into the process-wide ones.
void RefreshStatus();

// Sets ibsta, iberr, ibcnt and ibcntl (the last two to count), each stored
// atomically, so that threads calling the driver at once never tear them.
void StoreProcessWideStatus(int status, int error, int count);
// Reads one of them the same way.
int LoadProcessWide(int& variable);

// The library's handle and exports, as stored at load; all null while unloaded.
void* LibraryHandle();
void StoreLibrary(void* handle, const StatusExports& exports, void* messageEntry);
void* MessageEntry();
void ClearLibrary();  // handle, message entry, status pointers, slots and lookup flags

// Why the library cannot be used; empty once it is loaded.
void SetLoaderProblem(std::string text);

// The opened-descriptor list.
void RecordOpened(int ud);  // ignored when the list is full
void ForgetOpened(int ud);  // the first equal entry
std::span<const int> OpenedDescriptors();
void ClearOpened();

// The operating system's error code of the call that just failed, or the
// given code when the call left none.
int SystemErrorOr(int fallback);

}  // namespace gpib::detail
