// The per-thread status functions and the identification text.
#include "status.h"

extern "C" {

// Begins with the maker's notice that the binding's identity test looks for.
__attribute__((visibility("default"))) extern const char gpib_driver_notice[];
const char gpib_driver_notice[] =
    "GPIB driver library for IEEE 488.2 controllers - orvex stand-in, boards GPIB0-GPIB7 "
    "served by the unit simulator";

__attribute__((visibility("default"))) int ThreadIbsta() { return standin::ThreadStatus().status; }
__attribute__((visibility("default"))) int ThreadIberr() { return standin::ThreadStatus().error; }
__attribute__((visibility("default"))) int ThreadIbcnt() { return standin::ThreadStatus().count; }
__attribute__((visibility("default"))) int ThreadIbcntl() { return standin::ThreadStatus().count; }

// The binding hands its own status (a failed load of an entry point, say)
// to the calling thread's status here.
__attribute__((visibility("default"))) void SetGpibStatusVariablesForThread(int status, int error,
                                                                            int count) {
    standin::SetThreadStatus({status, error, count});
}

}  // extern "C"
