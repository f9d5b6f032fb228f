#include "stop_requests.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display.h"
#include "outcomes.h"
#include "run_observers.h"
#include "run_state.h"
#include "runtime.h"
#include "update_record.h"
#include "upload.h"

namespace orvex {

using namespace runtime;

namespace {

struct StopState {
    StopMode mode = StopMode::Window;
    bool exit_requested = false;  // the event loop ends after this run
    bool warned = false;          // told that stopping now leaves the unit erased
    void (*report)() = nullptr;
};
StopState g_stop;

constexpr const char* kWarnErased =
    "the unit is being programmed; stopping now leaves it erased and it needs another run. Send the signal "
    "again (Ctrl-C) to stop anyway.";

void note_run_started() {
    // A request made before this run ended the loop already.
    g_stop.exit_requested = false;
    g_stop.warned = false;
}

[[noreturn]] void end_interrupted() {
    if (g_stop.report != nullptr) g_stop.report();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(kExitInterrupted);
}

// Ends the process in the middle of a run. A unit not yet erased is given
// back first, so nothing is lost; an erased one is left as it is. The record
// says the run was interrupted.
[[noreturn]] void stop_now() {
    abandon_update();
    record_update(Outcome::Interrupted);
    end_interrupted();
}

// The first request after the erase only warns; the next one stops.
void warn_or_stop() {
    if (g_stop.warned) stop_now();
    g_stop.warned = true;
    show_detail(kWarnErased);
}

// The window: the first request (EXIT, or any stop signal) ends the program
// after the run. Only Ctrl-C, the deliberate choice, goes further: at once
// before the erase, else after a warning.
void on_window_signal(int signal_number) {
    if (run.programming == 0) {
        QuitUserInterface(0);
        return;
    }
    if (!g_stop.exit_requested || signal_number != SIGINT) {
        request_exit();
        return;
    }
    if (update_stage() != UpdateStage::AfterErase) stop_now();
    warn_or_stop();
}

// Batch mode: nothing is at stake before the erase, so a request stops at
// once; after it, only a repeated one does. Between two runs (the pause
// before another attempt) no unit is touched and no run is left to record:
// the process ends at once with the last run's result.
void on_batch_signal(int) {
    if (run.programming == 0) end_interrupted();
    if (update_stage() != UpdateStage::AfterErase) stop_now();
    warn_or_stop();
}

void on_stop_signal(int signal_number) {
    if (g_stop.mode == StopMode::Window)
        on_window_signal(signal_number);
    else
        on_batch_signal(signal_number);
}

}  // namespace

void watch_stop_requests(StopMode mode) {
    g_stop.mode = mode;
    add_run_observer({note_run_started, nullptr, nullptr});
    SetStopSignalHandler(on_stop_signal);
}

void request_exit() {
    // On the detail line: Messages keeps what the run itself shows.
    if (run.programming != 0 && !g_stop.exit_requested) show_detail(kMsgExitAfterRun);
    g_stop.exit_requested = true;
    // During an upload the event loop ends only once START's callback has returned.
    QuitUserInterface(0);
}

void on_run_interrupted(void (*report)()) { g_stop.report = report; }

}  // namespace orvex
