// Test support for the binding: the recording fake driver's control block,
// and hooks that log what the binding tells the runtime.
#pragma once

#include <dlfcn.h>

#include <QStringList>
#include <optional>
#include <thread>
#include <vector>

#include "fake_control.h"
#include "gpib.h"

namespace gpib_test {

inline fake_driver::Control* g_fake = nullptr;

// False when no fake driver is on the library path.
inline bool OpenFake() {
    void* handle = dlopen("libgpib.so.0", RTLD_NOW | RTLD_LOCAL);
    void* control = handle != nullptr ? dlsym(handle, "fake_control") : nullptr;
    if (control != nullptr) g_fake = reinterpret_cast<fake_driver::Control* (*)()>(control)();
    return g_fake != nullptr;
}

inline void ResetFake() {
    std::lock_guard hold(g_fake->mutex);
    g_fake->calls.clear();
    g_fake->outcomes.clear();
    g_fake->nextDescriptor = fake_driver::kFirstDescriptor;
}

// Every later call of that driver function publishes these.
inline void Script(const char* driverName, int status, int error = 0, int count = 0,
                   std::optional<int> result = {}) {
    std::lock_guard hold(g_fake->mutex);
    g_fake->outcomes[driverName] = {status, error, count, result};
}

inline long long Address(const void* pointer) { return reinterpret_cast<std::intptr_t>(pointer); }

// "name argument ...", as the driver's calls are logged.
inline QString Call(const std::string& name, const std::vector<long long>& arguments) {
    QString entry = QString::fromStdString(name);
    for (const long long argument : arguments) entry += ' ' + QString::number(argument);
    return entry;
}

inline QStringList Calls() {
    std::lock_guard hold(g_fake->mutex);
    QStringList log;
    for (const fake_driver::Call& call : g_fake->calls) log << Call(call.name, call.arguments);
    return log;
}

// Status, error and both counts: process-wide, and this thread's.
inline QList<int> Status() { return {gpib::ibsta, gpib::iberr, gpib::ibcnt, gpib::ibcntl}; }
inline QList<int> ThreadStatus() {
    return {gpib::ThreadIbsta(), gpib::ThreadIberr(), gpib::ThreadIbcnt(), gpib::ThreadIbcntl()};
}

// Whether another thread finds the section taken right now.
inline bool TakenElsewhere(gpib::CriticalSection& section) {
    bool free = false;
    std::thread([&] {
        free = section.TryEnter();
        if (free) section.Leave();
    }).join();
    return !free;
}

// The hooks' log: "unpost", "repost", "clearNotify", "clearCallbacks", and
// "deleteCallback <ud>" and "deleteNotify <ud>", each with " held" when its
// critical section was taken while it ran.
inline QStringList g_hooks;
inline QString Held(const char* hook, int ud, gpib::CriticalSection& section) {
    return QString("%1 %2%3").arg(hook).arg(ud).arg(TakenElsewhere(section) ? " held" : "");
}

inline void LogHooks() {
    using namespace gpib;
    g_hooks.clear();
    __UnpostAllIbMessages_fnptr = [] { g_hooks << "unpost"; };
    __RepostAllIbMessages_fnptr = [] { g_hooks << "repost"; };
    __ClearAllGPIBNotify_fnptr = [] { g_hooks << "clearNotify"; };
    __ClearAllGPIBCallbacks_fnptr = [] { g_hooks << "clearCallbacks"; };
    __DeleteGPIBCallback_fnptr = [](int ud) {
        g_hooks << Held("deleteCallback", ud, __ibInstallCallbackCriticalSection);
    };
    __DeleteFromIbNotifyTable_fnptr = [](int ud) {
        g_hooks << Held("deleteNotify", ud, __ibNotifyCriticalSection);
    };
}

inline void RemoveHooks() {
    using namespace gpib;
    __UnpostAllIbMessages_fnptr = __RepostAllIbMessages_fnptr = nullptr;
    __ClearAllGPIBNotify_fnptr = __ClearAllGPIBCallbacks_fnptr = nullptr;
    __DeleteGPIBCallback_fnptr = __DeleteFromIbNotifyTable_fnptr = nullptr;
    g_hooks.clear();
}

}  // namespace gpib_test
