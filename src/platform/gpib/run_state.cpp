// The run-state callback: what the binding does when the program stops, or is
// suspended and resumed in the development environment.
#include "binding_state.h"
#include "gpib.h"
#include "runtime.h"

namespace gpib {
namespace {

// Set while the callback itself holds __runStateCriticalSection.
bool g_holds_run_state = false;

bool InDevelopmentEnvironment() { return runtime::InStandaloneExecutable() == 0; }

void CallHook(PlainHook hook) {
    if (hook != nullptr) hook();
}

void LeaveRunStateSection() {
    if (!g_holds_run_state) return;
    __runStateCriticalSection.Leave();
    g_holds_run_state = false;
}

void Stop() {
    __Terminating_GPIB.store(1);
    LeaveRunStateSection();
    if (__gpibDLLLoaded.load() != 1) return;
    // The development environment keeps running after the program: leave the
    // boards and devices as a fresh start expects them. An installed program's
    // process ends anyway.
    if (InDevelopmentEnvironment()) {
        CallHook(__ClearAllGPIBNotify_fnptr);
        CallHook(__ClearAllGPIBCallbacks_fnptr);
        __CloseAllGPIBDevmgrDevices();
        for (const int ud : detail::OpenedDescriptors()) __ibonl_internal(ud, 0);
        detail::ClearOpened();
    }
    __UnloadGPIBDLL();
}

}  // namespace

void __GPIBRunStateCallback(int runState) {
    switch (runState) {
        case kRunStateStop:
            Stop();
            break;
        case kRunStateSuspend:
            if (InDevelopmentEnvironment()) CallHook(__UnpostAllIbMessages_fnptr);
            if (__gpibDLLLoaded.load() == 1 && !g_holds_run_state) {
                __runStateCriticalSection.Enter();
                g_holds_run_state = true;
            }
            break;
        case kRunStateResume:
            if (InDevelopmentEnvironment()) CallHook(__RepostAllIbMessages_fnptr);
            LeaveRunStateSection();
            break;
        default:
            break;
    }
}

}  // namespace gpib
