// Serial ports of the runtime against a real pseudo-terminal: what the far end
// sees and sends, time-outs, re-opening, flow control and a vanished far end.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <ctime>
#include <memory>
#include <string>

#include "pty_peer.h"
#include "runtime.h"
#include "serial_device.h"

using namespace runtime;

namespace {

constexpr int kPort = 3;
constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;
constexpr double kPromptly_s = 3.0;  // an upper bound that a loaded machine meets

int Open(int port = kPort, long baud = 38400, int dataBits = 8, int stopBits = 1) {
    const QByteArray name = QStringLiteral("COM%1").arg(port).toLatin1();
    return OpenComConfig(port, name.constData(), baud, 0, dataBits, stopBits, 0, 0);
}

std::string Got(const char* buffer, int count) {
    return count > 0 ? std::string(buffer, std::size_t(count)) : std::string();
}

double Seconds(const QElapsedTimer& timer) { return double(timer.nsecsElapsed()) / 1e9; }

double CpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

}  // namespace

class TestSerial : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(ports_.isValid());
        qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
    }
    void cleanup() {
        for (int port = 1; port <= kMaxComPort; ++port) CloseCom(port);
        SetTimeScale(1.0);
    }

    void resolvesPortNames();
    void configuresTheLineAndWrites();
    void readsToTerminatorCountOrTimeOut();
    void reopensClosedAndOpenPorts();
    void switchesXonXoffOnlyOnRequest();
    void reportsAVanishedFarEndPromptly();

private:
    QTemporaryDir ports_;
};

void TestSerial::resolvesPortNames() {
    QCOMPARE(detail::ComNumber("com12"), std::optional<int>(12));
    for (const char* bad : {"COM0", "COM33", "COM", "COM1x", "COM01", "LPT1"})
        QVERIFY2(!detail::ComNumber(bad), bad);
    QCOMPARE(detail::ComDevicePath(4), ports_.filePath("COM4"));

    // Without the variable: the technician's link, even a dangling one (an
    // unplugged adapter must not fall back to another line), else ttyS<n-1>.
    const QByteArray saved_home = qgetenv("HOME");
    QTemporaryDir home;
    const QString links = home.filePath(".config/orvex-uploader/ports");
    QVERIFY(QDir().mkpath(links));
    QVERIFY(QFile::link(home.filePath("unplugged"), links + "/COM4"));
    qunsetenv("ORVEX_SERIAL_DIR");
    qputenv("HOME", home.path().toLocal8Bit());
    const QString linked = detail::ComDevicePath(4);
    const QString built_in = detail::ComDevicePath(5);
    qputenv("HOME", saved_home);
    qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
    QCOMPARE(linked, links + "/COM4");
    QCOMPARE(built_in, QStringLiteral("/dev/ttyS4"));

    // Devices are opened (and locked) by their own name, pseudo-terminals by
    // the link, whose name no later line inherits.
    QVERIFY(QFile::link("/dev/null", ports_.filePath("COM7")));
    QCOMPARE(detail::DeviceToOpen(ports_.filePath("COM7")), QStringLiteral("/dev/null"));
    QFile::remove(ports_.filePath("COM7"));
    PtyPeer peer(ports_.path(), 8);
    QCOMPARE(detail::DeviceToOpen(ports_.filePath("COM8")), ports_.filePath("COM8"));
    QVERIFY(detail::DeviceToOpen(ports_.filePath("COM9")).isEmpty());
}

