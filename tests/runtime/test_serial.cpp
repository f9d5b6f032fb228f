// Serial ports of the runtime against a real pseudo-terminal: what the far end
// sees and sends, time-outs, re-opening, flow control and a vanished far end.
#include <QtTest>

#include <ctime>
#include <string>

#include "pty_peer.h"
#include "runtime.h"

using namespace runtime;

namespace {

constexpr int kPort = 3;
constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;
constexpr qint64 kPromptly_ms = 3000;  // an upper bound that a loaded machine meets

int Open(int port = kPort) {
    return OpenComConfig(port, qPrintable(QStringLiteral("COM%1").arg(port)), 38400, 0, 8, 1, 0, 0);
}

}  // namespace

class TestSerial : public QObject {
    Q_OBJECT

    QTemporaryDir ports_;

private slots:
    void initTestCase() {
        QVERIFY(ports_.isValid());
        qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
    }
    void cleanup() {
        for (int port = 1; port <= kMaxComPort; ++port) CloseCom(port);
    }

    void configuresTheLineAndWrites() {
        QCOMPARE(Open(5), kErrPortOpen);  // no COM5: no device
        PtyPeer peer(ports_.path(), kPort);
        QVERIFY(peer.ok());
        QCOMPARE(Open(), 0);
        const termios line = peer.Settings();
        QVERIFY(cfgetospeed(&line) == B38400 && (line.c_cflag & CSIZE) == CS8);
        QVERIFY(!(line.c_cflag & (PARENB | CSTOPB)) && !(line.c_lflag & (ICANON | ECHO)));
        // Everything is out when a write returns, more than one chunk included.
        QCOMPARE(ComWrtByte(kPort, 0x10D), 1);  // only the low byte goes out
        const std::string record(3000, 'h');
        QCOMPARE(ComWrt(kPort, record.data(), int(record.size())), int(record.size()));
        QCOMPARE(peer.Read(record.size() + 1), "\r" + record);
    }

    void readsToTerminatorCountOrTimeOut() {
        PtyPeer peer(ports_.path(), kPort);
        QVERIFY(peer.ok());
        QCOMPARE(Open(), 0);
        QCOMPARE(SetComTime(kPort, 5.0), 0);
        // The terminator is neither stored nor counted, no NUL is added, and what
        // follows waits for the next read, which takes it without waiting.
        char buffer[64] = "####";
        QVERIFY(peer.Write("ONE\nABCDEFGH\nrest"));
        QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 3);
        QCOMPARE(std::string(buffer, 4), "ONE#");
        QCOMPARE(ComRdTerm(kPort, buffer, 5, '\n'), 5);  // the maximum ends a read
        QCOMPARE(std::string(buffer, 5), "ABCDE");
        QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 3);
        QCOMPARE(std::string(buffer, 3), "FGH");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(ComRd(kPort, buffer, 4), 4);
        QCOMPARE(std::string(buffer, 4), "rest");
        QVERIFY(timer.elapsed() < kPromptly_ms);

        // A read returns what came by the time-out, which leaves no error
        // behind; no event is processed meanwhile.
        QCOMPARE(SetComTime(kPort, 0.3), 0);
        bool eventRan = false;
        QTimer::singleShot(0, this, [&eventRan] { eventRan = true; });
        QVERIFY(peer.Write("xy"));
        timer.start();
        QCOMPARE(ComRd(kPort, buffer, 5), 2);
        QVERIFY(timer.elapsed() >= 290 && !eventRan);
        QCoreApplication::processEvents();
        QVERIFY(eventRan);
        QVERIFY(peer.Write("z"));
        QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 1);
    }

    // Nothing a close leaves (lock file, exclusive claim) refuses the next
    // open; opening an open port closes and re-opens it.
    void reopensClosedAndOpenPorts() {
        PtyPeer peer(ports_.path(), kPort);
        QVERIFY(peer.ok());
        char buffer[16];
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(Open(), 0);
            QCOMPARE(Open(), 0);
            QCOMPARE(ComWrt(kPort, "ping", 4), 4);
            QCOMPARE(peer.Read(4), std::string("ping"));
            QVERIFY(peer.Write("pong\n"));
            QCOMPARE(ComRdTerm(kPort, buffer, 16, '\n'), 4);
            QCOMPARE(CloseCom(kPort), 0);
        }
        QCOMPARE(CloseCom(kPort), kErrPortNotOpen);
    }

    void switchesXonXoffOnlyOnRequest() {
        PtyPeer peer(ports_.path(), kPort);
        QVERIFY(peer.ok());
        QCOMPARE(Open(), 0);
        char buffer[4];
        QVERIFY(peer.Write(std::string{kXoff}));  // without flow control, just a byte
        QCOMPARE(ComRd(kPort, buffer, 1), 1);
        QCOMPARE(buffer[0], kXoff);

        QCOMPARE(SetXMode(kPort, 1), 0);
        QVERIFY((peer.Settings().c_iflag & (IXON | IXOFF | IXANY)) == (IXON | IXOFF));
        // The line takes XOFF and holds our output until XON; the byte after
        // XOFF shows that the line has seen it.
        QVERIFY(peer.Write(std::string{kXoff, 'Z'}));
        QCOMPARE(ComRd(kPort, buffer, 1), 1);
        QCOMPARE(buffer[0], 'Z');
        QCOMPARE(SetComTime(kPort, 0.3), 0);
        QCOMPARE(ComWrt(kPort, "held", 4), kErrPortWrite);
        QCOMPARE(peer.Read(4, 300), std::string());
        QVERIFY(peer.Write(std::string{kXon}));
        QCOMPARE(SetComTime(kPort, 5.0), 0);
        QCOMPARE(ComWrt(kPort, "!", 1), 1);  // queued bytes go first
        QCOMPARE(peer.Read(5), std::string("held!"));

        QCOMPARE(Open(), 0);  // every open starts without flow control
        QVERIFY(!(peer.Settings().c_iflag & (IXON | IXOFF)));
    }

    void reportsAVanishedFarEndPromptly() {
        char buffer[4];
        // Gone while the program reads: an error at once, not a wait.
        PtyPeer first(ports_.path(), kPort);
        QVERIFY(first.ok());
        QCOMPARE(Open(), 0);
        QCOMPARE(SetComTime(kPort, 30.0), 0);
        first.CloseMaster();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(ComRd(kPort, buffer, 1), kErrPortRead);
        QCOMPARE(ComRdTerm(kPort, buffer, 4, '\n'), kErrPortRead);
        QCOMPARE(ComWrt(kPort, "x", 1), kErrPortWrite);
        QVERIFY(timer.elapsed() < kPromptly_ms);

        // Gone while the program processes events: the waits around the reads
        // must not spin on the line's endless error reports.
        PtyPeer second(ports_.path(), kPort + 1);
        QVERIFY(second.ok());
        QCOMPARE(Open(kPort + 1), 0);
        second.CloseMaster();
        const std::clock_t cpuBefore = std::clock();
        QEventLoop loop;
        QTimer::singleShot(500, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        QVERIFY2(cpu < 0.1, qPrintable(QString::number(cpu)));
        QCOMPARE(ComRd(kPort + 1, buffer, 1), kErrPortRead);
    }
};

QTEST_MAIN(TestSerial)
#include "test_serial.moc"
