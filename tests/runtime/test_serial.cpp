// Serial ports of the runtime against a real pseudo-terminal: what the far end
// sees and sends, time-outs, flow control, a vanished far end, the port list.
#include <QtTest>

#include <cstdio>
#include <ctime>
#include <string>

#include "peer.h"
#include "runtime.h"
#include "runtime_testing.h"

using namespace runtime;

namespace {

constexpr int kPort = 3;
constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;

int Open(int port = kPort) {
    return OpenComConfig(port, qPrintable(QStringLiteral("COM%1").arg(port)), 38400, 0, 8, 1, 0, 0);
}

}  // namespace

class TestSerial : public QObject {
    Q_OBJECT

    QTemporaryDir ports_;
    std::unique_ptr<orvex::test::Peer> peer_;  // the far end of COM3

private slots:
    void initTestCase() { qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit()); }
    void init() {
        peer_ = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer_);
        QCOMPARE(Open(), 0);
    }
    void cleanup() {
        for (int port = 1; port <= kMaxComPort; ++port) CloseCom(port);
        peer_.reset();
    }

    void configuresTheLineAndWrites() {
        const termios line = peer_->settings();
        QVERIFY(cfgetospeed(&line) == B38400 && (line.c_cflag & CSIZE) == CS8);
        QVERIFY(!(line.c_cflag & (PARENB | CSTOPB)) && !(line.c_lflag & (ICANON | ECHO)));
        // Everything is out when a write returns, more than one chunk included.
        QCOMPARE(ComWrtByte(kPort, 0x10D), 1);  // only the low byte goes out
        const std::string record(3000, 'h');
        QCOMPARE(ComWrt(kPort, record.data(), int(record.size())), int(record.size()));
        QCOMPARE(peer_->read(record.size() + 1), "\r" + record);
        char tiny[4] = "###";  // where "COMn" leads, cut to the buffer and terminated
        QCOMPARE(ComPortDevice(kPort, tiny), kErrBufferTooSmall);
        QCOMPARE(QByteArray(tiny, 4), ports_.path().toLocal8Bit().left(3) + '\0');
    }

    void readsToTerminatorCountOrTimeOut() {
        QCOMPARE(SetComTime(kPort, 5.0), 0);
        // The terminator is neither stored nor counted, no NUL is added, and what
        // follows waits for the next read, which takes it without waiting.
        char buffer[64] = "####";
        QVERIFY(peer_->send("ONE\nABCDEFGH\nrest"));
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
        QVERIFY(timer.elapsed() < 3000);  // no wait: an upper bound that a loaded machine meets

        // A read returns what came by the time-out, which leaves no error
        // behind; no event is processed meanwhile.
        QCOMPARE(SetComTime(kPort, 0.3), 0);
        bool eventRan = false;
        QTimer::singleShot(0, this, [&eventRan] { eventRan = true; });
        QVERIFY(peer_->send("xy"));
        timer.start();
        QCOMPARE(ComRd(kPort, buffer, 5), 2);
        QVERIFY(timer.elapsed() >= 290 && !eventRan);
        QCoreApplication::processEvents();
        QVERIFY(eventRan);
        QVERIFY(peer_->send("z"));
        QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 1);
    }

    void switchesXonXoffOnlyOnRequest() {
        char buffer[4];
        QVERIFY(peer_->send(std::string{kXoff}));  // without flow control, just a byte
        QCOMPARE(ComRd(kPort, buffer, 1), 1);
        QCOMPARE(buffer[0], kXoff);

        QCOMPARE(SetXMode(kPort, 1), 0);
        QVERIFY((peer_->settings().c_iflag & (IXON | IXOFF | IXANY)) == (IXON | IXOFF));
        // The line takes XOFF and holds our output until XON; the byte after
        // XOFF shows that the line has seen it.
        QVERIFY(peer_->send(std::string{kXoff, 'Z'}));
        QCOMPARE(ComRd(kPort, buffer, 1), 1);
        QCOMPARE(buffer[0], 'Z');
        QCOMPARE(SetComTime(kPort, 0.3), 0);
        QCOMPARE(ComWrt(kPort, "held", 4), kErrPortWrite);
        QCOMPARE(peer_->read(4, std::chrono::milliseconds(300)), std::string());
        QVERIFY(peer_->send(std::string{kXon}));
        QCOMPARE(SetComTime(kPort, 5.0), 0);
        QCOMPARE(ComWrt(kPort, "!", 1), 1);  // queued bytes go first
        QCOMPARE(peer_->read(5), std::string("held!"));
    }

    // A line whose far end is gone while the program processes events: the
    // waits around the reads must not spin on its endless error reports.
    void vanishedFarEndLeavesNoSpin() {
        char buffer[4];
        peer_->close();
        const std::clock_t cpuBefore = std::clock();
        QEventLoop loop;
        QTimer::singleShot(500, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        QVERIFY2(cpu < 0.1, qPrintable(QString::number(cpu)));
        QCOMPARE(ComRd(kPort, buffer, 1), kErrPortRead);
    }

    // Every device gets a line, and every COMn link says where it leads.
    void listsDevicesAndLinks() {
        QVERIFY(QFile::link("/dev/ttyORVEXGONE0", ports_.filePath("COM4")));
        const auto removeLink = qScopeGuard([&] { QFile::remove(ports_.filePath("COM4")); });
        std::FILE* out = std::tmpfile();
        QVERIFY(out != nullptr);
        const int count = WriteSerialPortList(out);
        std::rewind(out);
        QStringList lines;
        for (char line[512]; std::fgets(line, sizeof line, out) != nullptr;)
            lines << QString::fromUtf8(line).trimmed();
        std::fclose(out);
        const QString pty = QFileInfo(ports_.filePath("COM3")).symLinkTarget();
        QVERIFY2(lines.contains("COM3 -> " + pty), qPrintable(lines.join('|')));
        QVERIFY2(lines.contains("COM4 -> /dev/ttyORVEXGONE0 (missing)"), qPrintable(lines.join('|')));
        QCOMPARE(lines.filter(QRegularExpression("  -> (COM\\d+|\\(no COMn\\))$")).size(), qsizetype(count));
        QCOMPARE(WriteSerialPortList(nullptr), -1);
    }

    // What the kernel tells of an adapter: its driver, and the latency timer
    // where the driver has one.
    void adapterDetails_data() {
        QTest::addColumn<QString>("driver");    // the driver link's target; none when empty
        QTest::addColumn<QByteArray>("timer");  // latency_timer's content; no file when empty
        QTest::addColumn<QString>("details");
        const QString ftdi = "../../../../bus/usb-serial/drivers/ftdi_sio";
        QTest::newRow("FTDI") << ftdi << QByteArray("16\n") << "driver ftdi_sio  latency timer 16 ms";
        QTest::newRow("modem class") << "../../../../bus/usb/drivers/cdc_acm" << QByteArray()
                                     << "driver cdc_acm";
        QTest::newRow("unreadable timer") << ftdi << QByteArray("x\n") << "driver ftdi_sio";
        QTest::newRow("virtual terminal") << QString() << QByteArray() << QString();
    }
    void adapterDetails() {
        QFETCH(QString, driver);
        QFETCH(QByteArray, timer);
        QFETCH(QString, details);
        QTemporaryDir sys;
        QVERIFY(QDir().mkpath(sys.filePath("class/tty/ttyUSB4/device")) &&
                QDir().mkpath(sys.filePath("bus/usb-serial/devices/ttyUSB4")));
        if (!driver.isEmpty()) QVERIFY(QFile::link(driver, sys.filePath("class/tty/ttyUSB4/device/driver")));
        QFile file(sys.filePath("bus/usb-serial/devices/ttyUSB4/latency_timer"));
        if (!timer.isEmpty()) QVERIFY(file.open(QIODevice::WriteOnly) && file.write(timer) == timer.size());
        file.close();
        QCOMPARE(AdapterDetails(sys.path(), "ttyUSB4"), details);
    }
};

QTEST_MAIN(TestSerial)
#include "test_serial.moc"
