// The simulator as the end-to-end tests rely on it: its flash verification
// (in-process), its acknowledgments, the flash image it writes, and the fault
// options the fault table cannot tell from their absence (a NUL before the line
// end, acknowledgments without line end, a LAN reset, an RS-232 adapter reset).
#include "fixture.h"
#include "intel_hex.h"
#include "line_assembler.h"
#include "peer.h"
#include "tool_commands.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace orvex::test;
using orvex::sim::AssembledLine;
using orvex::sim::decodeHexText;
using orvex::sim::LineAssembler;
using orvex::sim::verifyImage;

namespace {

const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";
const std::string kEnterProgramming = ":SYST:PASS:CEN MORVANTE\n:syst:pass:stat?\nDIAG:PRG\nERASE\n";
const std::string kGoodRecord = ":0100000042BD\r\n";

}  // namespace

class TestSim : public QObject {
    Q_OBJECT

    QTemporaryDir files_;

private slots:
    void addressRecordsPlaceData() {
        const auto decoded = decodeHexText(
            ":020000021200EA\r\n"  // segment 0x1200 -> base 0x12000
            ":02FFFF00AABB9B\r\n"  // wraps inside the segment: 0x21FFF, 0x12000
            ":020000040800F2\n"    // linear 0x0800 -> base 0x08000000
            "TEST 1\r\n"           // a code test: no flash data
            "\r\n"
            ":0100100042AD\r\n"
            ":00000001FF\r\n");
        QVERIFY2(decoded.error.empty(), decoded.error.c_str());
        QCOMPARE(decoded.image.programmedBytes(), std::size_t{3});
        QCOMPARE(decoded.image.read(0x21FFF), std::optional<std::uint8_t>(0xAA));
        QCOMPARE(decoded.image.read(0x12000), std::optional<std::uint8_t>(0xBB));
        QCOMPARE(decoded.image.read(0x08000010), std::optional<std::uint8_t>(0x42));
    }

    void verifyComparesEveryByte_data() {
        QTest::addColumn<QString>("flash");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        // clang-format off
        QTest::newRow("same") << ":040000001122334452\n:00000001FF\n" << 0 << "match: 4 bytes";
        QTest::newRow("one byte differs") << ":0400000011FF334475\n:00000001FF\n" << 1
            << "mismatch at 0x00000001: flash holds 0xFF where the other holds 0x22";
        QTest::newRow("byte missing") << ":0300000011223397\n:00000001FF\n" << 1
            << "mismatch at 0x00000003: flash holds nothing where the other holds 0x44";
        QTest::newRow("byte too many") << ":050000001122334455FC\n:00000001FF\n" << 1
            << "mismatch at 0x00000004: flash holds 0x55 where the other holds nothing";
        QTest::newRow("flash unreadable") << ":0400000011223344FF\n" << 2
            << "flash image: line 1: column 18: checksum 0xFF stored";
        // clang-format on
    }
    void verifyComparesEveryByte() {
        QFETCH(QString, flash);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const auto outcome = verifyImage(flash.toStdString(), ":040000001122334452\r\n:00000001FF\r\n");
        QCOMPARE(outcome.exitCode, exitCode);
        QVERIFY2(QString::fromStdString(outcome.message).startsWith(message), outcome.message.c_str());
    }

    // An overlong line (over 4096 bytes) is cut and the rest of it dropped. On
    // GPIB the end of a message (EOI) takes a code test, but a record cut into
    // pieces waits for its line feed.
    void lineAssembly() {
        LineAssembler lines;
        const auto cut = lines.feed("EXIT\n" + std::string(4106, 'x'));
        QVERIFY(cut.size() == 2 && cut[0].text == "EXIT\n" && cut[1].kind == AssembledLine::Kind::overlong);
        const auto after = lines.feed("zz\n*RST\n");
        QVERIFY(after.size() == 1 && after[0].text == "*RST\n");
        QVERIFY(lines.feed("T" + std::string(62, 'a')).empty());
        const auto test = lines.endOfMessage();
        QVERIFY(test && test->kind == AssembledLine::Kind::messageEnd);
        const auto rest = lines.feed("bbb\r\n");
        QVERIFY(rest.size() == 1 && rest[0].kind == AssembledLine::Kind::continuation &&
                !lines.endOfMessage());
        QVERIFY(lines.feed(kGoodRecord.substr(0, 7)).empty() && !lines.endOfMessage());
        const auto record = lines.feed(kGoodRecord.substr(7));
        QVERIFY(record.size() == 1 && record[0].kind == AssembledLine::Kind::whole);
    }

