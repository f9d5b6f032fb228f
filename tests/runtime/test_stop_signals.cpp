// Stop signals become calls of the program's handler from event processing:
// never from the signal handler itself, none lost while a step blocks, and
// with no window at all (the event loop of a batch run).
#include <QtTest>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime.h"

using namespace runtime;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<int> g_handled;  // signal numbers, in the order handled
std::thread::id g_handled_on;
bool g_quit_on_stop = false;

void OnStop(int signalNumber) {
    g_handled.push_back(signalNumber);
    g_handled_on = std::this_thread::get_id();
    if (g_quit_on_stop) QuitUserInterface(signalNumber);
}

void ProcessUntilHandled(std::size_t count) {
    const auto give_up = Clock::now() + 10s;
    while (g_handled.size() < count && Clock::now() < give_up) ProcessSystemEvents();
}

}  // namespace

class StopSignalsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { SetStopSignalHandler(OnStop); }
    void init() {
        ProcessSystemEvents();
        g_handled.clear();
        g_quit_on_stop = false;
    }

    void handledFromEventProcessing_data() {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void handledFromEventProcessing() {
        QFETCH(int, number);
        const int counted = StopSignalCount();
        QCOMPARE(::raise(number), 0);
        // Counted at once, handled only when events are processed.
        QCOMPARE(StopSignalCount(), counted + 1);
        QVERIFY(g_handled.empty());
        ProcessUntilHandled(1);
        QCOMPARE(g_handled, std::vector<int>{number});
        QCOMPARE(g_handled_on, std::this_thread::get_id());
    }

    // Signals sent while a step blocks wait for it, all of them, and the step
    // itself can see that a stop was asked.
    void deliveredAfterBlockingStep_data() {
        QTest::addColumn<bool>("onWorker");
        QTest::newRow("pause") << false;
        QTest::newRow("worker call") << true;
    }
    void deliveredAfterBlockingStep() {
        QFETCH(bool, onWorker);
        const int counted = StopSignalCount();
        std::atomic<int> seen_in_step{0};
        auto step = [&] {
            ::kill(::getpid(), SIGTERM);
            ::kill(::getpid(), SIGHUP);
            ::kill(::getpid(), SIGINT);
            // The process may take a moment to deliver what it sent itself.
            const auto give_up = Clock::now() + 10s;
            while (StopSignalCount() < counted + 3 && Clock::now() < give_up) std::this_thread::yield();
            seen_in_step = StopSignalCount() - counted;
            Delay(0.2);
        };
        if (onWorker)
            WhilePainting(step);
        else
            step();
        QCOMPARE(seen_in_step.load(), 3);
        QVERIFY(g_handled.empty());
        ProcessUntilHandled(3);
        std::vector<int> handled = g_handled;
        std::ranges::sort(handled);
        std::vector<int> expected{SIGTERM, SIGHUP, SIGINT};
        std::ranges::sort(expected);
        QCOMPARE(handled, expected);
    }

    // With no window shown, the handler ends the event loop that a batch run
    // waits in.
    void endsEventLoopWithoutWindow() {
        g_quit_on_stop = true;
        QVERIFY(QApplication::topLevelWidgets().isEmpty());
        std::thread sender([] { ::kill(::getpid(), SIGTERM); });
        const int code = RunUserInterface();
        sender.join();
        QCOMPARE(code, SIGTERM);
        QCOMPARE(g_handled, std::vector<int>{SIGTERM});
    }
};

QTEST_MAIN(StopSignalsTest)
#include "test_stop_signals.moc"
