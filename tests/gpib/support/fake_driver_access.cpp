#include "fake_driver_access.h"

#include <dlfcn.h>

namespace gpib_test {
namespace {

constexpr const char* kDriverLibrary = "libgpib.so.0";

}  // namespace

bool FakeDriver::Open() {
    void* handle = dlopen(kDriverLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    reset_ = reinterpret_cast<fake_driver::ResetFn>(dlsym(handle, fake_driver::kResetExport));
    set_outcome_ =
        reinterpret_cast<fake_driver::SetOutcomeFn>(dlsym(handle, fake_driver::kSetOutcomeExport));
    call_count_ =
        reinterpret_cast<fake_driver::CallCountFn>(dlsym(handle, fake_driver::kCallCountExport));
    call_ = reinterpret_cast<fake_driver::CallFn>(dlsym(handle, fake_driver::kCallExport));
    return reset_ != nullptr && set_outcome_ != nullptr && call_count_ != nullptr && call_ != nullptr;
}

void FakeDriver::Reset() { reset_(); }

void FakeDriver::SetOutcome(const char* driverName, int status, int error, int count, int result) {
    set_outcome_(driverName, status, error, count, result);
}

std::vector<RecordedCall> FakeDriver::Calls() const {
    std::vector<RecordedCall> calls;
    const int count = call_count_();
    for (int i = 0; i < count; ++i) {
        const fake_driver::Call* call = call_(i);
        if (call == nullptr) break;
        calls.push_back({call->name, std::vector<long long>(call->arguments,
                                                            call->arguments + call->argumentCount)});
    }
    return calls;
}

std::vector<std::string> FakeDriver::CallNames() const {
    std::vector<std::string> names;
    for (const RecordedCall& call : Calls()) names.push_back(call.name);
    return names;
}

bool DriverLibraryIsMapped() {
    void* handle = dlopen(kDriverLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

bool DriverLibraryIsReachable() {
    void* handle = dlopen(kDriverLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

}  // namespace gpib_test
