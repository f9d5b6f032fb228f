// The event loop: running the user interface, processing pending events from
// inside a callback, and repainting alone.
#include <QApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <vector>

#include "runtime.h"
#include "stop_signals.h"

namespace runtime {
namespace {

using Clock = std::chrono::steady_clock;

// A caller that comes back this soon after a call that dispatched nothing is
// spinning in a wait: that call may sleep until the next event. A caller that
// repainted in between is working through steps of its own (a loop that sends
// something and shows its progress each time), not waiting, and is never put
// to sleep.
constexpr auto kSpinGap = std::chrono::milliseconds(2);
// How long one such sleep may last when no event comes at all, so that a wait
// whose condition changes without an event is still seen in time.
constexpr int kWakeBound_ms = 15;

// Counts every event the application dispatches, except the ticks of the
// wake-up timer, which only end a sleep.
class EventCounter final : public QObject {
public:
    using QObject::QObject;

    std::uint64_t count() const { return count_; }
    void ignore(const QObject* receiver) { ignored_ = receiver; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != ignored_) ++count_;
        return QObject::eventFilter(watched, event);
    }

private:
    std::uint64_t count_ = 0;
    const QObject* ignored_ = nullptr;
};

struct SpinState {
    QPointer<EventCounter> counter;  // both live as long as the application
    QPointer<QTimer> wake;
    bool previous_dispatched_nothing = false;
    bool drawn_since_previous = false;
    Clock::time_point previous_return{};
};

SpinState& Spin() {
    static SpinState state;
    return state;
}

void EnsureSpinHelpers(SpinState& state) {
    if (state.counter != nullptr) return;
    QCoreApplication* application = QCoreApplication::instance();
    state.counter = new EventCounter(application);
    application->installEventFilter(state.counter);
    state.wake = new QTimer(application);
    state.wake->setSingleShot(true);
    state.wake->setTimerType(Qt::PreciseTimer);
    state.wake->setInterval(kWakeBound_ms);
    state.counter->ignore(state.wake);
    state.previous_dispatched_nothing = false;
}

struct RunFrame {
    QEventLoop* loop = nullptr;
    int code = 0;
};

std::vector<RunFrame*>& RunFrames() {
    static std::vector<RunFrame*> frames;
    return frames;
}

}  // namespace

int RunUserInterface() {
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (application == nullptr) return kErrNoApplication;
    detail::WatchStopSignals();
    // Only QuitUserInterface ends the loop, not the last window going away.
    const bool quitOnLastWindowClosed = QGuiApplication::quitOnLastWindowClosed();
    QGuiApplication::setQuitOnLastWindowClosed(false);

    QEventLoop loop;
    RunFrame frame{&loop, 0};
    RunFrames().push_back(&frame);
    // exec() returns once QuitUserInterface has called exit() and the event being
    // dispatched then (a callback that processes events itself) has run to its end.
    // An application told to quit as a whole ends the loop as well.
    loop.exec();
    RunFrames().pop_back();

    QGuiApplication::setQuitOnLastWindowClosed(quitOnLastWindowClosed);
    return frame.code;
}

int QuitUserInterface(int returnCode) {
    auto& frames = RunFrames();
    if (frames.empty()) return 0;  // no loop to end
    RunFrame* innermost = frames.back();
    innermost->code = returnCode;
    innermost->loop->exit(returnCode);
    return 0;
}

int ProcessSystemEvents() {
    if (QCoreApplication::instance() == nullptr) return kErrNoApplication;
    SpinState& state = Spin();
    EnsureSpinHelpers(state);
    detail::WatchStopSignals();

    const std::uint64_t before = state.counter->count();
    const bool spinning = state.previous_dispatched_nothing && !state.drawn_since_previous &&
                          Clock::now() - state.previous_return < kSpinGap;
    if (spinning) {
        // Sleeps until a timer, socket or posted event arrives, at most the wake bound.
        state.wake->start();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        state.wake->stop();
    } else {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    // A callback run above may have ended the application's helpers with it.
    state.previous_dispatched_nothing = state.counter != nullptr && state.counter->count() == before;
    state.previous_return = Clock::now();
    state.drawn_since_previous = false;
    return 0;
}

int ProcessDrawEvents() {
    if (QCoreApplication::instance() == nullptr) return kErrNoApplication;
    // Only what lays out and repaints widgets: no timer, socket, input or
    // queued call is delivered, so no callback of the program can run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    Spin().drawn_since_previous = true;
    return 0;
}

}  // namespace runtime