void TestSerial::configuresTheLineAndWrites() {
    QCOMPARE(Open(0), kErrPortNumber);
    QCOMPARE(Open(5), kErrPortOpen);  // no COM5: no device
    QCOMPARE(ComWrt(kPort, "x", 1), kErrPortNotOpen);
    PtyPeer peer(ports_.path(), kPort);
    QVERIFY(peer.ok());
    QCOMPARE(Open(kPort, 38400, 9), kErrPortParameter);
    QCOMPARE(Open(kPort, 38400, 7), kErrPortOpen);  // a pseudo-terminal has 8 bits only

    QCOMPARE(Open(kPort, 9600, 8, 2), 0);
    termios line = peer.Settings();
    QVERIFY(cfgetospeed(&line) == B9600 && (line.c_cflag & CSTOPB));
    QCOMPARE(Open(), 0);
    line = peer.Settings();
    QVERIFY(cfgetospeed(&line) == B38400 && (line.c_cflag & CSIZE) == CS8);
    QVERIFY(!(line.c_cflag & (PARENB | CSTOPB)) && !(line.c_lflag & (ICANON | ECHO)));
    QVERIFY(!(line.c_iflag & (IXON | IXOFF)));

    // Everything is out when a write returns, more than one chunk included.
    QCOMPARE(ComWrtByte(kPort, 0x10D), 1);  // only the low byte goes out
    QCOMPARE(ComWrt(kPort, "*IDN?\n", 6), 6);
    QCOMPARE(peer.Read(7), std::string("\r*IDN?\n"));
    const std::string record(3000, 'h');
    QCOMPARE(ComWrt(kPort, record.data(), int(record.size())), int(record.size()));
    QCOMPARE(peer.Read(record.size()), record);
}

void TestSerial::readsToTerminatorCountOrTimeOut() {
    PtyPeer peer(ports_.path(), kPort);
    QVERIFY(peer.ok());
    QCOMPARE(Open(), 0);
    QCOMPARE(SetComTime(kPort, 5.0), 0);
    char buffer[64];

    // The terminator is neither stored nor counted, no NUL is added, and what
    // follows waits for the next read, which takes it without waiting.
    std::memset(buffer, '#', sizeof buffer);
    QVERIFY(peer.Write("ONE\nABCDEFGH\nrest"));
    QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 3);
    QCOMPARE(Got(buffer, 4), std::string("ONE#"));
    QCOMPARE(ComRdTerm(kPort, buffer, 5, '\n'), 5);  // the maximum ends a read
    QCOMPARE(Got(buffer, 5), std::string("ABCDE"));
    QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 3);
    QCOMPARE(Got(buffer, 3), std::string("FGH"));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(ComRd(kPort, buffer, 4), 4);
    QCOMPARE(Got(buffer, 4), std::string("rest"));
    QVERIFY(Seconds(timer) < kPromptly_s);

    // A partial read returns what came; the time-out leaves no error behind.
    QCOMPARE(SetComTime(kPort, 0.3), 0);
    QVERIFY(peer.Write("xy"));
    timer.start();
    QCOMPARE(ComRd(kPort, buffer, 5), 2);
    QVERIFY(Seconds(timer) >= 0.29);
    QVERIFY(peer.Write("z"));
    QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 1);
    QCOMPARE(ComWrt(kPort, "w", 1), 1);
    QCOMPARE(peer.Read(1), std::string("w"));
    QVERIFY(peer.Write("Xjunk"));
    QCOMPARE(ComRd(kPort, buffer, 1), 1);
    QCOMPARE(FlushInQ(kPort), 0);  // drops what came and was not read
    QCOMPARE(ComRd(kPort, buffer, 4), 0);

    // Nothing comes: 0 after the default 10 s under the time scale, with no
    // event processed meanwhile.
    QCOMPARE(Open(), 0);
    SetTimeScale(0.1);
    bool event_ran = false;
    QTimer::singleShot(0, this, [&event_ran] { event_ran = true; });
    timer.start();
    QCOMPARE(ComRdTerm(kPort, buffer, 4, '\n'), 0);
    QVERIFY2(Seconds(timer) >= 0.99 && Seconds(timer) < 1.0 + kPromptly_s,
             qPrintable(QString::number(Seconds(timer))));
    QVERIFY(!event_ran);
    QCoreApplication::processEvents();
    QVERIFY(event_ran);
}

