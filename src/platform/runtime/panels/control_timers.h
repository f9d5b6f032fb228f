// Timer controls: enabled, restarted and ticking as the program sees them,
// on a QTimer that is re-armed only when it has to be.
#pragma once

#include "panel_registry.h"

namespace runtime::ui {

// Enables the timer and starts a full interval, scaled by the time scale in
// force. A restart costs the caller only a deadline: the QTimer is left to run
// unless it would tick after the new deadline or has another interval.
void StartTimer(Control& control);
// Disables the timer: no tick reaches the program until it is started again.
// The QTimer is stopped the next time it fires, so that a timer enabled and
// disabled around every reply never registers and unregisters with the loop.
void StopTimer(Control& control);
// Called when the control's QTimer fires: a tick for the program once the
// deadline is reached, otherwise it is re-armed for the rest.
void TimerFired(int panel, int control);

}  // namespace runtime::ui
