// Stop signals become calls of the program's handler from event processing,
// never from the signal handler itself, and none is lost while a step blocks.
#include <QtTest>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime.h"

using namespace runtime;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<int> g_handled;  // signal numbers, in the order handled
std::thread::id g_handled_on;

}  // namespace

class StopSignalsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        SetStopSignalHandler([](int signalNumber) {
            g_handled.push_back(signalNumber);
            g_handled_on = std::this_thread::get_id();
        });
    }

    // Signals sent while a step blocks are counted at once, so that the step
    // can see that a stop was asked, and handled, every one, once events are
    // processed again on this thread.
    void deliveredAfterBlockingStep_data() {
        QTest::addColumn<bool>("onWorker");
        QTest::newRow("pause") << false;
        QTest::newRow("worker call") << true;
    }
    void deliveredAfterBlockingStep() {
        QFETCH(bool, onWorker);
        g_handled.clear();
        const int counted = StopSignalCount();
        std::atomic<int> seen_in_step{0};
        auto step = [&] {
            for (const int number : {SIGTERM, SIGHUP, SIGINT}) ::kill(::getpid(), number);
            // The process may take a moment to deliver what it sent itself.
            const auto give_up = Clock::now() + std::chrono::seconds(10);
            while (StopSignalCount() < counted + 3 && Clock::now() < give_up) std::this_thread::yield();
            seen_in_step = StopSignalCount() - counted;
            Delay(0.2);
        };
        onWorker ? WhilePainting(step) : step();
        QCOMPARE(seen_in_step.load(), 3);
        QVERIFY(g_handled.empty());
        const auto give_up = Clock::now() + std::chrono::seconds(10);
        while (g_handled.size() < 3 && Clock::now() < give_up) ProcessSystemEvents();
        std::ranges::sort(g_handled);
        QCOMPARE(g_handled, (std::vector<int>{SIGHUP, SIGINT, SIGTERM}));
        QCOMPARE(g_handled_on, std::this_thread::get_id());
    }
};

QTEST_MAIN(StopSignalsTest)
#include "test_stop_signals.moc"
