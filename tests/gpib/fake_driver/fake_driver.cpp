// A recording fake of the driver library, generated from the binding's own
// list of entry points: every export records its name and arguments,
// publishes a scripted status and returns a scripted result. What a variant
// of the library exports is chosen by its linker version script.
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "fake_control.h"
#include "gpib_types.h"

extern "C" {
int user_ibsta = 0;
int user_iberr = 0;
int user_ibcntl = 0;
}

namespace fake_driver {
namespace {

constexpr int kCmpl = 0x0100;
constexpr std::size_t kLogSize = 4096;

struct Outcome {
    int status = kCmpl;
    int error = 0;
    int count = 0;
    bool hasResult = false;
    int result = 0;
};

struct ThreadState {
    int status = 0;
    int error = 0;
    int count = 0;
};

struct State {
    std::mutex mutex;
    std::array<Call, kLogSize> log{};
    int logged = 0;
    std::map<std::string, Outcome> outcomes;
    int nextDescriptor = kFirstDescriptor;
};

State& TheState() {
    static State state;
    return state;
}

thread_local ThreadState t_status;

template <typename T>
long long AsNumber(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<long long>(reinterpret_cast<std::intptr_t>(value));
    } else {
        return static_cast<long long>(value);
    }
}

template <typename... A>
std::array<long long, sizeof...(A)> Numbers(A... values) {
    return {AsNumber(values)...};
}

// Logs the call and publishes its scripted outcome.
template <std::size_t N>
Outcome Record(const char* name, const std::array<long long, N>& arguments) {
    State& state = TheState();
    std::lock_guard hold(state.mutex);
    if (state.logged < static_cast<int>(kLogSize)) {
        Call& call = state.log[static_cast<std::size_t>(state.logged++)];
        std::strncpy(call.name, name, kNameSize - 1);
        call.name[kNameSize - 1] = '\0';
        call.argumentCount = static_cast<int>(N);
        for (std::size_t i = 0; i < N && i < kMaxArguments; ++i) call.arguments[i] = arguments[i];
    }
    Outcome outcome;
    if (const auto found = state.outcomes.find(name); found != state.outcomes.end()) {
        outcome = found->second;
    }
    if (!outcome.hasResult) {
        outcome.result = state.nextDescriptor;
        if (std::strncmp(name, "ibdev", 5) == 0 || std::strncmp(name, "ibfind", 6) == 0) {
            ++state.nextDescriptor;
        }
    }
    user_ibsta = outcome.status;
    user_iberr = outcome.error;
    user_ibcntl = outcome.count;
    t_status = {outcome.status, outcome.error, outcome.count};
    return outcome;
}

template <typename Group>
inline constexpr bool kIsThreadQuery = false;
template <gpib::StatusField Field>
inline constexpr bool kIsThreadQuery<gpib::groups::ThreadQuery<Field>> = true;

template <typename Group, std::size_t N>
typename Group::Result Answer(const char* name, const std::array<long long, N>& arguments) {
    if constexpr (kIsThreadQuery<Group>) {
        switch (Group::kField) {
            case gpib::StatusField::Status: return t_status.status;
            case gpib::StatusField::Error: return t_status.error;
            default: return t_status.count;
        }
    } else if constexpr (std::is_same_v<Group, gpib::groups::ThreadSetter>) {
        t_status = {static_cast<int>(arguments[0]), static_cast<int>(arguments[1]),
                    static_cast<int>(arguments[2])};
    } else {
        const Outcome outcome = Record(name, arguments);
        if constexpr (std::is_same_v<Group, gpib::groups::Descriptor>) {
            return outcome.result;
        } else if constexpr (!std::is_void_v<typename Group::Result>) {
            return outcome.status;
        }
    }
}

}  // namespace
}  // namespace fake_driver

using gpib::Addr4882_t;
using gpib::AddressHandler_t;
using gpib::GpibNotifyCallback_t;
using gpib::SerialPollHandler_t;
using gpib::StatusField;

extern "C" {

#define GPIB_FUNCTION(name, driver, group, params, args)                                       \
    gpib::groups::group::Result driver params {                                    \
        return fake_driver::Answer<gpib::groups::group>(#driver, fake_driver::Numbers args);   \
    }
#include "driver_functions.inc"
#undef GPIB_FUNCTION

// The message entry of a thunking library; hidden in every other variant.
int ibmessage(int ud, int message, long wParam, long lParam, void* data, long count) {
    return fake_driver::Answer<gpib::groups::StatusWord>(
        "ibmessage", fake_driver::Numbers(ud, message, wParam, lParam, data, count));
}

void fake_reset() {
    fake_driver::State& state = fake_driver::TheState();
    std::lock_guard hold(state.mutex);
    state.logged = 0;
    state.outcomes.clear();
    state.nextDescriptor = fake_driver::kFirstDescriptor;
}

void fake_set_outcome(const char* name, int status, int error, int count, int result) {
    fake_driver::State& state = fake_driver::TheState();
    std::lock_guard hold(state.mutex);
    state.outcomes[name] = fake_driver::Outcome{status, error, count, true, result};
}

int fake_call_count() {
    fake_driver::State& state = fake_driver::TheState();
    std::lock_guard hold(state.mutex);
    return state.logged;
}

const fake_driver::Call* fake_call(int index) {
    fake_driver::State& state = fake_driver::TheState();
    std::lock_guard hold(state.mutex);
    if (index < 0 || index >= state.logged) return nullptr;
    return &state.log[static_cast<std::size_t>(index)];
}

}  // extern "C"
