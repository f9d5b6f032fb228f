// A recording fake driver library generated from the binding's own list of
// entry points: each export logs its name and arguments, and publishes the
// scripted status and result. A linker version script picks a variant's exports.
#include <cstdint>
#include <type_traits>

#include "fake_control.h"
#include "gpib_types.h"

extern "C" {
int user_ibsta = 0;
int user_iberr = 0;
long user_ibcntl = 0;  // the driver API declares the count long
}

namespace {

fake_driver::Control g_control;
thread_local int t_status[3];  // the calling thread's status, error and count

template <typename T>
long long Number(T value) {
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<std::intptr_t>(value);
    else
        return static_cast<long long>(value);
}

template <typename Group>
struct Answer {
    const char* name;

    template <typename... A>
    typename Group::Result operator()(A... values) const {
        if constexpr (std::is_same_v<Group, gpib::groups::ThreadSetter>) {
            const int given[] = {static_cast<int>(values)...};
            for (int i = 0; i < 3; ++i) t_status[i] = given[i];
        } else if constexpr (requires { Group::kField; }) {
            return t_status[Group::kField == gpib::StatusField::Status  ? 0
                            : Group::kField == gpib::StatusField::Error ? 1
                                                                        : 2];
        } else {
            std::lock_guard hold(g_control.mutex);
            g_control.calls.push_back({name, {Number(values)...}});
            const auto found = g_control.outcomes.find(name);
            const fake_driver::Outcome outcome =
                found != g_control.outcomes.end() ? found->second : fake_driver::Outcome{};
            user_ibsta = t_status[0] = outcome.status;
            user_iberr = t_status[1] = outcome.error;
            user_ibcntl = t_status[2] = outcome.count;
            if constexpr (std::is_same_v<Group, gpib::groups::Descriptor>) {
                return outcome.result ? *outcome.result : g_control.nextDescriptor++;
            } else if constexpr (!std::is_void_v<typename Group::Result>) {
                return outcome.status;
            }
        }
    }
};

}  // namespace

using gpib::Addr4882_t;
using gpib::AddressHandler_t;
using gpib::GpibNotifyCallback_t;
using gpib::SerialPollHandler_t;
using gpib::StatusField;

extern "C" {

#define GPIB_FUNCTION(name, driver, group, params, args) \
    gpib::groups::group::Result driver params { return Answer<gpib::groups::group>{#driver} args; }
#include "driver_functions.inc"
#undef GPIB_FUNCTION

// The message entry of a thunking library; hidden in every other variant.
int ibmessage(int ud, int message, long wParam, long lParam, void* data, long count) {
    return Answer<gpib::groups::StatusWord>{"ibmessage"}(ud, message, wParam, lParam, data, count);
}

fake_driver::Control* fake_control() { return &g_control; }

}  // extern "C"
