// A time limit for the blocking port and connection calls, measured on the
// monotonic clock so that a change of the wall clock cannot stretch a wait.
#pragma once

#include <chrono>
#include <climits>
#include <cmath>

namespace runtime::detail {

class Deadline {
public:
    // `seconds` is already scaled; a negative or NaN value is an expired limit.
    explicit Deadline(double seconds)
        : end_(std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(Clamp(seconds)))) {}

    // Milliseconds left, rounded up so that a wait never ends before the limit;
    // 0 once it has passed. Fits the int that the Qt wait calls take.
    int remaining_ms() const {
        const auto left = end_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return 0;
        const double ms = std::ceil(std::chrono::duration<double, std::milli>(left).count());
        return ms >= double(INT_MAX) ? INT_MAX : int(ms);
    }

private:
    // About 24 days: long enough for any caller, short enough not to overflow
    // the clock's arithmetic.
    static constexpr double kLongest_s = double(INT_MAX) / 1000.0;
    static double Clamp(double seconds) {
        if (!(seconds > 0.0)) return 0.0;
        return seconds > kLongest_s ? kLongest_s : seconds;
    }

    std::chrono::steady_clock::time_point end_;
};

}  // namespace runtime::detail
