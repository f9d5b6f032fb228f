// The waits that pace every sequence: the Transmit LED, the TCP and serial
// reply waits and their timers, the wrong-password message's timer, and the
// reply buffer that LAN replies are collected in.
#include <QtTest>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstring>

#include "display.h"
#include "lan_bus.h"
#include "operator.h"
#include "peer.h"
#include "rs232_bus.h"
#include "waits.h"

using namespace orvex;
using namespace orvex::test;

namespace {

constexpr int kPort = 5;
constexpr double kScale = 0.05;  // the waits' timers at a twentieth of their interval
int scaled_ms(double seconds) { return qRound(seconds * kScale * 1000); }

struct ProgramPanels : Operator {};

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

    void timersOfThePanel_data() {
        QTest::addColumn<int>("timer");
        QTest::addColumn<int>("interval_ms");
        QTest::newRow("LAN reply") << int(ids::UPDATE_LANTIMER) << 4000;
        QTest::newRow("RS-232 acknowledgment") << int(ids::UPDATE_COMTIMER) << 5000;
        QTest::newRow("Transmit LED") << int(ids::UPDATE_TXTIMER) << 60;
        QTest::newRow("wrong password") << int(ids::UPDATE_TIMER) << 4000;
    }
    void timersOfThePanel() {
        QFETCH(int, timer);
        QFETCH(int, interval_ms);
        ProgramPanels panels;
        // A timer takes its interval from the panel when it is started.
        runtime::SetCtrlAttribute(update_handle, timer, runtime::ATTR_ENABLED, 1);
        QCOMPARE(runtime::TimerOf(update_handle, timer)->interval(), interval_ms);
        runtime::SetCtrlAttribute(update_handle, timer, runtime::ATTR_ENABLED, 0);
    }

    void tcpReplyTimesOut() {
        ProgramPanels panels;
        runtime::SetTimeScale(kScale);
        clear(exchange.rdbuffer);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(lan::get_tcpread(), 0);
        QVERIFY(clock.elapsed() >= scaled_ms(4.0) - 10);
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
        Env env;
        env.set("ORVEX_SERIAL_DIR", dir.path());
        const auto unit = Peer::pty(dir.path(), kPort);
        QVERIFY(unit);
        ProgramPanels panels;
        runtime::SetTimeScale(kScale);
        QCOMPARE(runtime::OpenComConfig(kPort, "COM5", 38400, 0, 8, 1, 0, 0), 0);
        std::strcpy(exchange.rdbuffer, "-unchanged");
        QVERIFY(unit->send("\x06"));
        QCOMPARE(rs232::get_result_from_unit(kPort), 1);
        QCOMPARE(run.comresult, 1);
        QCOMPARE(exchange.rdbuffer[0], '\x06');
        QCOMPARE(exchange.rdbuffer + 1, "unchanged");
        QCOMPARE(attribute_of(ids::UPDATE_COMTIMER, runtime::ATTR_ENABLED), 0);

        // No byte: the wait ends at the first empty read after the Com timer.
        // Reads that time out far sooner than the timer show that it is the
        // timer, not the first empty read, that ends the wait.
        QCOMPARE(runtime::SetComTime(kPort, 0.2), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(rs232::get_result_from_unit(kPort), 0);
        QVERIFY(clock.elapsed() >= scaled_ms(5.0) - 10);

        // A vanished unit is a port error, reported at once.
        unit->close();
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

    // Blocks that do not fit a plain reply: the buffer stays a terminated
    // text within its 256 bytes, and a following block is added, not overwriting.
    void lanReplyBuffer_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");  // sent 5 ms later, if any
        QTest::addColumn<QByteArray>("expected");
        const QByteArray full(255, 'X');
        QTest::newRow("longer than the buffer") << QByteArray(300, 'X') << QByteArray() << full;
        QTest::newRow("zero byte") << QByteArray("AB\0CD", 5) << QByteArray() << QByteArray("AB");
        QTest::newRow("two segments")
            << QByteArray("ORVEX,ZRA") << QByteArray(" 12-34\r\n") << QByteArray("ORVEX,ZRA 12-34\r\n");
        QTest::newRow("full buffer, then more") << QByteArray(300, 'X') << QByteArray("Z\r\n") << full;
    }
    void lanReplyBuffer() {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QByteArray, expected);
        ProgramPanels panels;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        unsigned connection = 0;
        QCOMPARE(runtime::ConnectToTCPServer(&connection, listener.serverPort(), "127.0.0.1",
                                             lan::ClientCallback, nullptr, 5000),
                 0);
        QVERIFY(listener.waitForNewConnection(10000));
        QTcpSocket* unit = listener.nextPendingConnection();
        unit->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        clear(exchange.rdbuffer);
        unit->write(first);
        QVERIFY(unit->flush());
        if (!second.isEmpty()) QTimer::singleShot(5, unit, [&] { unit->write(second), unit->flush(); });
        QCOMPARE(lan::get_tcpread(), int(expected.size()));
        QCOMPARE(QByteArray(exchange.rdbuffer), expected);
        QCOMPARE(exchange.rdbuffer[255], '\0');
        runtime::DisconnectFromTCPServer(connection);
    }
};

QTEST_MAIN(WaitsTest)
#include "test_waits.moc"
