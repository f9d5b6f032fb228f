// The firmware file's check: every reason a file is refused, with the line,
// column and words the operator sees, the files that pass, and files read
// from disk: whole, or not at all.
#include "hex_check.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <tuple>

using orvex::hex::CheckResult;
using orvex::hex::Verdict;

Q_DECLARE_METATYPE(Verdict)

namespace {

// Data records of 0x5A bytes at 0x0100, with their checksums.
const QByteArray k16 = ":10010000" + QByteArray("5A").repeated(16) + "4F";  // 43 characters
const QByteArray k25 = ":19010000" + QByteArray("5A").repeated(25) + "1C";  // 61
const QByteArray k26 = ":1A010000" + QByteArray("5A").repeated(26) + "C1";  // 63
const QByteArray kData = ":040000001122334452";                             // 4 bytes at 0
const QByteArray kEnd = ":00000001FF";
const QByteArray kLinear = ":020000040800F2";
const QByteArray kGood = kData + "\r\n" + kEnd + "\r\n";
const QByteArray kTwo = kLinear + "\n" + kData + "\n";  // what comes before line 3

CheckResult check(const QByteArray& text, const char* name = "fw.hex") {
    return orvex::hex::check_text(name, text.constData(), static_cast<std::size_t>(text.size()));
}

}  // namespace

