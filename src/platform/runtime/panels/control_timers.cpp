// Timer controls on QTimer. Restarting a running QTimer unregisters it from the
// event dispatcher and registers it again (a heap allocation and a sorted list
// insertion each time); a wait that restarts its timer for every HEX record
// would pay that thousands of times a second. The program's view of a timer is
// kept here instead (enabled, next tick due) and the QTimer only follows it.
#include "control_timers.h"

#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>

namespace runtime::ui {
namespace {

using Clock = TimerSchedule::Clock;

std::chrono::milliseconds ScaledInterval(const Control& control) {
    const double ms = control.desc.interval_s * TimeScale() * 1000.0;
    // At least 1 ms: a zero interval would tick whenever the loop is idle.
    return std::chrono::milliseconds(ms >= double(INT_MAX) ? INT_MAX : std::max(1, int(std::lround(ms))));
}

// Sets the QTimer to fire at the deadline (rounded up to its millisecond grain).
void Arm(Control& control, Clock::time_point now) {
    TimerSchedule& schedule = control.schedule;
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(schedule.due - now);
    schedule.armed = std::clamp(rest, std::chrono::milliseconds(1), std::chrono::milliseconds(INT_MAX));
    schedule.armed_for = now + schedule.armed;
    control.timer->start(schedule.armed);
}

}  // namespace

void StartTimer(Control& control) {
    if (control.timer == nullptr) return;
    TimerSchedule& schedule = control.schedule;
    const Clock::time_point now = Clock::now();
    schedule.enabled = true;
    schedule.period = ScaledInterval(control);
    schedule.due = now + schedule.period;
    if (control.timer->isActive() && schedule.armed == schedule.period && schedule.armed_for <= schedule.due)
        return;
    Arm(control, now);
}

void StopTimer(Control& control) { control.schedule.enabled = false; }

void TimerFired(int panel, int id) {
    Control* control = FindControl(panel, id, nullptr);
    if (control == nullptr || control->timer == nullptr) return;
    TimerSchedule& schedule = control->schedule;
    const Clock::time_point now = Clock::now();
    if (!schedule.enabled) {
        control->timer->stop();
        return;
    }
    if (now < schedule.due) {
        // Restarted since it was armed: the tick is due later.
        Arm(*control, now);
        return;
    }
    // A tick. As a repeating precise timer does, the next one is due an
    // interval later, or an interval from now when the loop fell behind.
    schedule.due += schedule.period;
    if (schedule.due <= now) schedule.due = now + schedule.period;
    if (schedule.armed == schedule.period)
        schedule.armed_for = schedule.due;  // the QTimer repeats by itself
    else
        Arm(*control, now);
    CallControl(panel, id, EVENT_TIMER_TICK);
    // Tick callbacks mostly disable their own timer: stop it now, once per
    // tick, rather than let it fire once more for nothing.
    control = FindControl(panel, id, nullptr);
    if (control != nullptr && !control->schedule.enabled) control->timer->stop();
}

}  // namespace runtime::ui
