// The waits that pace every sequence: the Transmit LED, the TCP and serial
// reply waits and their timers, and the wrong-password message's timer.
#include <QtTest>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "program_fixture.h"
#include "display.h"
#include "lan_bus.h"
#include "rs232_bus.h"
#include "waits.h"

using namespace orvex;

namespace {

constexpr int kPort = 5;
constexpr double kScale = 0.05;  // the waits' timers at a twentieth of their interval
int scaled_ms(double seconds) { return qRound(seconds * kScale * 1000); }

// The far end of a serial port: a pseudo-terminal linked as COM5.
class PtyUnit {
public:
    explicit PtyUnit(const QTemporaryDir& dir) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const QString link = dir.filePath(QStringLiteral("COM5"));
        QFile::link(QString::fromLatin1(ptsname(master_)), link);
        qputenv("ORVEX_SERIAL_DIR", dir.path().toLocal8Bit());
    }
    ~PtyUnit() { close_end(); }
    PtyUnit(const PtyUnit&) = delete;
    PtyUnit& operator=(const PtyUnit&) = delete;

    bool ok() const { return master_ >= 0; }
    void send(const char* bytes) { QVERIFY(::write(master_, bytes, std::strlen(bytes)) > 0); }
    void close_end() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
};

}  // namespace

class WaitsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { runtime::SetTimeScale(1.0); }

    void tcpReplyAlreadyThere() {
        ProgramPanels panels;
        std::strcpy(exchange.rdbuffer, "1\r\n");
        bool events_processed = false;
        QTimer::singleShot(0, [&] { events_processed = true; });
        QCOMPARE(lan::get_tcpread(), 3);
        QVERIFY(!events_processed);
        QCOMPARE(attribute_of(ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED), 0);
        QCoreApplication::processEvents();
    }

    void timersOfThePanelAreTheBusTimings_data() {
        QTest::addColumn<int>("timer");
        QTest::addColumn<double>("interval_s");
        QTest::newRow("LAN reply") << int(ids::UPDATE_LANTIMER) << lan::kReplyWait_s;
        QTest::newRow("RS-232 acknowledgment") << int(ids::UPDATE_COMTIMER) << rs232::kAckWait_s;
        QTest::newRow("Transmit LED") << int(ids::UPDATE_TXTIMER) << kTransmitLed_s;
        QTest::newRow("wrong password") << int(ids::UPDATE_TIMER) << kPasswordMessage_s;
    }
    void timersOfThePanelAreTheBusTimings() {
        QFETCH(int, timer);
        QFETCH(double, interval_s);
        ProgramPanels panels;
        // A timer takes its interval from the panel when it is started.
        runtime::SetCtrlAttribute(update_handle, timer, runtime::ATTR_ENABLED, 1);
        QCOMPARE(runtime::TimerOf(update_handle, timer)->interval(), qRound(interval_s * 1000));
        runtime::SetCtrlAttribute(update_handle, timer, runtime::ATTR_ENABLED, 0);
    }

    void tcpReplyTimesOut() {
        ProgramPanels panels;
        runtime::SetTimeScale(kScale);
        clear(exchange.rdbuffer);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(lan::get_tcpread(), 0);
        QVERIFY(clock.elapsed() >= scaled_ms(lan::kReplyWait_s) - 10);
        QCOMPARE(attribute_of(ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED), 0);
    }

    void tcpReplyWithoutLineEndStillEndsTheWait() {
        ProgramPanels panels;
        runtime::SetTimeScale(kScale);
        clear(exchange.rdbuffer);
        QTimer::singleShot(20, [] { std::strcpy(exchange.rdbuffer, "PARTIAL"); });
        QCOMPARE(lan::get_tcpread(), 7);
    }

    void strayTickOnlyClearsTheFlag() {
        ProgramPanels panels;
        runtime::SetTimeScale(0.01);
        run.leavenow = 1;
        runtime::SetCtrlAttribute(update_handle, ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED, 1);
        QTRY_COMPARE_WITH_TIMEOUT(run.leavenow, 0, 10000);
        QCOMPARE(attribute_of(ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED), 0);
        // The next wait starts afresh.
        std::strcpy(exchange.rdbuffer, "x\n");
        QCOMPARE(lan::get_tcpread(), 2);
    }

    void serialByteEndsTheWait() {
        QTemporaryDir dir;
        PtyUnit unit(dir);
        QVERIFY(unit.ok());
        ProgramPanels panels;
        runtime::SetTimeScale(kScale);
        QCOMPARE(runtime::OpenComConfig(kPort, "COM5", rs232::kBaudRate, 0, 8, 1, 0, 0), 0);
        std::strcpy(exchange.rdbuffer, "-unchanged");
        unit.send("\x06");
        QCOMPARE(rs232::get_result_from_unit(kPort), 1);
        QCOMPARE(run.comresult, 1);
        QCOMPARE(exchange.rdbuffer[0], '\x06');
        QCOMPARE(exchange.rdbuffer + 1, "unchanged");
        QCOMPARE(attribute_of(ids::UPDATE_COMTIMER, runtime::ATTR_ENABLED), 0);

        // No byte: the wait ends at the first empty read after the Com timer.
        // Reads that time out far sooner than the timer show that it is the
        // timer, not the first empty read, that ends the wait.
        QCOMPARE(runtime::SetComTime(kPort, rs232::kAckWait_s / 25), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rs232::get_result_from_unit(kPort), 0);
        QVERIFY(clock.elapsed() >= scaled_ms(rs232::kAckWait_s) - 10);

        // A vanished unit is a port error, reported at once.
        unit.close_end();
        clock.restart();
        QVERIFY(rs232::get_result_from_unit(kPort) < 0);
        QVERIFY(clock.elapsed() < 5000);
        runtime::CloseCom(kPort);
    }

    void transmitLedRestartsItsInterval() {
        ProgramPanels panels;
        runtime::SetTimeScale(20.0);  // the 0.06 s LED interval lasts 1.2 s
        QElapsedTimer clock;
        clock.start();
        handle_tx_timer();
        QCOMPARE(value_of(ids::UPDATE_TX), 1);
        QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 600, 10000);
        QCOMPARE(value_of(ids::UPDATE_TX), 1);
        handle_tx_timer();
        const qint64 second_call = clock.elapsed();
        tx_indicator_wait();
        QCOMPARE(value_of(ids::UPDATE_TX), 0);
        QVERIFY(clock.elapsed() - second_call >= 1150);
        QCOMPARE(attribute_of(ids::UPDATE_TXTIMER, runtime::ATTR_ENABLED), 0);
        // With the LED out the wait is a single pass.
        clock.restart();
        tx_indicator_wait();
        QVERIFY(clock.elapsed() < 1000);
    }

    void wrongPasswordMessageHidesItself() {
        ProgramPanels panels;
        runtime::SetTimeScale(kScale);
        show_password_refused();
        QVERIFY(visible(ids::UPDATE_PASSMSG));
        QTRY_VERIFY_WITH_TIMEOUT(!visible(ids::UPDATE_PASSMSG), 10000);
        QCOMPARE(attribute_of(ids::UPDATE_TIMER, runtime::ATTR_ENABLED), 0);
    }
};

QTEST_MAIN(WaitsTest)
#include "test_waits.moc"
