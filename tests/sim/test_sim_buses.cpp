// The simulator as a separate process on its three buses, driven by the plain
// clients of peer.h: whole uploads on serial and LAN, the serial port
// re-opened in the middle of programming, an RS-232 adapter that resets
// mid-run, the LAN lock, the GPIB rules of reads, time-outs and addresses,
// and the injected faults whose absence the uploader's fault table would not
// notice (NUL bytes, acknowledgments without line end, links that reset or
// vanish). What the simulator says is written out here, not taken from its
// tables; its GPIB socket protocol is encoded by hand, so that a mistake in
// its own encoder cannot hide behind the same mistake here.
#include "fixture.h"
#include "peer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

namespace QTest {
template <>
inline char* toString(const std::string& text) {
    return toPrettyCString(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace QTest

namespace orvex::test {

inline const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";
inline const std::string kLockRequest = "\x12\n";
inline const std::string kGranted = "<LOCK GRANTED>\r\n";

// The GPIB socket protocol.
// Request: op, address, flags (bit 0: EOI), 0, u32 length, payload.
// Answer: status ('K', 'N', 'T'), flags (bit 0: END), 0, 0, u32 length, data.
struct GpibAnswer {
    char status = 0;  // 0 when no answer came
    bool end = false;
    std::uint32_t length = 0;
    std::string data;
};

class GpibClient {
public:
    explicit GpibClient(const QString& socketPath) : wire_(Peer::unix_socket(socketPath)) {}
    bool connected() const { return wire_ != nullptr; }

    GpibAnswer write(int address, std::string_view data, bool eoi = true) {
        return request('W', address, eoi, static_cast<std::uint32_t>(data.size()), data) ? answer()
                                                                                         : GpibAnswer{};
    }
    GpibAnswer read(int address, std::uint32_t maximum, std::uint32_t timeoutMs) {
        return sendRead(address, maximum, timeoutMs) ? answer(true) : GpibAnswer{};
    }
    // The read's request only; its answer comes with answer(true).
    bool sendRead(int address, std::uint32_t maximum, std::uint32_t timeoutMs) {
        return request('R', address, 0, maximum, u32(timeoutMs));
    }
    // Only a read's 'K' carries data; a write's length counts accepted bytes.
    GpibAnswer answer(bool ofRead = false) {
        const std::string header = wire_->read(8, std::chrono::minutes(1));
        if (header.size() != 8) return {};
        GpibAnswer answer{header[0], (header[1] & 0x01) != 0, 0, {}};
        for (int i = 7; i >= 4; --i)
            answer.length = answer.length << 8 | static_cast<std::uint8_t>(header[i]);
        if (ofRead && answer.status == 'K') answer.data = wire_->read(answer.length);
        return answer;
    }
    bool answered() { return wire_->has_input(); }

private:
    static std::string u32(std::uint32_t value) {
        std::string out;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
        return out;
    }
    bool request(char op, int address, bool flag, std::uint32_t length, std::string_view payload) {
        return wire_->send(std::string{op, static_cast<char>(address), flag, 0} + u32(length) +
                           std::string(payload));
    }

    std::unique_ptr<Peer> wire_;
};

inline std::vector<std::string> fileLines(const QString& path) {
    QFile file(path);
    std::vector<std::string> lines;
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) lines.push_back(file.readLine().toStdString());
    }
    return lines;
}

}  // namespace orvex::test

using namespace orvex::test;

namespace {

const std::string kNewIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.20\r\n";
const std::string kEnterProgramming = ":SYST:PASS:CEN MORVANTE\n:syst:pass:stat?\nDIAG:PRG\nERASE\n";
const std::vector<std::string> kProgrammingReplies = {"1\r\n", "READY\r\n", "0\r\n"};
constexpr int kUnit = 6;  // the simulator's GPIB address
constexpr std::uint32_t kMaxRead = 255;

int accepted(const QJsonObject& record) { return record["records"].toObject()["accepted"].toInt(); }
int portCloses(const QJsonObject& record) { return record["serialPort"].toObject()["closes"].toInt(); }

QStringList lockEvents(const QJsonObject& record) {
    QStringList events;
    for (const auto& value : record["lan"].toObject()["lockEvents"].toArray())
        events << QString("%1:%2")
                      .arg(value.toObject()["connection"].toInt())
                      .arg(value.toObject()["event"].toString());
    return events;
}

}  // namespace

class TestSimBuses : public QObject {
    Q_OBJECT

