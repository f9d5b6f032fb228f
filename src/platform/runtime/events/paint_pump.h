// Keeping the windows painted while a step blocks the user-interface thread:
// between slices of a long wait, only layout and painting run, never a timer,
// a socket, an input event or a queued call, so no callback of the program can
// run before the step returns.
#pragma once

#include "deadline.h"

namespace runtime::detail {

// A blocking wait of up to `remaining_ms` waits at most this long before the
// windows are painted again; what is left is waited in further slices.
int PaintSlice_ms(int remaining_ms);

// Lays out and repaints every visible window now. Does nothing off the
// user-interface thread or without a widget application.
void KeepPainting();

// Waits until `descriptor` is ready for `events` (poll flags) or `deadline`
// passes, painting between slices; true when it is ready or cannot be watched
// (a negative descriptor), false when the time is up. For waits inside Qt that
// give up their work when they time out, such as a connection attempt.
bool PollWhilePainting(int descriptor, short events, const Deadline& deadline);

}  // namespace runtime::detail
