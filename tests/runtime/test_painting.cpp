// The window keeps painting while a step blocks (a long pause, a serial read
// that times out, a call on a worker thread), and no callback of the program
// runs meanwhile: a timer falling due, a click on START and a menu choice made
// during the step run only after it has returned.
#include <QMouseEvent>
#include <QPushButton>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
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

struct Call {
    const char* name;
    Clock::time_point at;
};
std::vector<Call> g_calls;

int Record(const char* name) {
    g_calls.push_back({name, Clock::now()});
    return 0;
}
// clang-format off
const ControlCallbackEntry kControls[] = {
    {"get_filename", [](int, int, int, void*, int, int) { return 0; }},
    {"start_update", [](int, int, int e, void*, int, int) { return e == EVENT_COMMIT ? Record("start") : 0; }},
    {"OK_File", [](int, int, int, void*, int, int) { return 0; }},
    {"LanTimer", [](int, int, int, void*, int, int) { return 0; }},
    {"ComTimer", [](int, int, int, void*, int, int) { return 0; }},
    {"Generic_Timer", [](int, int, int, void*, int, int) { return 0; }},
    {"TX_TIMER", [](int, int, int, void*, int, int) { return Record("timer"); }}};
const MenuCallbackEntry kMenus[] = {
    {"BUS_232", [](int, int, void*, int) { Record("menu"); }},
    {"BUS_488", [](int, int, void*, int) {}},
    {"BUS_LAN", [](int, int, void*, int) {}},
    {"Exit_Program", [](int, int, void*, int) {}}};
// clang-format on

int CountOf(const char* name) {
    int count = 0;
    for (const Call& call : g_calls) count += QByteArray(call.name) == name ? 1 : 0;
    return count;
}

// Counts the paints a window receives and when the latest came; read from the
// thread that clicks, so atomic.
class PaintCounter final : public QObject {
public:
    std::atomic<int> paints{0};
    std::vector<Clock::time_point> times;  // user-interface thread only

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            times.push_back(Clock::now());
            paints.fetch_add(1);
        }
        return QObject::eventFilter(watched, event);
    }
};

// Waits (on another thread) until the window has been painted `count` more
// times; false once the step is over or 60 s have passed.
bool WaitForPaints(const PaintCounter& counter, int count, const std::atomic<bool>& over) {
    const int target = counter.paints.load() + count;
    const auto give_up = Clock::now() + 60s;
    while (counter.paints.load() < target) {
        if (over.load() || Clock::now() > give_up) return false;
        std::this_thread::yield();
    }
    return true;
}

enum class Step { Pause, SerialTimeout, Worker };

}  // namespace

class PaintingTest : public QObject {
    Q_OBJECT

    int panel_ = 0;
    QTemporaryDir ports_;
    PaintCounter counter_;

private slots:
    void initTestCase() {
        QVERIFY(ports_.isValid());
        qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
        SetCallbackTable(kControls, kMenus);
        panel_ = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel_ > 0);
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
        QCOMPARE(DisplayPanel(panel_), 0);
        QVERIFY(QTest::qWaitForWindowExposed(PanelWindow(panel_)));
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
        QVERIFY(peer);
        QCOMPARE(OpenComConfig(3, "COM3", 38400, 0, 8, 1, 512, 512), 0);
        QCOMPARE(SetComTime(3, 1.0), 0);

        g_calls.clear();
        auto* start = qobject_cast<QPushButton*>(ControlWidget(panel_, ids::UPDATE_START));
        QAction* serial = MenuAction(panel_, ids::MENUBAR_BUSSELEC_SERIAL);
        QVERIFY(start != nullptr && start->isEnabled() && serial != nullptr);
        const QPointF centre = QRectF(start->rect()).center();
        auto press =
            std::make_unique<QMouseEvent>(QEvent::MouseButtonPress, centre, start->mapToGlobal(centre),
                                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        auto release =
            std::make_unique<QMouseEvent>(QEvent::MouseButtonRelease, centre, start->mapToGlobal(centre),
                                          Qt::LeftButton, Qt::NoButton, Qt::NoModifier);

        // The operator clicks and chooses a menu entry once the step is under
        // way (the window is being painted), and the Transmit LED's timer falls
        // due every 60 ms.
        std::atomic<bool> clicked{false};
        std::atomic<bool> over{false};
        std::thread operator_hand([&] {
            if (!WaitForPaints(counter_, 2, over)) return;
            QCoreApplication::postEvent(start, press.release());
            QCoreApplication::postEvent(start, release.release());
            QMetaObject::invokeMethod(serial, &QAction::trigger, Qt::QueuedConnection);
            clicked = true;
        });
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 1), 0);

        const int paints_before = counter_.paints.load();
        const auto begun = Clock::now();
        switch (step) {
            case Step::Pause:
                Delay(2.0);
                break;
            case Step::SerialTimeout: {
                char line[16] = {};
                QCOMPARE(ComRdTerm(3, line, sizeof line, '\n'), 0);
                break;
            }
            case Step::Worker:
                WhilePainting([&clicked] {
                    std::this_thread::sleep_for(1s);
                    // Holds the step until the clicks are queued, however
                    // slowly the machine runs.
                    const auto give_up = Clock::now() + 60s;
                    while (!clicked.load() && Clock::now() < give_up) std::this_thread::yield();
                });
                break;
        }
        const auto ended = Clock::now();
        over = true;
        operator_hand.join();
        const int paints = counter_.paints.load() - paints_before;

        QVERIFY(clicked.load());
        QVERIFY2(g_calls.empty(), g_calls.empty() ? "" : g_calls.front().name);
        // Painted throughout: several times, and in the step's second half too.
        QVERIFY2(paints >= 4, qPrintable(QString::number(paints)));
        const auto half = begun + (ended - begun) / 2;
        QVERIFY(std::ranges::any_of(counter_.times, [&](auto t) { return t > half && t < ended; }));

        // Once the step is over, everything waiting gets its turn.
        const auto give_up = Clock::now() + 10s;
        while ((CountOf("start") == 0 || CountOf("menu") == 0 || CountOf("timer") == 0) &&
               Clock::now() < give_up)
            ProcessSystemEvents();
        SetCtrlAttribute(panel_, ids::UPDATE_TXTIMER, ATTR_ENABLED, 0);
        CloseCom(3);
        QCOMPARE(CountOf("start"), 1);
        QCOMPARE(CountOf("menu"), 1);
        QVERIFY(CountOf("timer") >= 1);
        for (const Call& call : g_calls) QVERIFY(call.at >= ended);
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
