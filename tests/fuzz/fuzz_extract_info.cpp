// Any bytes the unit may send as its identification reply: the parser must
// stay inside its buffers and leave every field terminated.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "identification.h"
#include "panel_handles.h"
#include "run_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reply buffers are 256 bytes and need not hold a terminator.
    char reply[orvex::kCommandSize];
    const std::size_t used = size < sizeof reply ? size : sizeof reply;
    std::memcpy(reply, data, used);
    std::memset(reply + used, 'A', sizeof reply - used);
    orvex::extract_info(reply, used);
    for (const char* field : {orvex::identity.Make, orvex::identity.Unit, orvex::identity.Model,
                              orvex::identity.CalDate, orvex::identity.SerialNo, orvex::identity.Rev}) {
        if (strnlen(field, orvex::kFieldSize) == orvex::kFieldSize) __builtin_trap();
    }
    if (orvex::run.ok_to_use != 0 && orvex::run.ok_to_use != 1) __builtin_trap();
    return 0;
}
