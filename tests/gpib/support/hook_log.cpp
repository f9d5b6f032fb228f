#include "hook_log.h"

#include <future>

namespace gpib_test {
namespace {

std::string (*g_context)() = nullptr;

std::string WithContext(const char* name) {
    std::string entry = name;
    if (g_context != nullptr) entry += " " + g_context();
    return entry;
}

std::string DescriptorEntry(const char* name, int ud, gpib::CriticalSection& section) {
    std::string entry = std::string(name) + " " + std::to_string(ud);
    if (TakenByAnotherThread(section)) entry += " held";
    return entry;
}

}  // namespace

std::vector<std::string>& HookLog() {
    static std::vector<std::string> log;
    return log;
}

bool TakenByAnotherThread(gpib::CriticalSection& section) {
    return std::async(std::launch::async, [&section] {
               if (!section.TryEnter()) return true;
               section.Leave();
               return false;
           }).get();
}

void InstallRecordingHooks(std::string (*context)()) {
    g_context = context;
    gpib::__UnpostAllIbMessages_fnptr = [] { HookLog().push_back(WithContext("unpost")); };
    gpib::__RepostAllIbMessages_fnptr = [] { HookLog().push_back(WithContext("repost")); };
    gpib::__DeleteGPIBCallback_fnptr = [](int ud) {
        HookLog().push_back(DescriptorEntry("deleteCallback", ud, gpib::__ibInstallCallbackCriticalSection));
    };
    gpib::__DeleteFromIbNotifyTable_fnptr = [](int ud) {
        HookLog().push_back(DescriptorEntry("deleteNotify", ud, gpib::__ibNotifyCriticalSection));
    };
    gpib::__ClearAllGPIBNotify_fnptr = [] { HookLog().push_back("clearNotify"); };
    gpib::__ClearAllGPIBCallbacks_fnptr = [] { HookLog().push_back("clearCallbacks"); };
}

void RemoveHooks() {
    g_context = nullptr;
    gpib::__UnpostAllIbMessages_fnptr = nullptr;
    gpib::__RepostAllIbMessages_fnptr = nullptr;
    gpib::__DeleteGPIBCallback_fnptr = nullptr;
    gpib::__DeleteFromIbNotifyTable_fnptr = nullptr;
    gpib::__ClearAllGPIBNotify_fnptr = nullptr;
    gpib::__ClearAllGPIBCallbacks_fnptr = nullptr;
    HookLog().clear();
}

}  // namespace gpib_test