    QTemporaryDir files_;

private slots:
    void initTestCase() { QVERIFY(files_.isValid()); }

    // A refused password, then a whole upload across a 64 KiB boundary in which
    // the port is closed right after bursts of lines, without waiting for their
    // acknowledgments, and opened again: no byte written before a close is lost.
    void serialUploadAcrossReopenedPort() {
        Unit sim(0.01);
        QVERIFY2(sim.start(), qPrintable(sim.error()));
        const QStringList shape = {"--test-lines", "2", "--base", "0x0800FC00"};
        const QString firmware = Unit::make_hex(files_.filePath("serial.hex"), 600, shape);
        auto port = Peer::device(sim.serial_path());
        QVERIFY(!firmware.isEmpty() && port);
        QVERIFY(port->send(
            "\r\n*RST\n*IDN?\n:SYST:PASS:CEN WRONG\n:syst:pass:stat?\nDIAG:PRG\n:0100100042AD\r\n"));
        for (const auto& reply : {kIdentity, std::string("0\r\n"), std::string("LOCKED\r\n")})
            QCOMPARE(port->read_line(), reply);
        QCOMPARE(port->read(1), std::string("\x15"));  // no record outside programming mode
        QVERIFY(port->send(kEnterProgramming));
        for (const auto& reply : kProgrammingReplies) QCOMPARE(port->read_line(), reply);

        const auto lines = fileLines(firmware);
        int records = 0, closes = 0;
        std::string burst;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool record = lines[i].front() == ':';
            records += record;
            if (i % 200 < 150) {
                QVERIFY(port->send(lines[i]));
                QCOMPARE(record ? port->read(1) : port->read_line(),
                         std::string(record ? "\x06" : "PASS\r\n"));
                continue;
            }
            burst += lines[i];
            if (i % 200 != 199) continue;
            QVERIFY(port->send(std::exchange(burst, {})));
            port.reset();
            ++closes;
            QVERIFY(sim.wait_for(
                [&](const QJsonObject& r) { return portCloses(r) == closes && accepted(r) == records; }));
            port = Peer::device(sim.serial_path());
            // Acknowledgments sent before the close may still wait in the port.
            QVERIFY(port && port->send("*IDN?\n"));
            QVERIFY(port->read_line().ends_with(kIdentity));
        }
        QVERIFY(port->send("EXIT\n*IDN?\n"));
        QCOMPARE(port->read_line(), kNewIdentity);
        port.reset();
        QVERIFY(sim.wait_for([](const QJsonObject& r) { return portCloses(r) == 4; }));
        QVERIFY2(sim.stop(), qPrintable(sim.error()));

        const QJsonObject record = sim.record();
        QCOMPARE(accepted(record), records);
        QCOMPARE(record["records"].toObject()["invalid"].toInt(), 1);
        // Every open and close is counted once, in order.
        const QJsonArray events = record["serialPort"].toObject()["events"].toArray();
        QCOMPARE(events.size(), 8);
        for (int i = 0; i < events.size(); ++i) {
            QCOMPARE(events[i].toObject()["event"].toString(), QString(i % 2 == 0 ? "open" : "close"));
            QCOMPARE(events[i].toObject()["programming"].toBool(), i >= 1 && i <= 6);
        }
        QString verdict;
        QVERIFY2(sim.expect_flash(firmware, &verdict), qPrintable(verdict));
        const QString other =
            Unit::make_hex(files_.filePath("other.hex"), 600, shape + QStringList{"--seed", "7"});
        QVERIFY(!sim.expect_flash(other, &verdict));
        QVERIFY2(verdict.contains("mismatch at 0x"), qPrintable(verdict));
    }