    // A record before programming mode, a good one, one with its checksum off
    // by one, then the identification.
    void acknowledgments_data() {
        QTest::addColumn<bool>("lan");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("replies");
        const QByteArray idn = QByteArray::fromStdString(kIdentity), granted = "<LOCK GRANTED>\r\n";
        const QByteArray programming = "1\r\nREADY\r\n0\r\n";
        // clang-format off
        QTest::newRow("RS-232") << false << QStringList{} << "\x15" + programming + "\x06\x15" + idn;
        QTest::newRow("RS-232, NUL before the line end") << false << QStringList{"--nul", "idn"}
            << "\x15" + programming + "\x06\x15" + idn.chopped(2) + QByteArray("\0\r\n", 3);
        QTest::newRow("LAN") << true << QStringList{} << granted + "ERR\r\n" + programming + "OK\r\nERR\r\n" + idn;
        QTest::newRow("LAN, without line end") << true << QStringList{"--ack-without-line-end"}
            << granted + "ERR" + programming + "OKERR" + idn;
        // clang-format on
    }
    void acknowledgments() {
        QFETCH(bool, lan);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, replies);
        Unit sim(0.01);
        QVERIFY2(sim.start(args), qPrintable(sim.error()));
        auto unit = lan ? Peer::tcp(sim.lan_address(), sim.lan_port()) : Peer::device(sim.serial_path());
        QVERIFY(unit && unit->send((lan ? "\x12\n" : "") + kGoodRecord + kEnterProgramming + kGoodRecord +
                                   ":0100000042BE\r\n*IDN?\n"));
        QCOMPARE(QByteArray::fromStdString(unit->read(std::size_t(replies.size()))), replies);
        QVERIFY(!unit->has_input());
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
    }

    // The flash image written at EXIT holds the file, and only it, as the
    // verify command's exit code says.
    void flashHoldsTheFile() {
        Unit sim(0.01);
        const QStringList shape = {"--base", "0x0800FF80"};  // across a 64 KiB boundary
        const QString file = Unit::make_hex(files_.filePath("a.hex"), 20, shape);
        const QString other =
            Unit::make_hex(files_.filePath("b.hex"), 20, shape + QStringList{"--seed", "7"});
        QFile hex(file);
        QVERIFY(sim.start() && !other.isEmpty() && hex.open(QIODevice::ReadOnly));
        auto port = Peer::device(sim.serial_path());
        QVERIFY(port && port->send(kEnterProgramming + hex.readAll().toStdString() + "EXIT\n*IDN?\n"));
        QVERIFY(QTest::qWaitFor([&] { return port->read_line().ends_with("V8.20\r\n"); }, 20000));
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
        QString verdict;
        QVERIFY2(sim.expect_flash(file, &verdict), qPrintable(verdict));
        QVERIFY(!sim.expect_flash(other, &verdict));
        QVERIFY2(verdict.contains("mismatch at 0x"), qPrintable(verdict));
    }

    // The LAN link drops after the first record: closed in order, or reset.
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
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto closer = qScopeGuard([fd] { ::close(fd); });
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(sim.lan_port());
        QCOMPARE(::inet_pton(AF_INET, sim.lan_address().toLatin1().constData(), &peer.sin_addr), 1);
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer), 0);
        const std::string run = "\x12\n" + kEnterProgramming + kGoodRecord;
        QCOMPARE(::send(fd, run.data(), run.size(), MSG_NOSIGNAL), ssize_t(run.size()));
        char chunk[256];
        ssize_t got = 1;  // the replies, then how the stream ends
        for (pollfd in{fd, POLLIN, 0}; got > 0 && ::poll(&in, 1, int(kPeerLimit.count())) == 1;)
            got = ::recv(fd, chunk, sizeof chunk, 0);
        QVERIFY(got <= 0);
        QCOMPARE(got < 0 ? errno : 0, error);
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
    }

    // The RS-232 adapter resets after the first record: the port in use hangs
    // up, and COM1 names a new device where the unit answers again.
    void serialAdapterReset() {
        Unit sim(0.01);
        QVERIFY2(sim.start({"--drop-after", "1", "--serial-drop", "reset"}), qPrintable(sim.error()));
        const QString first = QFileInfo(sim.serial_path()).symLinkTarget();
        auto port = Peer::device(sim.serial_path());
        QVERIFY(!first.isEmpty() && port && port->send(kEnterProgramming + kGoodRecord));
        QVERIFY(port->wait_for_hangup());
        const auto replaced = [&] {
            const QFileInfo link(sim.serial_path());
            return link.symLinkTarget() != first && link.exists();
        };
        QVERIFY(QTest::qWaitFor(replaced, 20000));
        port = Peer::device(sim.serial_path());
        QVERIFY(port && port->send("*IDN?\n"));
        QCOMPARE(port->read_line(), kIdentity);
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
        QCOMPARE(sim.record()["serialPort"].toObject()["adapterResets"].toInt(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
