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

// What the operator does while the unit is programmed, one request per step
// of progress from 30 %: a signal sent to this process, or 0 for EXIT.
struct Watch {
    std::vector<int> requests;
    std::size_t done = 0;
    int next_percent = 30;
};
Watch g_watch;

void act(int percent) {
    if (g_watch.done >= g_watch.requests.size() || percent < g_watch.next_percent) return;
    g_watch.next_percent = percent + 10;
    const int request = g_watch.requests[g_watch.done++];
    if (request == 0) orvex::Exit_Program(0, ids::MENUBAR_EXIT, nullptr, orvex::update_handle);
    if (request != 0) ::kill(::getpid(), request);
}

// Starts one LAN run from the event loop, as START pressed in the window
// would, and returns the loop's exit code.
int run_window(Operator& op) {
    QTimer::singleShot(0, [&op] { op.start(); });
    QTimer::singleShot(kLoopGuard_ms, [] { runtime::QuitUserInterface(kGuardCode); });
    return runtime::RunUserInterface();
}

void watch_window(const std::vector<int>& requests) {
    orvex::watch_update_runs();
    orvex::watch_stop_requests(orvex::StopMode::Window);
    g_watch = Watch{requests};
    orvex::add_run_observer({nullptr, nullptr, act});
}

// The child: EXIT, then Ctrl-C twice while the unit is programmed.
int interrupted_child(const QString& address, const QString& firmware, const QString& state_home) {
    watch_window({0, SIGINT, SIGINT});
    Operator op;
    qputenv("XDG_STATE_HOME", state_home.toLocal8Bit());
    runtime::SetTimeScale(kScale);
    runtime::TriggerMenu(orvex::update_handle, ids::MENUBAR_BUSSELEC_LAN);
    set_text(ids::UPDATE_IPADDR, address);
    op.choose_file(firmware);
    return run_window(op);
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<int>)

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
        QTest::addColumn<std::vector<int>>("requests");  // 0: EXIT from the menu
        QTest::addColumn<QString>("detail");
        const QString exiting = QStringLiteral("Exiting when this update has finished");
        const QString erased = QStringLiteral(
            "the unit is being programmed; stopping now leaves it erased and it needs another run. Send the "
            "signal again (Ctrl-C) to stop anyway.");
        QTest::newRow("EXIT menu") << std::vector{0} << exiting;
        QTest::newRow("SIGTERM") << std::vector{SIGTERM} << exiting;
        QTest::newRow("SIGHUP") << std::vector{SIGHUP} << exiting;
        QTest::newRow("SIGINT") << std::vector{SIGINT} << exiting;
        QTest::newRow("EXIT, then SIGINT") << std::vector{0, SIGINT} << erased;
        QTest::newRow("SIGTERM, then SIGTERM") << std::vector{SIGTERM, SIGTERM} << exiting;
    }
    void runGoesOnThenTheLoopEnds() {
        QFETCH(std::vector<int>, requests);
        QFETCH(QString, detail);
        Unit unit(kScale);
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        g_watch = Watch{requests};
        Operator op;
        op.aim(unit, Bus::Lan, firmware_);
        QCOMPARE(run_window(op), 0);
        QCOMPARE(g_watch.done, requests.size());
        QCOMPARE(op.detail(), detail);
        QCOMPARE(op.messages(), "OK TEST");
        QCOMPARE(op.last_record()["outcome"].toString(), "updated");
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
