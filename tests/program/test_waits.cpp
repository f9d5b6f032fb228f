// The waits that pace every sequence: the Transmit LED, the TCP and serial
// reply waits and their timers, and the wrong-password message's timer.
#include <QtTest>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "program_fixture.h"
#include "upload.h"
#include "waits.h"

using namespace orvex;

namespace {

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
        std::strcpy(rdbuffer, "1\r\n");
        bool events_processed = false;
        QTimer::singleShot(0, [&] { events_processed = true; });
        QCOMPARE(get_tcpread(), 3);
        QVERIFY(!events_processed);
        QCOMPARE(attribute_of(ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED), 0);
        QCoreApplication::processEvents();
    }

    void tcpReplyTimesOut() {
        ProgramPanels panels;
        runtime::SetTimeScale(0.05);  // the 4.0 s LAN timer ticks after 0.2 s
        clear(rdbuffer);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(get_tcpread(), 0);
        QVERIFY(clock.elapsed() >= 190);
        QCOMPARE(attribute_of(ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED), 0);
    }

    void tcpReplyWithoutLineEndStillEndsTheWait() {
        ProgramPanels panels;
        runtime::SetTimeScale(0.05);
        clear(rdbuffer);
        QTimer::singleShot(20, [] { std::strcpy(rdbuffer, "PARTIAL"); });
        QCOMPARE(get_tcpread(), 7);
    }

    void strayTickOnlyClearsTheFlag() {
        ProgramPanels panels;
        runtime::SetTimeScale(0.01);
        leavenow = 1;
        runtime::SetCtrlAttribute(update_handle, ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED, 1);
        QTRY_COMPARE_WITH_TIMEOUT(leavenow, 0, 10000);
        QCOMPARE(attribute_of(ids::UPDATE_LANTIMER, runtime::ATTR_ENABLED), 0);
        // The next wait starts afresh.
        std::strcpy(rdbuffer, "x\n");
        QCOMPARE(get_tcpread(), 2);
    }

    void serialByteEndsTheWait() {
        QTemporaryDir dir;
        PtyUnit unit(dir);
        QVERIFY(unit.ok());
        ProgramPanels panels;
        runtime::SetTimeScale(0.05);
        COMPort = 5;
        QCOMPARE(runtime::OpenComConfig(5, "COM5", 38400, 0, 8, 1, 0, 0), 0);
        std::strcpy(rdbuffer, "-unchanged");
        unit.send("\x06");
        QCOMPARE(get_result_from_unit(), 1);
        QCOMPARE(comresult, 1);
        QCOMPARE(rdbuffer[0], '\x06');
        QCOMPARE(rdbuffer + 1, "unchanged");
        QCOMPARE(attribute_of(ids::UPDATE_COMTIMER, runtime::ATTR_ENABLED), 0);

        // No byte: the wait ends at the first empty read after the Com timer.
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(get_result_from_unit(), 0);
        QVERIFY(clock.elapsed() >= 240);  // 5.0 s scaled

        // A vanished unit is a port error, reported at once.
        unit.close_end();
        clock.restart();
        QVERIFY(get_result_from_unit() < 0);
        QVERIFY(clock.elapsed() < 5000);
        runtime::CloseCom(5);
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
        runtime::SetTimeScale(0.05);
        show_password_refused();
        QVERIFY(visible(ids::UPDATE_PASSMSG));
        QTRY_VERIFY_WITH_TIMEOUT(!visible(ids::UPDATE_PASSMSG), 10000);
        QCOMPARE(attribute_of(ids::UPDATE_TIMER, runtime::ATTR_ENABLED), 0);
    }
};

QTEST_MAIN(WaitsTest)
#include "test_waits.moc"
