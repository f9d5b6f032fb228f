#include "stop_requests.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "display.h"
#include "outcomes.h"
#include "run_observers.h"
#include "run_state.h"
#include "runtime.h"
#include "update_record.h"

namespace orvex {

using namespace runtime;

namespace {

struct StopState {
    StopMode mode = StopMode::Window;
    bool exit_requested = false;  // the event loop ends after this run
    bool erased = false;          // ERASE went out in this run
    bool warned = false;          // batch: the operator was told the unit is erased
    void (*report)() = nullptr;
};
StopState g_stop;

void note_run_started() {
    // A request made before this run ended the loop already.
    g_stop.exit_requested = false;
    g_stop.erased = false;
    g_stop.warned = false;
}

// "Erasing" is shown just before ERASE goes out: from then on the unit has
// no complete firmware until the run ends.
void note_message(const char* text) {
    if (text != nullptr && std::strcmp(text, kMsgErasing) == 0) g_stop.erased = true;
}

// Ends the process in the middle of a run: the record says it was
// interrupted; the unit is left as it is and the system closes its port.
[[noreturn]] void stop_now() {
    record_update(Outcome::Interrupted);
    if (g_stop.report != nullptr) g_stop.report();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(kExitInterrupted);
}

void on_window_signal(int signal_number) {
    if (run.programming == 0) {
        QuitUserInterface(0);
        return;
    }
    // Ctrl-C twice is a deliberate choice; a service manager's SIGTERM is not.
    if (g_stop.exit_requested && signal_number == SIGINT) stop_now();
    request_exit();
}

void on_batch_signal(int) {
    if (run.programming == 0 || !g_stop.erased || g_stop.warned) stop_now();
    g_stop.warned = true;
    std::fprintf(stderr,
                 "\norvex-uploader: the unit is being programmed; stopping now leaves it erased and it needs "
                 "another run. Send the signal again (Ctrl-C) to stop anyway.\n");
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
    add_run_observer({note_run_started, note_message, nullptr});
    SetStopSignalHandler(on_stop_signal);
}

void request_exit() {
    if (run.programming != 0 && !g_stop.exit_requested) show_progress_text(kMsgExitAfterRun);
    g_stop.exit_requested = true;
    // During an upload the event loop ends only once START's callback has returned.
    QuitUserInterface(0);
}

void on_run_interrupted(void (*report)()) { g_stop.report = report; }

}  // namespace orvex