void TestSerial::reopensClosedAndOpenPorts() {
    PtyPeer peer(ports_.path(), kPort);
    QVERIFY(peer.ok());
    char buffer[16];
    // Nothing a close leaves (lock file, exclusive claim) refuses the next
    // open; opening an open port closes and re-opens it.
    for (int round = 0; round < 3; ++round) {
        QCOMPARE(Open(), 0);
        QCOMPARE(Open(), 0);
        QCOMPARE(ComWrt(kPort, "ping", 4), 4);
        QCOMPARE(peer.Read(4), std::string("ping"));
        QVERIFY(peer.Write("pong\n"));
        QCOMPARE(ComRdTerm(kPort, buffer, 16, '\n'), 4);
        QCOMPARE(CloseCom(kPort), 0);
    }
    QCOMPARE(CloseCom(kPort), kErrPortNotOpen);

    PtyPeer other(ports_.path(), kPort + 1);
    QVERIFY(other.ok());
    QCOMPARE(Open(kPort), 0);
    QCOMPARE(Open(kPort + 1), 0);
    QCOMPARE(ComWrt(kPort + 1, "B", 1), 1);
    QCOMPARE(ComWrt(kPort, "A", 1), 1);
    QCOMPARE(other.Read(1) + peer.Read(1), std::string("BA"));
}

void TestSerial::switchesXonXoffOnlyOnRequest() {
    PtyPeer peer(ports_.path(), kPort);
    QVERIFY(peer.ok());
    QCOMPARE(Open(), 0);
    char buffer[4];
    QVERIFY(peer.Write(std::string{kXoff}));  // without flow control, just a byte
    QCOMPARE(ComRd(kPort, buffer, 1), 1);
    QCOMPARE(buffer[0], kXoff);

    QCOMPARE(SetXMode(kPort, 1), 0);
    QVERIFY((peer.Settings().c_iflag & (IXON | IXOFF | IXANY)) == (IXON | IXOFF));
    // The line takes XOFF and holds our output until XON, whatever else comes;
    // the byte after XOFF shows that the line has seen it.
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

    QCOMPARE(SetXMode(kPort, 0), 0);
    QVERIFY(!(peer.Settings().c_iflag & (IXON | IXOFF)));
    QCOMPARE(SetXMode(kPort, 1), 0);
    QCOMPARE(Open(), 0);  // every open starts without flow control
    QVERIFY(!(peer.Settings().c_iflag & (IXON | IXOFF)));
}

void TestSerial::reportsAVanishedFarEndPromptly() {
    char buffer[4];
    // Gone while the program reads: an error at once, not a wait.
    auto peer = std::make_unique<PtyPeer>(ports_.path(), kPort);
    QVERIFY(peer->ok());
    QCOMPARE(Open(), 0);
    QCOMPARE(SetComTime(kPort, 30.0), 0);
    peer->CloseMaster();
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(ComRd(kPort, buffer, 1), kErrPortRead);
    QCOMPARE(ComRdTerm(kPort, buffer, 4, '\n'), kErrPortRead);
    QCOMPARE(ComWrt(kPort, "x", 1), kErrPortWrite);
    QVERIFY(Seconds(timer) < kPromptly_s);

    // Gone while the program processes events: the waits around the reads
    // must not spin on the line's endless error reports.
    peer.reset();  // its link goes with it
    peer = std::make_unique<PtyPeer>(ports_.path(), kPort);
    QCOMPARE(Open(), 0);  // the port left open is opened again
    peer->CloseMaster();
    constexpr int kWindow_ms = 500;
    const double cpu_before = CpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(kWindow_ms, &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu_used = CpuSeconds() - cpu_before;
    QVERIFY2(cpu_used < 0.2 * kWindow_ms / 1000.0, qPrintable(QString::number(cpu_used)));
    QCOMPARE(ComRd(kPort, buffer, 1), kErrPortRead);
    QCOMPARE(CloseCom(kPort), 0);
}

QTEST_MAIN(TestSerial)
#include "test_serial.moc"
