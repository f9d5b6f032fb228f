#include "library_identity.h"

#include <dlfcn.h>

#include <array>

#include "gpib_constants.h"

namespace gpib::detail {
namespace {

constexpr const char* kLibraryName = "libgpib.so.0";

// The calls of the GPIB upload sequence: a library without any of them could
// not carry an upload, whatever else it offers.
constexpr std::array<const char*, 6> kRequiredCalls = {"SendIFC", "ibsre",   "ibtmo",
                                                       "Send",    "Receive", "ibonl"};

// The names under which driver libraries publish their status: the stand-in's
// (and that of the maker's Windows-era libraries), and the Linux GPIB
// library's, whose older releases have no long count.
struct NameSet {
    const char* status;
    const char* error;
    const char* longCount;
    const char* count;  // nullptr: this set has no int count
};
constexpr std::array<NameSet, 2> kNameSets = {{
    {"user_ibsta", "user_iberr", "user_ibcntl", nullptr},
    {"ibsta", "iberr", "ibcntl", "ibcnt"},
}};

template <typename T>
const T* Lookup(void* handle, const char* name) {
    return name != nullptr ? static_cast<const T*>(dlsym(handle, name)) : nullptr;
}

bool Complete(const StatusExports& exports) {
    return exports.status != nullptr && exports.error != nullptr &&
           (exports.longCount != nullptr || exports.count != nullptr);
}

}  // namespace

IdentityCheck CheckIdentity(void* handle) {
    IdentityCheck check;
    for (const NameSet& names : kNameSets) {
        const StatusExports found{Lookup<int>(handle, names.status), Lookup<int>(handle, names.error),
                                  Lookup<long>(handle, names.longCount), Lookup<int>(handle, names.count)};
        if (Complete(found)) {
            check.exports = found;
            break;
        }
    }
    std::string missing;
    for (const char* call : kRequiredCalls) {
        if (dlsym(handle, call) != nullptr) continue;
        missing += missing.empty() ? "" : ", ";
        missing += call;
    }
    if (!Complete(check.exports)) {
        check.code = kStatusExportsMissing;
        check.problem = std::string(kLibraryName) +
                        " refused: it lacks the status variables (ibsta, iberr and ibcntl or ibcnt; or "
                        "user_ibsta, user_iberr and user_ibcntl)";
    } else if (!missing.empty()) {
        check.code = kIdentityMismatch;
        const bool several = missing.find(',') != std::string::npos;
        check.problem =
            std::string(kLibraryName) + " refused: it lacks the export" + (several ? "s " : " ") + missing;
    }
    return check;
}

long ReadCount(const StatusExports& exports) {
    if (exports.longCount != nullptr) return *exports.longCount;
    return exports.count != nullptr ? *exports.count : 0;
}

}  // namespace gpib::detail
