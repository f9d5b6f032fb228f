// The window during a run: EXIT from the menu, SIGTERM and SIGHUP all let the
// run reach its end, say so in Messages, and end the event loop with 0 after it.
#include <QtTest>

#include <csignal>
#include <vector>

#include <unistd.h>

#include "run_observers.h"
#include "stop_requests.h"
#include "update_record.h"
#include "upload_fixture.h"

namespace {

constexpr int kFirmwareRecords = 400;
constexpr int kActAtPercent = 30;
constexpr double kScale = 0.05;
// Ends a loop that nothing else ended, so that a fault fails instead of hanging.
constexpr int kLoopGuard_ms = 120000;
constexpr int kGuardCode = 99;

enum class Request { Menu, Terminate, HangUp };

struct Watch {
    Request request = Request::Menu;
    bool acted = false;
    std::vector<QString> messages;
};
Watch g_watch;

void act_once(int percent) {
    if (g_watch.acted || percent < kActAtPercent) return;
    g_watch.acted = true;
    switch (g_watch.request) {
        case Request::Menu:
            orvex::Exit_Program(0, ids::MENUBAR_EXIT, nullptr, orvex::update_handle);
            break;
        case Request::Terminate:
            ::kill(::getpid(), SIGTERM);
            break;
        case Request::HangUp:
            ::kill(::getpid(), SIGHUP);
            break;
    }
}

void note_message(const char* text) { g_watch.messages.emplace_back(QString::fromLatin1(text)); }

}  // namespace

class WindowExitTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString firmware_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        firmware_ = e2e::make_hex(dir_, "firmware.hex", kFirmwareRecords);
        QVERIFY(!firmware_.isEmpty());
        e2e::set_time_scale(kScale);
        orvex::watch_update_runs();
        orvex::watch_stop_requests(orvex::StopMode::Window);
        QVERIFY(orvex::add_run_observer({nullptr, note_message, act_once}));
    }

    void runGoesOnThenTheLoopEnds_data() {
        QTest::addColumn<int>("request");
        QTest::newRow("EXIT menu") << int(Request::Menu);
        QTest::newRow("SIGTERM") << int(Request::Terminate);
        QTest::newRow("SIGHUP") << int(Request::HangUp);
    }
    void runGoesOnThenTheLoopEnds() {
        QFETCH(int, request);
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kScale));
        g_watch = Watch{static_cast<Request>(request), false, {}};
        e2e::Operator op;
        op.choose_bus(ids::MENUBAR_BUSSELEC_LAN);
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR,
                            sim.lanAddress().toLatin1().constData());
        op.choose_file(firmware_);

        QTimer::singleShot(0, [&op] { op.start(); });
        QTimer::singleShot(kLoopGuard_ms, [] { runtime::QuitUserInterface(kGuardCode); });
        const int code = runtime::RunUserInterface();

        QVERIFY(g_watch.acted);
        QCOMPARE(code, 0);
        QVERIFY(std::find(g_watch.messages.begin(), g_watch.messages.end(),
                          QString::fromLatin1(orvex::kMsgExitAfterRun)) != g_watch.messages.end());
        op.expect_updated();
        QCOMPARE(orvex::last_update().outcome, orvex::Outcome::Updated);
        E2E_STOP(sim);
        E2E_FLASH_HOLDS(sim, firmware_);
    }
};

QTEST_MAIN(WindowExitTest)
#include "test_window_exit.moc"
