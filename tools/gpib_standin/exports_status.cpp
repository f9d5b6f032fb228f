// The per-thread status functions.
#include "status.h"

extern "C" {

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
