// The control exports of the recording fake driver: tests reach them with
// dlsym on the loaded libgpib.so.0 to script answers and read the calls.
#pragma once

namespace fake_driver {

inline constexpr int kMaxArguments = 6;
inline constexpr int kNameSize = 40;

struct Call {
    char name[kNameSize];
    int argumentCount;
    long long arguments[kMaxArguments];  // integers as they are, pointers as addresses
};

// Names of the control exports and their types.
inline constexpr const char* kResetExport = "fake_reset";
inline constexpr const char* kSetOutcomeExport = "fake_set_outcome";
inline constexpr const char* kCallCountExport = "fake_call_count";
inline constexpr const char* kCallExport = "fake_call";
using ResetFn = void (*)();
// Every later call of the driver function `name` publishes status, error and
// count; a descriptor call returns `result` (a negative `result` included).
using SetOutcomeFn = void (*)(const char* name, int status, int error, int count, int result);
using CallCountFn = int (*)();
using CallFn = const Call* (*)(int index);

// Descriptors handed out by ibdev and ibfind when no outcome says otherwise:
// kFirstDescriptor, kFirstDescriptor + 1, ...
inline constexpr int kFirstDescriptor = 100;

}  // namespace fake_driver
