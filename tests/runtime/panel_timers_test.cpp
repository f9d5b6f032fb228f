// Timer controls: ticks call back until disabled, ResetTimer restarts the
// interval, and the time scale applies at every start.
#include <QTimer>
#include <QtTest>

#include <chrono>

#include "panel_test_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;
using Clock = std::chrono::steady_clock;

namespace {

// A precise timer never fires early; allow for clock granularity only.
constexpr auto kEarly = std::chrono::milliseconds(3);

std::chrono::milliseconds Since(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - start);
}

int Enabled(int panel, int control) {
    int value = -1;
    GetCtrlAttribute(panel, control, ATTR_ENABLED, &value);
    return value;
}

}  // namespace

class PanelTimersTest : public QObject {
    Q_OBJECT

    int panel_ = 0;

private slots:
    void init() {
        support::InstallRecorders();
        panel_ = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel_ > 0);
        // Only the timer under test runs.
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
    }

    void cleanup() { DiscardPanel(panel_); }

    void ticksRepeatUntilDisabled() {
        const support::ScopedTimeScale fast(0.01);  // Lan timer: 4 s → 40 ms
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 1), 0);
        QCOMPARE(TimerOf(panel_, ids::UPDATE_LANTIMER)->interval(), 40);
        QCOMPARE(TimerOf(panel_, ids::UPDATE_LANTIMER)->timerType(), Qt::PreciseTimer);
        QTRY_VERIFY_WITH_TIMEOUT(support::CallsOf(ids::UPDATE_LANTIMER) >= 3, 10000);
        const support::ControlCall tick = support::ControlCalls().front();
        QCOMPARE(tick.name, QStringLiteral("LanTimer"));
        QCOMPARE(tick.panel, panel_);
        QCOMPARE(tick.event, EVENT_TIMER_TICK);

        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0), 0);
        QCOMPARE(Enabled(panel_, ids::UPDATE_LANTIMER), 0);
        const int ticks = support::CallsOf(ids::UPDATE_LANTIMER);
        QTest::qWait(200);  // five intervals with events processed
        QCOMPARE(support::CallsOf(ids::UPDATE_LANTIMER), ticks);
    }

    // A callback that disables its own timer gets exactly one tick per arming.
    void tickCallbackDisablingItsTimer() {
        const support::ScopedTimeScale fast(0.5);  // Transmit LED timer: 30 ms
        support::OnControl() = [this](const support::ControlCall& call) {
            SetCtrlVal(panel_, ids::UPDATE_TX, 0);
            SetCtrlAttribute(panel_, call.control, ATTR_ENABLED, 0);
        };
        for (int arming = 1; arming <= 3; ++arming) {
            SetCtrlVal(panel_, ids::UPDATE_TX, 1);
            ResetTimer(panel_, ids::UPDATE_TXTIMER);
            SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 1);
            QTRY_COMPARE_WITH_TIMEOUT(support::CallsOf(ids::UPDATE_TXTIMER), arming, 5000);
            int lit = -1;
            GetCtrlVal(panel_, ids::UPDATE_TX, &lit);
            QCOMPARE(lit, 0);
        }
        QTest::qWait(150);
        QCOMPARE(support::CallsOf(ids::UPDATE_TXTIMER), 3);
    }

    void timeScaleAppliesAtEveryStart() {
        const support::ScopedTimeScale realTime(1.0);
        QTimer* timer = TimerOf(panel_, ids::UPDATE_COMTIMER);
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QCOMPARE(timer->interval(), 5000);
        SetTimeScale(0.5);
        ResetTimer(panel_, ids::UPDATE_COMTIMER);  // a restart takes the new scale
        QCOMPARE(timer->interval(), 2500);
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 0);
        SetTimeScale(0.1);
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QCOMPARE(timer->interval(), 500);
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 0);
    }

    // ResetTimer on a running timer starts a whole new interval from now: the
    // first tick after the reset comes one full interval after it.
    void resetRestartsARunningInterval() {
        const support::ScopedTimeScale scale(0.06);  // Com timer: 5 s → 300 ms
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QTest::qWait(150);
        const auto reset = Clock::now();
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_COMTIMER), 0);
        auto tickAfterReset = [reset] {
            for (const support::ControlCall& call : support::ControlCalls())
                if (call.at > reset) return call.at;
            return Clock::time_point{};
        };
        QTRY_VERIFY_WITH_TIMEOUT(tickAfterReset() != Clock::time_point{}, 5000);
        QVERIFY(Since(reset, tickAfterReset()) >= std::chrono::milliseconds(300) - kEarly);
    }

    // ResetTimer leaves a disabled timer disabled; enabling it later gives a
    // full interval from the moment of enabling.
    void resetLeavesAStoppedTimerStopped() {
        const support::ScopedTimeScale scale(0.06);
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_COMTIMER), 0);
        QCOMPARE(Enabled(panel_, ids::UPDATE_COMTIMER), 0);
        QTest::qWait(100);
        const auto enabled = Clock::now();
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QTRY_VERIFY_WITH_TIMEOUT(support::CallsOf(ids::UPDATE_COMTIMER) >= 1, 5000);
        QVERIFY(Since(enabled, support::ControlCalls().front().at) >=
                std::chrono::milliseconds(300) - kEarly);
    }

    // Enabling a timer that runs already does not restart it (only ResetTimer
    // does): the Password Timer is enabled that way.
    void enablingARunningTimerKeepsItsInterval() {
        const support::ScopedTimeScale scale(0.25);  // Password Timer: 4 s → 1 s
        const auto started = Clock::now();
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 1);
        QTest::qWait(500);
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 1);
        QTRY_VERIFY_WITH_TIMEOUT(support::CallsOf(ids::UPDATE_TIMER) >= 1, 5000);
        // A restart would have put the tick 1.5 s after the start.
        QVERIFY(Since(started, support::ControlCalls().front().at) <
                std::chrono::milliseconds(1400));
    }

    void onlyTimersHaveTimerOperations() {
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_START), kErrInvalidControl);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_DIMMED, 1), kErrInvalidAttribute);
        QCOMPARE(ResetTimer(panel_ + 1000, ids::UPDATE_TIMER), kErrInvalidPanel);
        QCOMPARE(ControlWidget(panel_, ids::UPDATE_TIMER), nullptr);  // never shown
    }
};

QTEST_MAIN(PanelTimersTest)
#include "panel_timers_test.moc"