    // The RS-232 adapter resets after a record: the port in use hangs up, the
    // COM link names a new device once the adapter is back, and the unit,
    // reached there, goes on programming where it was.
    void serialAdapterResetMidRun() {
        constexpr int kResetAfter = 40;
        Unit sim(0.01);
        QVERIFY2(
            sim.start(QStringList{"--drop-after", QString::number(kResetAfter), "--serial-drop", "reset"}),
            qPrintable(sim.error()));
        const QString firmware = Unit::make_hex(files_.filePath("reset.hex"), 100);
        const QString firstDevice = QFileInfo(sim.serial_path()).symLinkTarget();
        auto port = Peer::device(sim.serial_path());
        QVERIFY(!firmware.isEmpty() && !firstDevice.isEmpty() && port);
        QVERIFY(port->send("*RST\n" + kEnterProgramming));
        for (const auto& reply : kProgrammingReplies) QCOMPARE(port->read_line(), reply);

        const auto lines = fileLines(firmware);
        for (int i = 0; i + 1 < kResetAfter; ++i) {
            QVERIFY(port->send(lines[i]));
            QCOMPARE(port->read(1), std::string("\x06"));
        }
        QVERIFY(port->send(lines[kResetAfter - 1]));
        QVERIFY(port->wait_for_hangup());  // its acknowledgment may be lost with the adapter
        port.reset();
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QFileInfo link(sim.serial_path());
                return link.symLinkTarget() != firstDevice && link.exists();
            },
            20000));

        port = Peer::device(sim.serial_path());
        QVERIFY(port && port->send("*IDN?\n"));
        QCOMPARE(port->read_line(), kIdentity);
        for (std::size_t i = kResetAfter; i < lines.size(); ++i) {
            QVERIFY(port->send(lines[i]));
            QCOMPARE(port->read(1), std::string("\x06"));
        }
        QVERIFY(port->send("EXIT\n*IDN?\n"));
        QCOMPARE(port->read_line(), kNewIdentity);
        port.reset();
        QVERIFY2(sim.stop(), qPrintable(sim.error()));

        const QJsonObject record = sim.record();
        QCOMPARE(record["serialPort"].toObject()["adapterResets"].toInt(), 1);
        QCOMPARE(accepted(record), 101);  // with the end-of-file record
        QString verdict;
        QVERIFY2(sim.expect_flash(firmware, &verdict), qPrintable(verdict));
    }

    // The lock belongs to one connection: a second is denied and not listened
    // to until the holder, who uploads a whole file meanwhile, disconnects.
    void lanLockAndWholeUpload() {
        Unit sim(0.01);
        QVERIFY2(sim.start(), qPrintable(sim.error()));
        const QString firmware = Unit::make_hex(files_.filePath("lan.hex"), 400, {"--test-lines", "1"});
        auto holder = Peer::tcp(sim.lan_address(), sim.lan_port());
        auto other = Peer::tcp(sim.lan_address(), sim.lan_port());
        QVERIFY(!firmware.isEmpty() && holder && other);
        QVERIFY(holder->send(kLockRequest));
        QCOMPARE(holder->read_line(), kGranted);
        QVERIFY(other->send(kLockRequest + "*IDN?\n"));
        QCOMPARE(other->read_line(), std::string("<DENIED LOCK>\r\n"));
        QVERIFY(holder->send("*RST\n*IDN?\n" + kEnterProgramming));
        QCOMPARE(holder->read_line(), kIdentity);
        for (const auto& reply : kProgrammingReplies) QCOMPARE(holder->read_line(), reply);
        for (const auto& line : fileLines(firmware)) {
            QVERIFY(holder->send(line));
            QCOMPARE(holder->read_line(), std::string(line.front() == ':' ? "OK\r\n" : "PASS\r\n"));
        }
        QVERIFY(holder->send("EXIT\n*IDN?\n"));
        QCOMPARE(holder->read_line(), kNewIdentity);
        holder.reset();
        QVERIFY(sim.wait_for([](const QJsonObject& r) { return lockEvents(r).contains("1:released"); }));
        // The next line is the grant: the "*IDN?" without the lock got no answer.
        QVERIFY(other->send(kLockRequest));
        QCOMPARE(other->read_line(), kGranted);
        other.reset();
        QVERIFY(sim.wait_for([](const QJsonObject& r) { return lockEvents(r).contains("2:released"); }));
        QVERIFY2(sim.stop(), qPrintable(sim.error()));

        const QJsonObject record = sim.record();
        QCOMPARE(lockEvents(record),
                 QStringList({"1:granted", "2:denied", "1:released", "2:granted", "2:released"}));
        QCOMPARE(accepted(record), 401);  // with the end-of-file record
        QString verdict;
        QVERIFY2(sim.expect_flash(firmware, &verdict), qPrintable(verdict));
    }

    // A LAN record is acknowledged with or without a line end, as asked; no
    // line end follows later either, so the next reply starts right after it.
    void lanRecordAcknowledgments_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("ack");
        QTest::addColumn<QString>("nak");
        QTest::newRow("with line end") << QStringList{} << "OK\r\n"
                                       << "ERR\r\n";
        QTest::newRow("without line end") << QStringList{"--ack-without-line-end"} << "OK"
                                          << "ERR";
    }
    void lanRecordAcknowledgments() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, ack);
        QFETCH(QString, nak);
        Unit sim(0.01);
        QVERIFY2(sim.start(simArgs), qPrintable(sim.error()));
        auto unit = Peer::tcp(sim.lan_address(), sim.lan_port());
        QVERIFY(unit && unit->send(kLockRequest + kEnterProgramming));
        QCOMPARE(unit->read_line(), kGranted);
        for (const auto& reply : kProgrammingReplies) QCOMPARE(unit->read_line(), reply);
        const std::string good = ":0100000042BD\r\n", bad = ":0100000042BE\r\n";  // checksum off by one
        for (const auto& [record, reply] : {std::pair{good, ack}, std::pair{bad, nak}}) {
            QVERIFY(unit->send(record));
            QCOMPARE(unit->read(std::size_t(reply.size())), reply.toStdString());
        }
        QVERIFY(unit->send("*IDN?\n"));
        QCOMPARE(unit->read_line(), kIdentity);
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
        QCOMPARE(accepted(sim.record()), 1);
    }

    // A read waits for the unit's reply and ends with END; it times out when
    // none comes, without holding up another controller meanwhile; an address
    // without the unit has no listener.
    void gpibReadsAndAddresses() {
        Unit sim(1.0);
        QVERIFY2(sim.start(), qPrintable(sim.error()));
        GpibClient first(sim.gpib_socket()), bus(sim.gpib_socket());
        QVERIFY(first.connected() && bus.connected());
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(first.sendRead(kUnit, kMaxRead, 5000));
        QCOMPARE(bus.write(kUnit + 1, "*IDN?\n").status, 'N');
        QCOMPARE(bus.read(kUnit + 1, kMaxRead, 5000).status, 'N');
        QVERIFY(!first.answered());
        QCOMPARE(first.answer(true).status, 'T');
        QVERIFY2(elapsed.elapsed() >= 4990, qPrintable(QString::number(elapsed.elapsed())));

        // A command in two writes, EOI only on the second, is one command; a read
        // shorter than the reply takes its first part without END.
        QCOMPARE(bus.write(kUnit, "*ID", false).length, 3u);
        QCOMPARE(bus.write(kUnit, "N?\n").status, 'K');
        const GpibAnswer head = bus.read(kUnit, 10, 3000);
        QVERIFY(head.status == 'K' && !head.end);
        QCOMPARE(head.data, kIdentity.substr(0, 10));
        const GpibAnswer rest = bus.read(kUnit, kMaxRead, 3000);
        QVERIFY(rest.status == 'K' && rest.end);
        QCOMPARE(rest.data, kIdentity.substr(10));
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
        const QJsonObject gpib = sim.record()["gpib"].toObject();
        QCOMPARE(gpib["noListener"].toInt(), 2);
        QCOMPARE(gpib["readTimeouts"].toInt(), 1);
    }

    // A NUL byte put into the identification where asked, the line end kept.
    void nulInReply_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray fields = QByteArray::fromStdString(kIdentity).chopped(2);
        QTest::newRow("before the line end")
            << QStringList{"--nul", "idn"} << fields + QByteArray("\0\r\n", 3);
        QTest::newRow("first") << QStringList{"--nul", "idn@0"} << QByteArray("\0", 1) + fields + "\r\n";
        QTest::newRow("after the maker")
            << QStringList{"--nul", "idn@5"} << fields.left(5) + QByteArray("\0", 1) + fields.mid(5) + "\r\n";
    }
    void nulInReply() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, reply);
        Unit sim(0.01);
        QVERIFY2(sim.start(args), qPrintable(sim.error()));
        auto port = Peer::device(sim.serial_path());
        QVERIFY(port && port->send("*IDN?\n*IDN?\n"));
        QCOMPARE(port->read_line(), reply.toStdString());
        QCOMPARE(port->read_line(), reply.toStdString());  // every reply of the kind
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
    }

    // The LAN link drops after a record: closed in order, or reset.
    void lanDrop_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("error");  // errno of the read that finds the link gone; 0: end of stream
        QTest::newRow("close") << QStringList() << 0;
        QTest::newRow("reset") << QStringList{"--lan-drop", "reset"} << int(ECONNRESET);
    }
    void lanDrop() {
        QFETCH(QStringList, args);
        QFETCH(int, error);
        Unit sim(0.01);
        QVERIFY2(sim.start(QStringList{"--drop-after", "1"} + args), qPrintable(sim.error()));
        const QString firmware = Unit::make_hex(files_.filePath("drop.hex"), 3);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto closer = qScopeGuard([fd] { ::close(fd); });
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(sim.lan_port());
        QCOMPARE(::inet_pton(AF_INET, sim.lan_address().toLatin1().constData(), &peer.sin_addr), 1);
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer), 0);
        const std::string run = kLockRequest + "*RST\n" + kEnterProgramming + fileLines(firmware).front();
        QCOMPARE(::send(fd, run.data(), run.size(), MSG_NOSIGNAL), ssize_t(run.size()));
        // The replies, then how the stream ends.
        ssize_t got = 0;
        char chunk[256];
        do {
            pollfd waiting{fd, POLLIN, 0};
            QVERIFY(::poll(&waiting, 1, int(kPeerLimit.count())) == 1);
            got = ::recv(fd, chunk, sizeof chunk, 0);
        } while (got > 0);
        QCOMPARE(got < 0 ? errno : 0, error);
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
    }

    // The GPIB link drops after a record: the unit stops listening, or the
    // board's socket goes away with every client on it.
    void gpibDrop_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<char>("status");  // of the next write; 0: no answer at all
        QTest::addColumn<bool>("socketLeft");
        QTest::newRow("silent") << QStringList() << 'N' << true;
        QTest::newRow("vanish") << QStringList{"--gpib-drop", "vanish"} << char(0) << false;
    }
    void gpibDrop() {
        QFETCH(QStringList, args);
        QFETCH(char, status);
        QFETCH(bool, socketLeft);
        Unit sim(0.01);
        QVERIFY2(sim.start(QStringList{"--drop-after", "1"} + args), qPrintable(sim.error()));
        const QString firmware = Unit::make_hex(files_.filePath("gpib-drop.hex"), 3);
        GpibClient bus(sim.gpib_socket());
        QVERIFY(bus.connected());
        for (const std::string command : {"*RST\n", ":SYST:PASS:CEN MORVANTE\n", "DIAG:PRG\n", "ERASE\n"})
            QCOMPARE(bus.write(kUnit, command).status, 'K');
        QCOMPARE(bus.write(kUnit, fileLines(firmware).front()).status, 'K');
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(sim.gpib_socket()) == socketLeft; }, 10000));
        QCOMPARE(bus.write(kUnit, fileLines(firmware)[1]).status, status);
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
    }
};

QTEST_GUILESS_MAIN(TestSimBuses)
#include "test_sim_buses.moc"
