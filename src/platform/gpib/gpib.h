// The GPIB driver binding: every operation of the GPIB driver API under its
// driver name, forwarded to the driver library "libgpib.so.0", which is loaded
// on the first call that needs it. After each call the driver's status is in
// ibsta, iberr, ibcnt and ibcntl.
//
// Names that begin with two underscores are the binding's internals that the
// runtime reaches by name (hooks, flags, critical sections, loader).
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "gpib_constants.h"
#include "gpib_types.h"

namespace gpib {

// ---- Status of the latest call, process-wide --------------------------------------
// Written after every forwarded call without a lock: the latest call wins.
// A caller that needs its own thread's status asks ThreadIbsta and friends.
extern int ibsta;
extern int iberr;
extern int ibcnt;
extern int ibcntl;

// Sets all four (ibcnt and ibcntl to count) and, unless the library is a
// thunking one, the calling thread's status too. Returns status.
int __SetGPIBGlobals(int status, int error, int count);

// ---- Forwarding functions, one per driver entry point -----------------------------
#define GPIB_FUNCTION(name, driver, group, params, args) groups::group::Result name params;
#include "driver_functions.inc"
#undef GPIB_FUNCTION

// ---- Calls built on the forwarders ----------------------------------------------
// ibdev and ibfind record a descriptor of 0 or more in the opened-descriptor
// list; ibonl with 0 forgets it again and tells the runtime's hooks.
int ibdev(int boardIndex, int pad, int sad, int timeout, int eot, int eos);
int ibfind(const char* deviceName);
int ibonl(int ud, int online);
int ibbna(int ud, const char* boardName);
int ibwrtf(int ud, const char* fileName);
int ibrdf(int ud, const char* fileName);

// Calls the message entry of a thunking library (one that exports ibmessage).
int __ibmessage(int ud, int message, long wParam, long lParam, void* data, long count);

// ---- Device table of the instrument drivers -----------------------------------------
inline constexpr int kDeviceTableSize = 128;
inline constexpr int kInstrumentPrefixLength = 31;  // characters kept of a prefix
inline constexpr int kOpenedDescriptorListSize = 200;

int OpenDev(const char* deviceName, const char* instrumentPrefix);  // descriptor or -1
int CloseDev(int ud);                                               // 0, or -1
int CloseInstrDevs(const char* instrumentPrefix);                   // 0, or -1
int __CloseAllGPIBDevmgrDevices();                                  // 0, or -1

// ---- Loader --------------------------------------------------------------------------
using EntrySlot = std::atomic<void*>;

bool __MakeSureGPIBDLLIsLoaded();
// Loads the library if needed and, given a name and a still empty slot,
// resolves that entry point into the slot. False after any failure, with the
// status variables holding ERR and the binding's code.
bool __LoadGPIBDLLAndResolve(const char* entryName, EntrySlot* slot);
void __UnloadGPIBDLL();

// Why the driver library cannot be used, e.g. "no GPIB driver library
// libgpib.so.0 found (searched LD_LIBRARY_PATH=<value or unset> and the system
// library path)" or "libgpib.so.0 refused: it lacks the export Send". Empty
// while the library is loaded or not yet tried. Copies at most size-1 bytes and
// terminates; returns the length copied, or -1 without room for the NUL.
int LoaderProblemText(char* text, std::size_t size);
template <std::size_t N>
int LoaderProblem(char (&text)[N]) {
    return LoaderProblemText(text, N);
}
// The driver's name for an iberr value ("ENEB", "ENOL", "EABO", ...), "E?"
// when unknown.
const char* ErrorName(int iberr);

extern std::atomic<int> __gpibDLLLoaded;     // 1 once loaded and tested
extern std::atomic<int> __isThunkingDLL;     // 1 if the library exports ibmessage
extern std::atomic<int> __Terminating_GPIB;  // 1 once the program stops

// ---- Run state -------------------------------------------------------------------------
inline constexpr int kRunStateStop = 4;     // the program stops
inline constexpr int kRunStateResume = 5;   // the program runs again after a suspension
inline constexpr int kRunStateSuspend = 6;  // the program is suspended (breakpoint)

// The program calls it with kRunStateStop when it ends: outside the
// development environment that unloads the library without closing devices.
void __GPIBRunStateCallback(int runState);

// ---- Hooks of the runtime; a null hook is skipped ------------------------------------
using PlainHook = void (*)();
using DescriptorHook = void (*)(int ud);
extern PlainHook __UnpostAllIbMessages_fnptr;      // before every forwarded call
extern PlainHook __RepostAllIbMessages_fnptr;      // after it, status refreshed
extern DescriptorHook __DeleteGPIBCallback_fnptr;  // a descriptor went offline
extern DescriptorHook __DeleteFromIbNotifyTable_fnptr;
extern PlainHook __ClearAllGPIBNotify_fnptr;  // the program stops
extern PlainHook __ClearAllGPIBCallbacks_fnptr;

// ---- Critical sections ------------------------------------------------------------------
// Initialised when the library is loaded and deleted when it is unloaded. The
// lock itself outlives both, so that a late caller never touches freed memory;
// a thread may enter a section it already holds.
class CriticalSection {
public:
    void Initialize() { initialized_ = true; }
    void Delete() { initialized_ = false; }
    bool IsInitialized() const { return initialized_; }
    void Enter() { mutex_.lock(); }
    bool TryEnter() { return mutex_.try_lock(); }
    void Leave() { mutex_.unlock(); }
    // For std::lock_guard.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex mutex_;
    std::atomic<bool> initialized_{false};
};

extern CriticalSection __devmgrCriticalSection;             // the device table
extern CriticalSection __ibInstallCallbackCriticalSection;  // around __DeleteGPIBCallback_fnptr
extern CriticalSection __ibNotifyCriticalSection;           // around __DeleteFromIbNotifyTable_fnptr
extern CriticalSection __runStateCriticalSection;           // held between run states 6 and 5

}  // namespace gpib
