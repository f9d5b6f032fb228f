#include "attempts.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>

#include "batch_progress.h"
#include "outcomes.h"
#include "runtime.h"
#include "update_record.h"

namespace orvex {

using namespace runtime;

namespace {

using Clock = std::chrono::steady_clock;

struct AttemptState {
    int made = 0;
    int planned = 1;
    bool pausing = false;
};
AttemptState g_attempts;

// Seconds as a person writes them ("5", "0.25"), whatever the locale says.
std::string seconds_text(double seconds) {
    char text[32] = {};
    const auto result = std::to_chars(text, text + sizeof text - 1, seconds);
    return std::string(text, result.ptr);
}

// A line of its own among the progress lines, never inside the bar.
void say(const std::string& line) {
    end_batch_progress();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// "2 of 4"
std::string of_planned(int attempt) {
    return std::to_string(attempt) + " of " + std::to_string(g_attempts.planned);
}

// How the attempt that just ended went, and what comes next.
void say_ended(Outcome outcome, const RetryPlan& plan, bool stop_asked) {
    const OutcomeInfo& info = outcome_info(outcome);
    std::string line =
        "Attempt " + of_planned(g_attempts.made) + " ended " + info.name + ": " + last_update().message;
    const bool attempts_left = g_attempts.made < g_attempts.planned;
    if (!attempts_left) {
        if (info.another_run_may_mend) line += "; no attempt left";
    } else if (!info.another_run_may_mend) {
        if (outcome != Outcome::Updated) line += "; another run cannot mend that";
    } else if (stop_asked) {
        line += "; a stop was asked, so no attempt follows";
    } else {
        line +=
            "; attempt " + std::to_string(g_attempts.made + 1) + " in " + seconds_text(plan.pause_s) + " s";
    }
    say(line);
}

// Waits processing events, so that a stop signal ends the wait the moment it
// arrives instead of after it.
void pause_before_retry(double seconds) {
    const auto end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    g_attempts.pausing = true;
    while (Clock::now() < end) ProcessSystemEvents();
    g_attempts.pausing = false;
}

}  // namespace

Outcome run_attempts(const RetryPlan& plan, Outcome (*attempt)()) {
    g_attempts = AttemptState{0, plan.retries + 1, false};
    const bool retrying = plan.retries > 0;
    for (;;) {
        ++g_attempts.made;
        set_record_attempt(g_attempts.made);
        if (retrying) say("Attempt " + of_planned(g_attempts.made));
        // A stop asked after the erase lets the run finish, and ends the batch there.
        const int stops_before = StopSignalCount();
        const Outcome outcome = attempt();
        const bool stop_asked = StopSignalCount() != stops_before;
        if (retrying) say_ended(outcome, plan, stop_asked);
        if (!outcome_info(outcome).another_run_may_mend || g_attempts.made == g_attempts.planned ||
            stop_asked)
            return outcome;
        pause_before_retry(plan.pause_s * TimeScale());
    }
}

int attempts_made() { return g_attempts.made; }

void report_stop_between_attempts() {
    if (g_attempts.pausing) say("Stopped before attempt " + of_planned(g_attempts.made + 1));
}

}  // namespace orvex
