#include "first_call_fault.h"

#include <atomic>

#include "driver_constants.h"
#include "settings.h"
#include "status.h"

namespace standin {
namespace {

std::atomic<bool> g_armed{true};

}  // namespace

std::optional<int> FailAsFirstCall() {
    const std::optional<CallFault> fault = FirstCallFault();
    if (!fault || !g_armed.exchange(false)) return std::nullopt;
    // A time-out is reported with TIMO beside the error, as the driver does.
    return Report(fault->error == kEabo ? kErr | kTimo : kErr, fault->error, fault->count);
}

void RearmFirstCallFault() { g_armed.store(true); }

}  // namespace standin
