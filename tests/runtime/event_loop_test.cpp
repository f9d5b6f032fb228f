// The event loop: RunUserInterface and QuitUserInterface, ProcessSystemEvents
// in the program's wait loops (no spinning, no added latency), and
// ProcessDrawEvents, which repaints and calls nothing back.
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "panel_test_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// CPU time of the whole process, all threads.
double ProcessCpuSeconds() { return double(std::clock()) / CLOCKS_PER_SEC; }

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    using QObject::QObject;
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

class EventLoopTest : public QObject {
    Q_OBJECT

    int panel_ = 0;

private slots:
    void init() {
        support::InstallRecorders();
        panel_ = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel_ > 0);
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
        QCOMPARE(DisplayPanel(panel_), 0);
        QVERIFY(QTest::qWaitForWindowExposed(PanelWindow(panel_)));
    }

    void cleanup() { DiscardPanel(panel_); }

    void runsUntilQuit() {
        support::OnMenu() = [](const support::MenuCall&) { QuitUserInterface(7); };
        QTimer::singleShot(50, [this] { TriggerMenu(panel_, ids::MENUBAR_EXIT); });
        QCOMPARE(RunUserInterface(), 7);
        QCOMPARE(int(support::MenuCalls().size()), 1);
        // Without a loop to end, a quit changes nothing.
        QCOMPARE(QuitUserInterface(0), 0);
    }

    // EXIT chosen during an upload: the START callback, which processes events
    // in its waits, runs to its end before RunUserInterface returns.
    void quitInsideACallbackWaitsForItsEnd() {
        std::vector<QString> order;
        bool quitSeen = false;
        support::OnMenu() = [&](const support::MenuCall&) {
            order.push_back("quit");
            QuitUserInterface(0);
            quitSeen = true;
        };
        support::OnControl() = [&](const support::ControlCall& call) {
            if (call.control != ids::UPDATE_START) return;
            order.push_back("start");
            QTimer::singleShot(50, [this] { TriggerMenu(panel_, ids::MENUBAR_EXIT); });
            while (!quitSeen) ProcessSystemEvents();
            // The upload goes on with more waits after the quit.
            SetCtrlVal(panel_, ids::UPDATE_TX, 1);
            ResetTimer(panel_, ids::UPDATE_TXTIMER);
            SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 1);
            while (support::CallsOf(ids::UPDATE_TXTIMER) == 0) ProcessSystemEvents();
            SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 0);
            order.push_back("start ended");
        };
        QTimer::singleShot(20, [this] {
            QTest::mouseClick(ControlWidget(panel_, ids::UPDATE_START), Qt::LeftButton);
        });
        QCOMPARE(RunUserInterface(), 0);
        order.push_back("loop ended");
        QCOMPARE(order, (std::vector<QString>{"start", "quit", "start ended", "loop ended"}));
    }

    // A wait loop with nothing to wait for sleeps instead of burning a core.
    void spinningCallerDoesNotBurnTheCpu() {
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = Clock::now();
        long calls = 0;
        while (Clock::now() - start < 500ms) {
            ProcessSystemEvents();
            ++calls;
        }
        const double wall = Seconds(Clock::now() - start);
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        qInfo("%ld calls, %.0f ms CPU in %.0f ms", calls, cpu * 1000, wall * 1000);
        QVERIFY2(cpu < 0.3 * wall, "ProcessSystemEvents spins");
    }

    // A sleeping wait wakes as soon as its event comes: a tick of a timer
    // control, and an event posted from another thread.
    void sleepingWaitWakesOnEvents() {
        const support::ScopedTimeScale scale(0.025);  // Lan timer: 100 ms
        const auto armed = Clock::now();
        SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 1);
        while (support::CallsOf(ids::UPDATE_LANTIMER) == 0 && Clock::now() - armed < 10s)
            ProcessSystemEvents();
        const auto noticed = Clock::now();
        SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0);
        QCOMPARE(support::CallsOf(ids::UPDATE_LANTIMER), 1);
        QVERIFY(noticed - armed >= 100ms - 3ms);
        QVERIFY2(noticed - armed < 100ms + 150ms, "the tick came late");

        std::vector<double> latencies;
        for (int round = 0; round < 5; ++round) {
            bool delivered = false;
            Clock::time_point posted{};
            std::thread poster([&] {
                std::this_thread::sleep_for(40ms);
                posted = Clock::now();
                QMetaObject::invokeMethod(
                    qApp, [&delivered] { delivered = true; }, Qt::QueuedConnection);
            });
            const auto begin = Clock::now();
            while (!delivered && Clock::now() - begin < 10s) ProcessSystemEvents();
            const auto seen = Clock::now();
            poster.join();
            QVERIFY(delivered);
            latencies.push_back(Seconds(seen - posted) * 1000);
        }
        std::sort(latencies.begin(), latencies.end());
        qInfo("posted event seen after %.2f ms (median)", latencies[2]);
        QVERIFY2(latencies[2] < 30.0, "a posted event waits for the wake-up bound");
    }

    // A caller that works between its calls (sends, reads a field) is not
    // spinning: its calls never sleep, so they add no latency to its work.
    void callerWithWorkBetweenCallsIsNotDelayed() {
        std::vector<double> calls;
        for (int round = 0; round < 21; ++round) {
            const auto work = Clock::now();
            while (Clock::now() - work < 3ms) {
            }
            const auto call = Clock::now();
            ProcessSystemEvents();
            calls.push_back(Seconds(Clock::now() - call) * 1000);
        }
        std::sort(calls.begin(), calls.end());
        qInfo("a call between pieces of work: %.2f ms (median)", calls[10]);
        // A sleeping call would last about the wake-up bound, 15 ms.
        QVERIFY2(calls[10] < 7.0, "ProcessSystemEvents slept although the caller was not spinning");
    }

    void drawEventsRunNoCallbacks() {
        const support::ScopedTimeScale scale(0.001);  // Lan timer: 4 ms
        SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 1);
        bool queuedCallRan = false;
        QMetaObject::invokeMethod(
            qApp, [&queuedCallRan] { queuedCallRan = true; }, Qt::QueuedConnection);
        std::this_thread::sleep_for(30ms);  // the timer is due several times over
        QCOMPARE(ProcessDrawEvents(), 0);
        QCOMPARE(support::CallsOf(ids::UPDATE_LANTIMER), 0);
        QVERIFY(!queuedCallRan);
        // Both were due: the next event processing delivers them.
        for (int pass = 0;
             pass < 100 && !(queuedCallRan && support::CallsOf(ids::UPDATE_LANTIMER) > 0); ++pass)
            ProcessSystemEvents();
        QVERIFY(support::CallsOf(ids::UPDATE_LANTIMER) > 0);
        QVERIFY(queuedCallRan);
        SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0);
    }

    // A changed value shows at once, before the program returns to its loop.
    void drawEventsRepaint() {
        QWidget* led = ControlWidget(panel_, ids::UPDATE_TX);
        PaintCounter counter;
        led->installEventFilter(&counter);
        QCoreApplication::processEvents();
        counter.paints = 0;
        SetCtrlVal(panel_, ids::UPDATE_TX, 1);
        QCOMPARE(counter.paints, 0);
        QCOMPARE(ProcessDrawEvents(), 0);
        QVERIFY(counter.paints > 0);
        led->removeEventFilter(&counter);
    }
};

QTEST_MAIN(EventLoopTest)
#include "event_loop_test.moc"
