// The driver's status of the latest call: process-wide in the exported
// status variables (user_ibsta or ibsta, and so on), and per thread for
// ThreadIbsta and friends.
#pragma once

namespace standin {

struct Status {
    int status = 0;
    int error = 0;
    int count = 0;
};

// Publishes the outcome of a call and returns its status word. Every call of
// the stand-in has finished when it returns, so CMPL is always set.
int Report(int status, int error, int count);
inline int ReportDone(int count = 0) { return Report(0, 0, count); }

// Writes the exported status variables (status_exports.cpp).
void PublishStatus(const Status& status);

Status ThreadStatus();
void SetThreadStatus(const Status& status);

}  // namespace standin
