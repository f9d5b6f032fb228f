// The window during a run: EXIT from the menu and the stop signals let the run
// reach its end, say so on the detail line, and end the event loop with 0
// after it. Ctrl-C after EXIT only warns while the unit is erased; the next
// one stops the process (a child process of this test, so it can end).
#include <QtTest>

#include <csignal>
#include <vector>

#include <unistd.h>

#include "run_observers.h"
#include "stop_requests.h"
#include "update_record.h"
#include "operator.h"

using namespace orvex::test;

namespace {

constexpr int kFirmwareRecords = 400;
constexpr double kScale = 0.05;
// Ends a loop that nothing else ended, so that a fault fails instead of hanging.
constexpr int kLoopGuard_ms = 120000;
constexpr int kGuardCode = 99;
constexpr const char* kChildOption = "--interrupted-run";

enum class Request { Menu, Terminate, HangUp, Interrupt };

// What the operator does while the unit is programmed, one request per step
// of progress from 30 % on.
struct Watch {
    std::vector<Request> requests;
    std::size_t done = 0;
    int next_percent = 30;
};
Watch g_watch;

void act(int percent) {
    if (g_watch.done >= g_watch.requests.size() || percent < g_watch.next_percent) return;
    g_watch.next_percent = percent + 10;
    switch (g_watch.requests[g_watch.done++]) {
        case Request::Menu:
            orvex::Exit_Program(0, ids::MENUBAR_EXIT, nullptr, orvex::update_handle);
            break;
        case Request::Terminate:
            ::kill(::getpid(), SIGTERM);
            break;
        case Request::HangUp:
            ::kill(::getpid(), SIGHUP);
            break;
        case Request::Interrupt:
            ::kill(::getpid(), SIGINT);
            break;
    }
}

// Starts one LAN run from the event loop, as START pressed in the window
// would, and returns the loop's exit code.
int run_window(Operator& op, const Unit& unit, const QString& firmware) {
    op.aim(unit, Bus::Lan, firmware);
    QTimer::singleShot(0, [&op] { op.start(); });
    QTimer::singleShot(kLoopGuard_ms, [] { runtime::QuitUserInterface(kGuardCode); });
    return runtime::RunUserInterface();
}

void watch_window(const std::vector<Request>& requests) {
    orvex::watch_update_runs();
    orvex::watch_stop_requests(orvex::StopMode::Window);
    g_watch = Watch{requests};
    orvex::add_run_observer({nullptr, nullptr, act});
}

// The child: EXIT, then Ctrl-C twice while the unit is programmed.
int interrupted_child(const QString& address, const QString& firmware, const QString& state_home) {
    watch_window({Request::Menu, Request::Interrupt, Request::Interrupt});
    Operator op;
    qputenv("XDG_STATE_HOME", state_home.toLocal8Bit());
    runtime::SetTimeScale(kScale);
    runtime::TriggerMenu(orvex::update_handle, ids::MENUBAR_BUSSELEC_LAN);
    set_text(ids::UPDATE_IPADDR, address);
    op.choose_file(firmware);
    QTimer::singleShot(0, [&op] { op.start(); });
    QTimer::singleShot(kLoopGuard_ms, [] { runtime::QuitUserInterface(kGuardCode); });
    return runtime::RunUserInterface();
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<Request>)

class WindowExitTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString firmware_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        firmware_ = Unit::make_hex(dir_.filePath("firmware.hex"), kFirmwareRecords);
        QVERIFY(!firmware_.isEmpty());
        watch_window({});
    }

    void runGoesOnThenTheLoopEnds_data() {
        QTest::addColumn<std::vector<Request>>("requests");
        QTest::addColumn<QString>("detail");
        const QString exiting = QStringLiteral("Exiting when this update has finished");
        const QString erased = QStringLiteral(
            "the unit is being programmed; stopping now leaves it erased and it needs another run. Send the "
            "signal again (Ctrl-C) to stop anyway.");
        QTest::newRow("EXIT menu") << std::vector{Request::Menu} << exiting;
        QTest::newRow("SIGTERM") << std::vector{Request::Terminate} << exiting;
        QTest::newRow("SIGHUP") << std::vector{Request::HangUp} << exiting;
        QTest::newRow("SIGINT") << std::vector{Request::Interrupt} << exiting;
        QTest::newRow("EXIT, then SIGINT") << std::vector{Request::Menu, Request::Interrupt} << erased;
        QTest::newRow("SIGTERM, then SIGTERM")
            << std::vector{Request::Terminate, Request::Terminate} << exiting;
    }
    void runGoesOnThenTheLoopEnds() {
        QFETCH(std::vector<Request>, requests);
        QFETCH(QString, detail);
        Unit unit(kScale);
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        g_watch = Watch{requests};
        Operator op;
        QCOMPARE(run_window(op, unit, firmware_), 0);
        QCOMPARE(g_watch.done, requests.size());
        QCOMPARE(op.detail(), detail);
        QCOMPARE(op.messages(), "OK TEST");
        QCOMPARE(op.last_record()["outcome"].toString(), "updated");
        QCOMPARE(op.last_record()["message"].toString(), "OK TEST");
        QVERIFY(unit.stop());
        QVERIFY(unit.expect_flash(firmware_));
    }

    void exitThenTwoInterruptsStop() {
        Unit unit(kScale);
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {kChildOption, unit.lan_address(), firmware_, dir_.filePath("state")});
        QVERIFY(child.waitForFinished(kLoopGuard_ms));
        const QByteArray err = child.readAllStandardError();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 130, err.constData());
        QVERIFY(err.contains("leaves it erased"));
        QFile record(dir_.filePath("state/orvex-uploader/updates.jsonl"));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = record.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(lines.first()).object()["outcome"].toString(), "interrupted");
        QVERIFY(unit.stop());
        QVERIFY(!unit.heard(Bus::Lan).contains("EXIT"));
    }
};

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], kChildOption) == 0)
        return interrupted_child(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                                 QString::fromLocal8Bit(argv[4]));
    WindowExitTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_window_exit.moc"
