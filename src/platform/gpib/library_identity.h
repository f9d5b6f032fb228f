// What makes a loaded library usable as the driver: the calls the upload
// sequence makes and the status variables it publishes after each call, under
// either name set that driver libraries use.
#pragma once

#include <string>

namespace gpib::detail {

// The library's status variables. The count is published as a long
// (ibcntl, user_ibcntl) or, by older libraries, only as an int (ibcnt).
struct StatusExports {
    const int* status = nullptr;
    const int* error = nullptr;
    const long* longCount = nullptr;
    const int* count = nullptr;  // used only without longCount
};

struct IdentityCheck {
    StatusExports exports{};
    int code = 0;         // 0 when usable, else kStatusExportsMissing or kIdentityMismatch
    std::string problem;  // what is missing, for the technician; empty when usable
};

IdentityCheck CheckIdentity(void* handle);

// Reads the count with the type the library declared.
long ReadCount(const StatusExports& exports);

}  // namespace gpib::detail
