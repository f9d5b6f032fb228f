#include "status.h"

#include "driver_constants.h"

extern "C" {
__attribute__((visibility("default"))) int user_ibsta = 0;
__attribute__((visibility("default"))) int user_iberr = 0;
__attribute__((visibility("default"))) int user_ibcntl = 0;
}

namespace standin {
namespace {

thread_local Status t_status;

}  // namespace

int Report(int status, int error, int count) {
    const Status now{status | kCmpl, (status & kErr) != 0 ? error : 0, count};
    t_status = now;
    user_ibsta = now.status;
    user_iberr = now.error;
    user_ibcntl = now.count;
    return now.status;
}

Status ThreadStatus() { return t_status; }

void SetThreadStatus(const Status& status) { t_status = status; }

}  // namespace standin
