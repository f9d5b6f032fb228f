// Who else follows a run besides the panel: batch mode's progress on the
// terminal, the update record, the handling of stop requests.
#pragma once

namespace orvex {

struct RunObserver {
    void (*started)() = nullptr;                  // START began a sequence
    void (*message)(const char* text) = nullptr;  // Messages shows `text`
    void (*progress)(int percent) = nullptr;      // the progress slide shows `percent`
};

// False when every place is taken (a handful, fixed).
bool add_run_observer(RunObserver observer);

void notify_run_started();
void notify_message(const char* text);
void notify_progress(int percent);

}  // namespace orvex
