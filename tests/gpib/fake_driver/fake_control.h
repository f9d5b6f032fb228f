// The control block of the recording fake driver. A test reaches it through
// the export fake_control() of the libgpib.so.0 it opened itself, which keeps
// the library, and so the log, mapped across the binding's unloads.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fake_driver {

struct Call {
    std::string name;
    std::vector<long long> arguments;  // pointers as addresses
};

// Descriptors handed out when no outcome says otherwise: 100, 101, ...
inline constexpr int kFirstDescriptor = 100;

// What every later call of that driver function publishes; a descriptor
// call returns `result`, if given.
struct Outcome {
    int status = 0x0100;  // CMPL
    int error = 0;
    int count = 0;
    std::optional<int> result;
};

struct Control {
    std::mutex mutex;
    std::vector<Call> calls;
    std::map<std::string, Outcome> outcomes;
    int nextDescriptor = kFirstDescriptor;
};

}  // namespace fake_driver