class TestHexCheck : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void accepted_data() {
        QTest::addColumn<QByteArray>("text");
        // clang-format off
        QTest::newRow("CRLF") << kGood;
        QTest::newRow("LF, blank lines, comments, code tests")
            << "; firmware V8.20\n\n" + kTwo + "TEST 1\ntest 2\n" + kEnd + "\n\n";
        QTest::newRow("lines of 63 bytes with their line end")
            << k25 + "\r\n" + k25 + "\n" + "T" + QByteArray(61, 'x') + "\n" + kEnd + "\r\n";
        QTest::newRow("lower-case digits, all record types") << kData.toLower() + "\n:020000021200EA\n"
            ":0400000300003800C1\n:0400000500000000F7\n" + kEnd + "\n";
        QTest::newRow("end record at another address, a comment after it") << kData + "\n:00123401B9\n; done\r\n";
        // Sent in pieces that no unit takes for a record or a code test.
        QTest::newRow("165-byte comment line") << "; " + QByteArray(161, '=') + "\r\n" + kGood;
        QTest::newRow("long comment, a piece begins with the line end") << "; " + QByteArray(61, '=') + "\r\n" + kGood;
        // clang-format on
    }
    void accepted() {
        QFETCH(QByteArray, text);
        const CheckResult result = check(text);
        QVERIFY2(result.verdict == Verdict::Accepted, result.detail);
        QCOMPARE(result.line, 0);
        QCOMPARE(result.detail[0], '\0');
    }

    void refused_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("summary");  // "": "HEX File Refused: line <line>"
        const QString pieces = "the line is longer than 63 bytes, and its piece that begins here with ";
        // clang-format off
        QTest::newRow("empty") << QByteArray() << 0 << 0 << "fw.hex is empty" << "HEX File Refused: empty file";
        QTest::newRow("NUL byte") << kData + "\n" + QByteArray("TEST\0 1\n", 8) + kEnd + "\n" << 2 << 5 << "a NUL byte: a HEX file is text" << "";
        QTest::newRow("record of 64 bytes") << kTwo + k26 + "\n" + kEnd + "\n" << 3 << 64 << "the line is 64 bytes long with its line end; one piece sent to the unit holds 63" << "";
        QTest::newRow("63 characters and CRLF") << kTwo + "T" + QByteArray(62, 'a') + "\r\n" + kEnd + "\n" << 3 << 64 << "the line is 65 bytes long with its line end; one piece sent to the unit holds 63" << "";
        QTest::newRow("long comment, last line") << kGood + "; " + QByteArray(70, '=') << 3 << 73 << "the last line has no line end" << "";
        QTest::newRow("long comment, second piece a record") << kGood + "; " + QByteArray(61, '=') + kData + "\n" << 3 << 64 << pieces + "\":\" would be taken for a record" << "";
        QTest::newRow("long comment, third piece a code test") << kGood + "; " + QByteArray(124, '=') + "test\n" << 3 << 127 << pieces + "\"t\" would be taken for a code test" << "";
        QTest::newRow("NUL in a long comment") << kGood + "; " + QByteArray(100, '=') + QByteArray(1, '\0') + "\n" << 3 << 103 << "a NUL byte: a HEX file is text" << "";
        QTest::newRow("not a hex digit") << kTwo + ":0400000011G23344 52\n" << 3 << 12 << "'G' is not a hex digit" << "";
        QTest::newRow("carriage return inside a record") << kTwo + ":04000000\r11223344 52\n" << 3 << 10 << "byte 0x0D is not a hex digit" << "";
        QTest::newRow("no byte count") << kTwo + ":\r\n" << 3 << 2 << "the record ends before its byte count" << "";
        QTest::newRow("data missing") << kTwo + ":0400000011223352\n" << 3 << 2 << "byte count 0x04 makes a record of 19 characters, this one has 17" << "";
        QTest::newRow("odd digit count") << kTwo + ":00000001F\n" << 3 << 2 << "byte count 0x00 makes a record of 11 characters, this one has 10" << "";
        QTest::newRow("checksum") << kTwo + ":040000001122334453\n" << 3 << 18 << "checksum 0x53 stored, 0x52 computed from the record's bytes" << "";
        QTest::newRow("record type 06") << kTwo + ":00000006FA\n" << 3 << 8 << "record type 0x06 is not one of 00 to 05" << "";
        QTest::newRow("end record with data") << kTwo + ":0100000100FE\n" << 3 << 2 << "a record of type 0x01 carries 0 data bytes, this one 1" << "";
        QTest::newRow("address record of 3 bytes") << kTwo + ":03000004000102F6\n" << 3 << 2 << "a record of type 0x04 carries 2 data bytes, this one 3" << "";
        QTest::newRow("record after the end") << kData + "\n" + kEnd + "\n\n" + kData + "\n" << 4 << 1 << "a record after the end-of-file record of line 2" << "";
        QTest::newRow("end record without line end") << kData + "\n" + kEnd << 2 << 12 << "the last line has no line end" << "";
        QTest::newRow("carriage return at the very end") << kGood + "\r" << 3 << 2 << "the last line has no line end" << "";
        QTest::newRow("no data record") << "; nothing\r\n" + kLinear + "\r\n" + kEnd + "\r\n" << 0 << 0 << "fw.hex holds no data record: there is nothing to program" << "HEX File Refused: no data record";
        QTest::newRow("data records without bytes") << ":0000000000\n" + kEnd + "\n" << 0 << 0 << "fw.hex holds no data record: there is nothing to program" << "HEX File Refused: no data record";
        QTest::newRow("no end record") << kTwo << 0 << 0 << "fw.hex has no end-of-file record (:00000001FF): it may be cut short" << "HEX File Refused: no end-of-file record";
        // clang-format on
    }
    void refused() {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        QFETCH(int, column);
        QFETCH(QString, detail);
        QFETCH(QString, summary);
        const CheckResult result = check(text);
        QCOMPARE(result.verdict, Verdict::Refused);
        QCOMPARE(
            QString(result.detail),
            line == 0 ? detail : QString("fw.hex line %1, column %2: %3").arg(line).arg(column).arg(detail));
        QCOMPARE(result.line, line);
        QCOMPARE(result.column, column);
        QCOMPARE(QString(result.summary),
                 summary.isEmpty() ? QString("HEX File Refused: line %1").arg(line) : summary);
    }

    // A file of many chunks is read whole.
    void fileReadWhole() {
        const QByteArray text = (k16 + "\r\n").repeated(2000) + kEnd + "\r\n";  // 90 KB
        QFile file(dir_.filePath("fw.hex"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        std::vector<char> bytes;
        const CheckResult result =
            orvex::hex::load_file(QFile::encodeName(file.fileName()).constData(), bytes);
        QVERIFY(result.verdict == Verdict::Accepted && result.wholeFileRead);
        QCOMPARE(QByteArray(bytes.data(), qsizetype(bytes.size())), text);
    }

    // Nothing of such a file may reach a unit: no bytes are kept.
    void filesThatCannotBeRead() {
        QVERIFY(QDir(dir_.path()).mkpath("folder.hex"));
        QFile huge(dir_.filePath("huge.hex"));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(16 * 1024 * 1024 + 1));
        huge.close();
        // clang-format off
        const std::tuple<const char*, Verdict, const char*, const char*> files[] = {
            {"absent.hex", Verdict::CannotOpen, "absent.hex cannot be opened: No such file or directory", "HEX File Cannot Be Opened"},
            {"folder.hex", Verdict::Refused, "folder.hex cannot be read to its end (stopped after 0 bytes: Is a directory)", "HEX File Refused: read error"},
            {"huge.hex", Verdict::Refused, "huge.hex is larger than 16 MiB: no firmware of this family is", "HEX File Refused: file too large"},
        };
        // clang-format on
        for (const auto& [name, verdict, detail, summary] : files) {
            std::vector<char> bytes(3, 'x');
            const CheckResult result =
                orvex::hex::load_file(QFile::encodeName(dir_.filePath(name)).constData(), bytes);
            QCOMPARE(result.verdict, verdict);
            QVERIFY2(QByteArray(result.detail).startsWith(detail), result.detail);
            QCOMPARE(QByteArray(result.summary), QByteArray(summary));
            QVERIFY(result.line == 0 && !result.wholeFileRead && bytes.empty());
        }
    }

    // A file name longer than the detail still leaves it terminated.
    void longNameStaysInItsBuffer() {
        const QByteArray name = QByteArray(300, 'n') + ".hex";
        const CheckResult result = check(kGood + "junk", name.constData());
        QCOMPARE(std::strlen(result.detail), sizeof result.detail - 1);
        QVERIFY(QByteArray(result.detail).startsWith(QByteArray(255, 'n')));
        QCOMPARE(QByteArray(result.summary), QByteArray("HEX File Refused: line 3"));
    }
};

QTEST_APPLESS_MAIN(TestHexCheck)
#include "test_hex_check.moc"
