// The run-state callback: what the binding does when the program stops, or is
// suspended and resumed in the development environment.
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "binding_state.h"
#include "gpib.h"
#include "runtime.h"

namespace gpib {
namespace {

// Holds __runStateCriticalSection between a suspension and the resumption (or
// stop), which the runtime may report from different threads. A mutex may only
// be released by the thread that took it, so a thread of its own takes and
// releases it for the callback.
class RunStateHold {
public:
    ~RunStateHold() { Release(); }

    void Take() {
        std::lock_guard hold(mutex_);
        if (holder_.joinable()) return;
        std::promise<void> taken;
        std::future<void> done = taken.get_future();
        release_ = false;
        holder_ = std::thread([this, taken = std::move(taken)]() mutable {
            __runStateCriticalSection.Enter();
            taken.set_value();
            std::unique_lock wait(signal_mutex_);
            released_.wait(wait, [this] { return release_; });
            __runStateCriticalSection.Leave();
        });
        done.wait();
    }

    void Release() {
        std::lock_guard hold(mutex_);
        if (!holder_.joinable()) return;
        {
            std::lock_guard signal(signal_mutex_);
            release_ = true;
        }
        released_.notify_one();
        holder_.join();
    }

private:
    std::mutex mutex_;  // one Take or Release at a time
    std::thread holder_;
    std::mutex signal_mutex_;
    std::condition_variable released_;
    bool release_ = false;
};

RunStateHold g_run_state_hold;

bool InDevelopmentEnvironment() { return runtime::InStandaloneExecutable() == 0; }

void CallHook(PlainHook hook) {
    if (hook != nullptr) hook();
}

void Stop() {
    __Terminating_GPIB.store(1);
    g_run_state_hold.Release();
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
            if (__gpibDLLLoaded.load() == 1) g_run_state_hold.Take();
            break;
        case kRunStateResume:
            if (InDevelopmentEnvironment()) CallHook(__RepostAllIbMessages_fnptr);
            g_run_state_hold.Release();
            break;
        default:
            break;
    }
}

}  // namespace gpib
