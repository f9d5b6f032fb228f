// Requests to end the program (EXIT, SIGTERM, SIGHUP, SIGINT) never cut an
// update short by accident: a run that erased the unit finishes unless the
// request is repeated on purpose.
#pragma once

namespace orvex {

inline constexpr const char* kMsgExitAfterRun = "Exiting when this update has finished";

enum class StopMode {
    Window,  // a request ends the event loop, after the run if one is going on
    Batch,   // a request stops the run, but only a second once the unit is erased
};

// Routes the stop signals to the program; call once the panels are loaded.
void watch_stop_requests(StopMode mode);

// EXIT: ends the event loop now when idle, else once the run has ended.
void request_exit();

// Called once a run is stopped at once, after its record is written and
// before the process ends (batch mode prints its result there).
void on_run_interrupted(void (*report)());

}  // namespace orvex
