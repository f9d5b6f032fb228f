// Serial ports of the runtime against a real pseudo-terminal: what the far end
// sees and sends, time-outs, re-opening, flow control, a vanished far end, and
// the causes a technician is told when a port cannot be used, the port list
// and the port ring's tooltips.
#include <QComboBox>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include <optional>

#include "peer.h"
#include "runtime.h"
#include "runtime_testing.h"

using namespace runtime;

namespace {

constexpr int kPort = 3;
constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;
constexpr qint64 kPromptly_ms = 3000;  // an upper bound that a loaded machine meets

int Open(int port = kPort) {
    return OpenComConfig(port, qPrintable(QStringLiteral("COM%1").arg(port)), 38400, 0, 8, 1, 0, 0);
}

QString Detail() {
    char text[256];
    GetFailureDetail(text);
    return QString::fromUtf8(text);
}

// A read-only kernel attribute: opening it for writing is refused even to
// root, which no file mode can do. Empty where this system answers otherwise.
QString PathRefusingRoot() {
    const char* path = "/sys/kernel/uevent_seqnum";
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return fd < 0 && error == EACCES ? QString(path) : QString();
}

enum class Obstacle { Nothing, DanglingLink, NoPermission, HeldByAnotherProgram };

}  // namespace

Q_DECLARE_METATYPE(Obstacle)

