// Reaches the control exports of the recording fake driver that the binding
// loads. The test opens the same libgpib.so.0 itself, which keeps it mapped
// for the test's whole life: its log survives the binding's unloads.
#pragma once

#include <string>
#include <vector>

#include "fake_control.h"

namespace gpib_test {

struct RecordedCall {
    std::string name;
    std::vector<long long> arguments;
};

class FakeDriver {
public:
    // False when no fake driver is on the library path.
    bool Open();
    void Reset();
    // Every later call of that driver function publishes these.
    void SetOutcome(const char* driverName, int status, int error = 0, int count = 0,
                    int result = 0);
    std::vector<RecordedCall> Calls() const;
    std::vector<std::string> CallNames() const;

private:
    fake_driver::ResetFn reset_ = nullptr;
    fake_driver::SetOutcomeFn set_outcome_ = nullptr;
    fake_driver::CallCountFn call_count_ = nullptr;
    fake_driver::CallFn call_ = nullptr;
};

// Whether a library of that name is mapped into the process now.
bool DriverLibraryIsMapped();
// Whether the dynamic loader would find one (opened and closed again).
bool DriverLibraryIsReachable();

}  // namespace gpib_test
