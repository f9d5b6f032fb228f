// The window keeps painting while a step blocks (a long pause, a serial read
// that times out, a call on a worker thread), and no callback of the program
// runs meanwhile: a timer falling due and a menu choice made during the step
// run only after it has returned.
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "peer.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::pair<QByteArray, Clock::time_point>> g_calls;  // callback, when

int Record(const char* name) { return g_calls.emplace_back(name, Clock::now()), 0; }
int Count(const char* name) {
    return int(std::ranges::count_if(g_calls, [name](const auto& call) { return call.first == name; }));
}
int None(int, int, int, void*, int, int) { return 0; }
void NoMenu(int, int, void*, int) {}
// clang-format off
const ControlCallbackEntry kControls[] = {{"get_filename", None}, {"start_update", None}, {"OK_File", None},
    {"LanTimer", None}, {"ComTimer", None}, {"Generic_Timer", None},
    {"TX_TIMER", [](int, int, int, void*, int, int) { return Record("timer"); }}};
const MenuCallbackEntry kMenus[] = {{"BUS_232", [](int, int, void*, int) { Record("menu"); }},
    {"BUS_488", NoMenu}, {"BUS_LAN", NoMenu}, {"Exit_Program", NoMenu}};
// clang-format on

// The paints a window receives, waited for on the operator's thread.
class PaintCounter final : public QObject {
public:
    std::atomic<int> paints{0};
    std::vector<Clock::time_point> times;  // user-interface thread only

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) times.push_back(Clock::now()), paints.fetch_add(1);
        return QObject::eventFilter(watched, event);
    }
};

enum class Step { Pause, SerialTimeout, Worker };

}  // namespace

class PaintingTest : public QObject {
    Q_OBJECT

    int panel_ = 0;
    QTemporaryDir ports_;
    PaintCounter counter_;

private slots:
    void initTestCase() {
        qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
        SetCallbackTable(kControls, kMenus);
        panel_ = LoadPanel(0, "upload.panel", ids::UPDATE);
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
        QVERIFY(DisplayPanel(panel_) == 0 && QTest::qWaitForWindowExposed(PanelWindow(panel_)));
        PanelWindow(panel_)->installEventFilter(&counter_);
    }

    void paintsButRunsNothingDuringStep_data() {
        QTest::addColumn<Step>("step");
        QTest::newRow("2 s pause") << Step::Pause;
        QTest::newRow("serial read time-out, silent peer") << Step::SerialTimeout;
        QTest::newRow("1 s call on a worker") << Step::Worker;
    }
    void paintsButRunsNothingDuringStep() {
        QFETCH(Step, step);
        const auto peer = orvex::test::Peer::pty(ports_.path(), 3);
        QVERIFY(peer && OpenComConfig(3, "COM3", 38400, 0, 8, 1, 512, 512) == 0 && SetComTime(3, 1.0) == 0);
        g_calls.clear();
        QAction* serial = MenuAction(panel_, ids::MENUBAR_BUSSELEC_SERIAL);
        // Once the step is under way (the window is being painted) the operator
        // chooses a menu entry; the Transmit LED's timer falls due every 60 ms.
        std::atomic<bool> chosen{false}, over{false};
        std::thread operator_hand([&] {
            const int target = counter_.paints.load() + 2;
            const auto give_up = Clock::now() + 60s;
            while (counter_.paints.load() < target) {
                if (over.load() || Clock::now() > give_up) return;
                std::this_thread::yield();
            }
            QMetaObject::invokeMethod(serial, &QAction::trigger, Qt::QueuedConnection);
            chosen = true;
        });
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 1), 0);
        const int paints_before = counter_.paints.load();
        const auto begun = Clock::now();
        char line[16] = {};
        if (step == Step::Pause) {  // with the window drawn once more halfway through
            Delay(1.0);
            QCOMPARE(ProcessDrawEvents(), 0);
            Delay(1.0);
        }
        if (step == Step::SerialTimeout) QCOMPARE(ComRdTerm(3, line, sizeof line, '\n'), 0);
        if (step == Step::Worker) {
            WhilePainting([&chosen] {
                std::this_thread::sleep_for(1s);
                // Holds the step until the choice is queued, however slowly the machine runs.
                const auto give_up = Clock::now() + 60s;
                while (!chosen.load() && Clock::now() < give_up) std::this_thread::yield();
            });
        }
        const auto ended = Clock::now();
        over = true;
        operator_hand.join();
        QVERIFY(chosen.load());
        QVERIFY2(g_calls.empty(), g_calls.empty() ? "" : g_calls.front().first.constData());
        // Painted throughout: several times, and in the step's second half too.
        QVERIFY(counter_.paints.load() - paints_before >= 4);
        const auto half = begun + (ended - begun) / 2;
        QVERIFY(std::ranges::any_of(counter_.times, [&](auto t) { return t > half && t < ended; }));

        // Once the step is over, everything waiting gets its turn.
        const auto give_up = Clock::now() + 10s;
        while ((Count("menu") == 0 || Count("timer") == 0) && Clock::now() < give_up) ProcessSystemEvents();
        SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 0);
        CloseCom(3);
        QVERIFY(Count("menu") == 1 && Count("timer") >= 1);
        for (const auto& [name, at] : g_calls) QVERIFY(at >= ended);
    }

    // Short pauses pace an upload: they just sleep and paint nothing.
    void shortPauseDoesNotPaint() {
        ProcessDrawEvents();
        const int before = counter_.paints.load();
        Delay(0.03);
        QCOMPARE(counter_.paints.load(), before);
    }
};

QTEST_MAIN(PaintingTest)
#include "test_painting.moc"