namespace {}  // namespace

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
        const auto peer = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer);
        QCOMPARE(Open(), 0);
        const termios line = peer->settings();
        QVERIFY(cfgetospeed(&line) == B38400 && (line.c_cflag & CSIZE) == CS8);
        QVERIFY(!(line.c_cflag & (PARENB | CSTOPB)) && !(line.c_lflag & (ICANON | ECHO)));
        // Everything is out when a write returns, more than one chunk included.
        QCOMPARE(ComWrtByte(kPort, 0x10D), 1);  // only the low byte goes out
        const std::string record(3000, 'h');
        QCOMPARE(ComWrt(kPort, record.data(), int(record.size())), int(record.size()));
        QCOMPARE(peer->read(record.size() + 1), "\r" + record);
    }

    void readsToTerminatorCountOrTimeOut() {
        const auto peer = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer);
        QCOMPARE(Open(), 0);
        QCOMPARE(SetComTime(kPort, 5.0), 0);
        // The terminator is neither stored nor counted, no NUL is added, and what
        // follows waits for the next read, which takes it without waiting.
        char buffer[64] = "####";
        QVERIFY(peer->send("ONE\nABCDEFGH\nrest"));
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
        QVERIFY(peer->send("xy"));
        timer.start();
        QCOMPARE(ComRd(kPort, buffer, 5), 2);
        QVERIFY(timer.elapsed() >= 290 && !eventRan);
        QCoreApplication::processEvents();
        QVERIFY(eventRan);
        QVERIFY(peer->send("z"));
        QCOMPARE(ComRdTerm(kPort, buffer, 64, '\n'), 1);
    }

    // Nothing a close leaves (lock file, exclusive claim) refuses the next
    // open; opening an open port closes and re-opens it.
    void reopensClosedAndOpenPorts() {
        const auto peer = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer);
        char buffer[16];
        for (int round = 0; round < 2; ++round) {
            QCOMPARE(Open(), 0);
            QCOMPARE(Open(), 0);
            QCOMPARE(ComWrt(kPort, "ping", 4), 4);
            QCOMPARE(peer->read(4), std::string("ping"));
            QVERIFY(peer->send("pong\n"));
            QCOMPARE(ComRdTerm(kPort, buffer, 16, '\n'), 4);
            QCOMPARE(CloseCom(kPort), 0);
        }
        QCOMPARE(CloseCom(kPort), kErrPortNotOpen);
    }

    void switchesXonXoffOnlyOnRequest() {
        const auto peer = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer);
        QCOMPARE(Open(), 0);
        char buffer[4];
        QVERIFY(peer->send(std::string{kXoff}));  // without flow control, just a byte
        QCOMPARE(ComRd(kPort, buffer, 1), 1);
        QCOMPARE(buffer[0], kXoff);

        QCOMPARE(SetXMode(kPort, 1), 0);
        QVERIFY((peer->settings().c_iflag & (IXON | IXOFF | IXANY)) == (IXON | IXOFF));
        // The line takes XOFF and holds our output until XON; the byte after
        // XOFF shows that the line has seen it.
        QVERIFY(peer->send(std::string{kXoff, 'Z'}));
        QCOMPARE(ComRd(kPort, buffer, 1), 1);
        QCOMPARE(buffer[0], 'Z');
        QCOMPARE(SetComTime(kPort, 0.3), 0);
        QCOMPARE(ComWrt(kPort, "held", 4), kErrPortWrite);
        QCOMPARE(peer->read(4, std::chrono::milliseconds(300)), std::string());
        QVERIFY(peer->send(std::string{kXon}));
        QCOMPARE(SetComTime(kPort, 5.0), 0);
        QCOMPARE(ComWrt(kPort, "!", 1), 1);  // queued bytes go first
        QCOMPARE(peer->read(5), std::string("held!"));

        QCOMPARE(Open(), 0);  // every open starts without flow control
        QVERIFY(!(peer->settings().c_iflag & (IXON | IXOFF)));
    }

    void explainsWhyAPortCannotBeOpened_data() {
        QTest::addColumn<Obstacle>("obstacle");
        QTest::addColumn<QString>("detail");  // %1: the device, %2: the ports directory
        QTest::newRow("nothing there") << Obstacle::Nothing << "no such port %2/COM3 (COM3)";
        QTest::newRow("adapter unplugged") << Obstacle::DanglingLink << "no such port %1 (COM3)";
        QTest::newRow("no permission")
            << Obstacle::NoPermission << "no permission to open %1: add the user to the dialout group";
        // Held as any program on Qt holds a port: lock file and exclusive claim
        // (root is not held back by the claim alone).
        QTest::newRow("held by another program")
            << Obstacle::HeldByAnotherProgram << "port %1 is busy (another program has it open)";
    }

    void explainsWhyAPortCannotBeOpened() {
        QFETCH(Obstacle, obstacle);
        QFETCH(QString, detail);
        const QString link = QDir(ports_.path()).filePath(QStringLiteral("COM%1").arg(kPort));
        const auto removeLink = qScopeGuard([&] { QFile::remove(link); });
        QString device;
        std::unique_ptr<orvex::test::Peer> peer;
        QSerialPort holder;
        switch (obstacle) {
            case Obstacle::Nothing:
                break;
            case Obstacle::DanglingLink:
                device = "/dev/ttyORVEXGONE0";
                QVERIFY(QFile::link(device, link));
                break;
            case Obstacle::NoPermission:
                device = PathRefusingRoot();
                if (device.isEmpty())
                    QSKIP("no path here refuses root; the mapping is shown by the other rows");
                QVERIFY(QFile::link(device, link));
                break;
            case Obstacle::HeldByAnotherProgram:
                peer = orvex::test::Peer::pty(ports_.path(), kPort);
                QVERIFY(peer);
                device = QFileInfo(link).symLinkTarget();
                holder.setPortName(link);
                QVERIFY(holder.open(QIODevice::ReadWrite));
                break;
        }
        ClearFailureDetail();
        QCOMPARE(Detail(), QString());
        QCOMPARE(Open(), kErrPortOpen);
        QCOMPARE(Detail(), detail.replace("%1", device).replace("%2", ports_.path()));
        ClearFailureDetail();
        QCOMPARE(Detail(), QString());
        if (holder.isOpen()) {  // released: the port opens
            holder.close();
            QCOMPARE(Open(), 0);
        }
    }

    // "COMn" shows the path it resolves to, cut to the buffer and always terminated.
    void showsTheDeviceOfAPort() {
        char path[512] = "#";
        QCOMPARE(ComPortDevice(kPort, path), 0);
        QCOMPARE(QString::fromLocal8Bit(path),
                 QDir(ports_.path()).filePath(QStringLiteral("COM%1").arg(kPort)));
        char tiny[4] = "###";
        QCOMPARE(ComPortDevice(kPort, tiny), kErrBufferTooSmall);
        QCOMPARE(std::strlen(tiny), std::size_t(3));
        QCOMPARE(ComPortDevice(0, path), kErrPortNumber);
        QCOMPARE(ComPortDevice(kMaxComPort + 1, path), kErrPortNumber);
    }

    // Every device the system knows gets a line; every COMn entry says where it leads.
    void listsDevicesAndLinks() {
        const auto peer = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer);
        const QString link = QDir(ports_.path()).filePath(QStringLiteral("COM%1").arg(kPort + 1));
        QVERIFY(QFile::link("/dev/ttyORVEXGONE0", link));
        const auto removeLink = qScopeGuard([&] { QFile::remove(link); });
        std::FILE* out = std::tmpfile();
        QVERIFY(out != nullptr);
        const int count = WriteSerialPortList(out);
        std::rewind(out);
        QStringList lines;
        char line[512];
        while (std::fgets(line, sizeof line, out) != nullptr) lines << QString::fromUtf8(line).trimmed();
        std::fclose(out);
        QCOMPARE(count, int(QSerialPortInfo::availablePorts().size()));
        const QString pty =
            QFileInfo(QDir(ports_.path()).filePath(QStringLiteral("COM%1").arg(kPort))).symLinkTarget();
        QVERIFY2(lines.contains(QStringLiteral("COM%1 -> %2").arg(kPort).arg(pty)),
                 qPrintable(lines.join('|')));
        QVERIFY2(lines.contains(QStringLiteral("COM%1 -> /dev/ttyORVEXGONE0 (missing)").arg(kPort + 1)),
                 qPrintable(lines.join('|')));
        const qsizetype deviceLines =
            lines.filter(QRegularExpression("  -> (COM\\d+|\\(no COMn\\))$")).size();
        QCOMPARE(deviceLines, qsizetype(count));
        QCOMPARE(WriteSerialPortList(nullptr), -1);
    }

    // What the kernel tells of an adapter: its driver, and the latency timer
    // where the driver has one.
    void adapterDetails_data() {
        QTest::addColumn<QString>("driver");    // the driver link's target; none when empty
        QTest::addColumn<QByteArray>("timer");  // latency_timer's content; no file when empty
        QTest::addColumn<QString>("details");
        QTest::newRow("FTDI adapter") << "../../../../bus/usb-serial/drivers/ftdi_sio" << QByteArray("16\n")
                                      << "driver ftdi_sio  latency timer 16 ms";
        QTest::newRow("low latency already") << "../../../../bus/usb-serial/drivers/ftdi_sio"
                                             << QByteArray("1\n") << "driver ftdi_sio  latency timer 1 ms";
        QTest::newRow("modem class") << "../../../../bus/usb/drivers/cdc_acm" << QByteArray()
                                     << "driver cdc_acm";
        QTest::newRow("unreadable timer")
            << "../../../../bus/usb-serial/drivers/pl2303" << QByteArray("x\n") << "driver pl2303";
        QTest::newRow("virtual terminal") << QString() << QByteArray() << QString();
    }
    void adapterDetails() {
        QFETCH(QString, driver);
        QFETCH(QByteArray, timer);
        QFETCH(QString, details);
        QTemporaryDir sys;
        const QString device = sys.filePath("class/tty/ttyUSB4/device");
        QVERIFY(QDir().mkpath(device));
        if (!driver.isEmpty()) QVERIFY(QFile::link(driver, device + "/driver"));
        if (!timer.isEmpty()) {
            QVERIFY(QDir().mkpath(sys.filePath("bus/usb-serial/devices/ttyUSB4")));
            QFile file(sys.filePath("bus/usb-serial/devices/ttyUSB4/latency_timer"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(timer) == timer.size());
        }
        QCOMPARE(AdapterDetails(sys.path(), "ttyUSB4"), details);
    }

    // Each opening asks the driver for low latency; a pseudo-terminal refuses,
    // and the line works as ever.
    void asksForLowLatencyAtEachOpening() {
        const auto peer = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(peer);
        const LowLatencyRequests before = LowLatencyRequestCount();
        for (int opening = 1; opening <= 3; ++opening) {
            QCOMPARE(Open(), 0);
            QCOMPARE(LowLatencyRequestCount().asked, before.asked + opening);
            QCOMPARE(LowLatencyRequestCount().granted, before.granted);
            QCOMPARE(ComWrt(kPort, "*IDN?\n", 6), 6);
            QCOMPARE(peer->read(6), std::string("*IDN?\n"));
            QVERIFY(peer->send("ORVEX\n"));
            char reply[16] = {};
            QCOMPARE(ComRdTerm(kPort, reply, sizeof reply - 1, '\n'), 5);
            QCOMPARE(QByteArray(reply), QByteArray("ORVEX"));
            const termios line = peer->settings();
            QVERIFY(cfgetospeed(&line) == B38400 && (line.c_cflag & CSIZE) == CS8);
        }
    }

    // The port ring explains each choice in the item's own tooltip; other
    // items, other controls and unknown values are left alone.
    void portItemsCarryTheirOwnTooltips() {
        const QByteArray panelFile = R"({ "format": "orvex-panel-1", "panels": [ { "name": "P",
            "resource": 1, "title": "T", "controls": [
              { "constant": "P_PORTS", "kind": "ring", "label": "Com Port",
                "items": [ ["COM1", 1], ["COM2", 2], ["COM3", 3] ], "value": 1 },
              { "constant": "P_NOTE", "kind": "textmsg", "label": "note" } ] } ] })";
        QTemporaryDir dir;
        QFile file(dir.filePath("ports.panel"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(panelFile) == panelFile.size());
        file.close();
        const int panel = LoadPanel(0, QFile::encodeName(file.fileName()).constData(), 1);
        QVERIFY(panel > 0);
        const auto discard = qScopeGuard([panel] { DiscardPanel(panel); });
        constexpr int kRing = 2;  // controls count from 2 in file order
        constexpr int kNote = 3;
        auto* ring = qobject_cast<QComboBox*>(ControlWidget(panel, kRing));
        QVERIFY(ring != nullptr);
        QCOMPARE(SetRingItemToolTip(panel, kRing, 2, "/dev/ttyUSB0  FTDI FT232R USB UART"), 0);
        QCOMPARE(ring->itemData(1, Qt::ToolTipRole).toString(),
                 QString("/dev/ttyUSB0  FTDI FT232R USB UART"));
        QVERIFY(ring->itemData(0, Qt::ToolTipRole).toString().isEmpty());
        QVERIFY(ring->itemData(2, Qt::ToolTipRole).toString().isEmpty());
        QCOMPARE(SetRingItemToolTip(panel, kRing, 2, nullptr), 0);
        QVERIFY(ring->itemData(1, Qt::ToolTipRole).toString().isEmpty());
        QCOMPARE(SetRingItemToolTip(panel, kRing, 9, "x"), kErrValueNotInList);
        QCOMPARE(SetRingItemToolTip(panel, kNote, 1, "x"), kErrTypeMismatch);
        QCOMPARE(SetRingItemToolTip(panel, 99, 1, "x"), kErrInvalidControl);
        QCOMPARE(SetRingItemToolTip(panel + 1000, kRing, 1, "x"), kErrInvalidPanel);
    }

    void reportsAVanishedFarEndPromptly() {
        char buffer[4];
        // Gone while the program reads: an error at once, not a wait.
        const auto first = orvex::test::Peer::pty(ports_.path(), kPort);
        QVERIFY(first);
        QCOMPARE(Open(), 0);
        QCOMPARE(SetComTime(kPort, 30.0), 0);
        first->close();
        QElapsedTimer timer;
        timer.start();
        ClearFailureDetail();
        QCOMPARE(ComRd(kPort, buffer, 1), kErrPortRead);
        QVERIFY2(Detail().startsWith(QStringLiteral("lost the line to /dev/pts/")), qPrintable(Detail()));
        QCOMPARE(ComRdTerm(kPort, buffer, 4, '\n'), kErrPortRead);
        QCOMPARE(ComWrt(kPort, "x", 1), kErrPortWrite);
        QVERIFY(timer.elapsed() < kPromptly_ms);

        // Gone while the program processes events: the waits around the reads
        // must not spin on the line's endless error reports.
        const auto second = orvex::test::Peer::pty(ports_.path(), kPort + 1);
        QVERIFY(second);
        QCOMPARE(Open(kPort + 1), 0);
        second->close();
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
