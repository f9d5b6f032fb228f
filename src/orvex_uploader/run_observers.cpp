#include "run_observers.h"

#include <array>
#include <cstddef>

namespace orvex {
namespace {

constexpr std::size_t kMaxObservers = 4;
std::array<RunObserver, kMaxObservers> g_observers{};
std::size_t g_count = 0;

}  // namespace

bool add_run_observer(RunObserver observer) {
    if (g_count == kMaxObservers) return false;
    g_observers[g_count++] = observer;
    return true;
}

void notify_run_started() {
    for (std::size_t i = 0; i < g_count; ++i)
        if (g_observers[i].started != nullptr) g_observers[i].started();
}

void notify_message(const char* text) {
    for (std::size_t i = 0; i < g_count; ++i)
        if (g_observers[i].message != nullptr) g_observers[i].message(text);
}

void notify_progress(int percent) {
    for (std::size_t i = 0; i < g_count; ++i)
        if (g_observers[i].progress != nullptr) g_observers[i].progress(percent);
}

}  // namespace orvex
