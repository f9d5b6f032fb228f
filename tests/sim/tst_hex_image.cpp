// The simulator's HEX handling in-process: what it accepts as a record, where
// the data lands, how an image compares with a file, and how received bytes
// become lines on each bus.
#include "intel_hex.h"
#include "line_assembler.h"
#include "tool_commands.h"
#include "unit_core.h"

#include <QTest>

using namespace orvex::sim;

namespace {

// A classic data record: 16 bytes at 0x0100.
const std::string kDataRecord = ":10010000214601360121470136007EFE09D2190140";

}  // namespace

class TestHexImage : public QObject {
    Q_OBJECT

private slots:
    void recordChecks_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("reason");  // empty: valid
        QTest::newRow("data") << QString::fromStdString(kDataRecord) << "";
        QTest::newRow("lower-case digits") << ":10010000214601360121470136007efe09d2190140"
                                           << "";
        QTest::newRow("end of file") << ":00000001FF"
                                     << "";
        QTest::newRow("start linear") << ":0400000500000000F7"
                                      << "";
        // The syntax is the file check's own (tests/hex); the unit adds its own limits.
        QTest::newRow("checksum") << ":10010000214601360121470136007EFE09D2190141"
                                  << "column 42: checksum 0x41 stored, 0x40 computed";
        QTest::newRow("type 03") << ":0400000300003800C1"
                                 << "unsupported record type 0x03";
        QTest::newRow("no record mark") << "10010000214601360121470136007EFE09D2190140"
                                        << "does not start with ':'";
    }
    void recordChecks() {
        QFETCH(QString, line);
        QFETCH(QString, reason);
        const ParsedRecord parsed = parseRecord(line.toStdString());
        QCOMPARE(parsed.record.has_value(), reason.isEmpty());
        QVERIFY2(QString::fromStdString(parsed.error).contains(reason), parsed.error.c_str());
    }

    void addressRecordsPlaceData() {
        const DecodedHex decoded = decodeHexText(
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
        QCOMPARE(decodeHexText(":00000001FF\n:0100100042AD\n").error,
                 std::string("line 2: after the end-of-file record"));
        QCOMPARE(decodeHexText(encodeHex(decoded.image)).image.firstDifference(decoded.image), std::nullopt);
    }

    void verifyComparesEveryByte_data() {
        QTest::addColumn<QString>("flash");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("same") << ":040000001122334452\n:00000001FF\n" << kExitMatch << "match: 4 bytes";
        QTest::newRow("one byte differs")
            << ":0400000011FF334475\n:00000001FF\n"
            << kExitMismatch << "at 0x00000001: flash holds 0xFF where the other holds 0x22";
        QTest::newRow("byte missing")
            << ":0300000011223397\n:00000001FF\n"
            << kExitMismatch << "at 0x00000003: flash holds nothing where the other holds 0x44";
        QTest::newRow("byte too many")
            << ":050000001122334455FC\n:00000001FF\n"
            << kExitMismatch << "at 0x00000004: flash holds 0x55 where the other holds nothing";
        QTest::newRow("flash unreadable")
            << ":0400000011223344FF\n"
            << kExitUsage << "flash image: line 1: column 18: checksum 0xFF stored";
    }
    void verifyComparesEveryByte() {
        QFETCH(QString, flash);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const VerifyOutcome outcome =
            verifyImage(flash.toStdString(), ":040000001122334452\r\n:00000001FF\r\n");
        QCOMPARE(outcome.exitCode, exitCode);
        QVERIFY2(QString::fromStdString(outcome.message).contains(message), outcome.message.c_str());
    }

    // The unit takes a line at its line feed: a file whose last record lacks
    // one leaves that record open, and the EXIT that follows it runs into it,
    // so the image is never completed. Such a file is refused before a run.
    void recordWithoutLineEndSwallowsExit() {
        UnitCore unit(UnitConfig{}, {});
        LineAssembler wire;
        const auto say = [&](std::string_view bytes) {
            std::string replies;
            for (const AssembledLine& line : wire.feed(bytes)) replies += unit.onLine({}, line).bytes;
            return replies;
        };
        QCOMPARE(say(":SYST:PASS:CEN MORVANTE\nDIAG:PRG\nERASE\n"), std::string("READY\r\n0\r\n"));
        QCOMPARE(say(":040000001122334452\r\n"), std::string("\x06"));
        QCOMPARE(say(":00000001FF"), std::string());
        QCOMPARE(say("EXIT\n*IDN?\n"), std::string("\x15ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n"));
        QCOMPARE(unit.journal().exits, 0);
        QVERIFY(!unit.journal().endOfFileSeen);
    }

    // An overlong line is cut at the limit and the rest of it dropped. On GPIB
    // the end of a message (EOI) takes a code test, but a record cut into pieces
    // waits for its line feed.
    void lineAssembly() {
        LineAssembler lines;
        const auto cut = lines.feed("EXIT\n" + std::string(LineAssembler::kMaxLineBytes + 10, 'x'));
        QVERIFY(cut.size() == 2 && cut[0].text == "EXIT\n" && cut[1].kind == AssembledLine::Kind::overlong);
        QVERIFY(lines.feed(std::string(100, 'y')).empty());
        const auto after = lines.feed("zz\n*RST\n");
        QVERIFY(after.size() == 1 && after[0].text == "*RST\n");
        QVERIFY(lines.feed("T" + std::string(62, 'a')).empty());
        const auto test = lines.endOfMessage();
        QVERIFY(test && test->kind == AssembledLine::Kind::messageEnd);
        const auto rest = lines.feed("bbb\r\n");
        QVERIFY(rest.size() == 1 && rest[0].kind == AssembledLine::Kind::continuation &&
                !lines.endOfMessage());
        QVERIFY(lines.feed(kDataRecord.substr(0, 30)).empty());
        QVERIFY(!lines.endOfMessage());
        const auto record = lines.feed(kDataRecord.substr(30) + "\r\n");
        QVERIFY(record.size() == 1 && record[0].kind == AssembledLine::Kind::whole);
        // A later piece of a long line that begins with the code-test mark is
        // answered on its own, as the uploader reads after it.
        QVERIFY(lines.feed("#" + std::string(62, 'c')).empty() && !lines.endOfMessage());
        QCOMPARE(lines.feed("tail\r\n").size(), std::size_t{1});
        const auto piece = lines.endOfMessage();
        QVERIFY(piece && piece->kind == AssembledLine::Kind::messageEnd && piece->text == "tail\r\n");
    }
};

QTEST_APPLESS_MAIN(TestHexImage)
#include "tst_hex_image.moc"
