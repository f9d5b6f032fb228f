// A batch run's progress on stderr: a bar redrawn in place on a terminal,
// one plain line per step otherwise (a log file gets no bar noise).
#pragma once

namespace orvex {

// Starts following runs; `on_terminal` picks the bar.
void show_batch_progress(bool on_terminal);
// Ends the bar's line, so that what follows starts on a line of its own.
void end_batch_progress();

}  // namespace orvex
