// Batch runs that try again: a run that ended in a way another run may mend
// (a link that dropped, a unit slow to come back after EXIT) is followed,
// after a pause, by the whole procedure from the start, as a second press of
// START would run it.
#pragma once

#include "upload.h"

namespace orvex {

struct RetryPlan {
    int retries = 0;       // more runs after the first, at most
    double pause_s = 0.0;  // before each of them, at the program's time scale
};

// Runs `attempt` (one whole update, returning its outcome) once, and again
// while its outcome may be mended and retries are left. Each run's record
// carries its attempt number; with retries planned, stderr says which attempt
// runs and how each ended. Returns the last run's outcome.
Outcome run_attempts(const RetryPlan& plan, Outcome (*attempt)());

// The attempt running or last run; 0 before the first.
int attempts_made();

// For a stop that ends the process: says on stderr when it came during the
// pause before another attempt.
void report_stop_between_attempts();

}  // namespace orvex
