// The exported status variables and the identification text. One source, two
// name sets chosen by compile definition, so tests can prove that the binding
// takes either kind of driver library:
//   (none)                        user_ibsta, user_iberr, long user_ibcntl and the notice
//   STANDIN_LINUX_GPIB_NAMES      ibsta, iberr, int ibcnt and long ibcntl, no notice
//   and STANDIN_WITHOUT_IBCNTL    the same without ibcntl, as older releases
#include "status.h"

extern "C" {
#if defined(STANDIN_LINUX_GPIB_NAMES)
__attribute__((visibility("default"))) int ibsta = 0;
__attribute__((visibility("default"))) int iberr = 0;
__attribute__((visibility("default"))) int ibcnt = 0;
#if !defined(STANDIN_WITHOUT_IBCNTL)
__attribute__((visibility("default"))) long ibcntl = 0;
#endif
#else
__attribute__((visibility("default"))) int user_ibsta = 0;
__attribute__((visibility("default"))) int user_iberr = 0;
__attribute__((visibility("default"))) long user_ibcntl = 0;

// An optional extra: the binding does not need it, a technician's nm does.
__attribute__((visibility("default"))) extern const char gpib_driver_notice[];
const char gpib_driver_notice[] =
    "GPIB driver library for IEEE 488.2 controllers - orvex stand-in, boards GPIB0-GPIB7 "
    "served by the unit simulator";
#endif
}  // extern "C"

namespace standin {

void PublishStatus(const Status& status) {
#if defined(STANDIN_LINUX_GPIB_NAMES)
    ibsta = status.status;
    iberr = status.error;
    ibcnt = status.count;
#if !defined(STANDIN_WITHOUT_IBCNTL)
    ibcntl = status.count;
#endif
#else
    user_ibsta = status.status;
    user_iberr = status.error;
    user_ibcntl = status.count;
#endif
}

}  // namespace standin
