#include "status.h"

#include "driver_constants.h"

namespace standin {
namespace {

thread_local Status t_status;

}  // namespace

int Report(int status, int error, int count) {
    const Status now{status | kCmpl, (status & kErr) != 0 ? error : 0, count};
    t_status = now;
    PublishStatus(now);
    return now.status;
}

Status ThreadStatus() { return t_status; }

void SetThreadStatus(const Status& status) { t_status = status; }

}  // namespace standin
