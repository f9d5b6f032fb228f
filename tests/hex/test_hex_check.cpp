// The firmware file's check: every reason a file is refused, with the line,
// column and words the operator sees, the files that pass, and the same
// verdicts when the file is read from disk in chunks.
#include "hex_check.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using orvex::hex::CheckResult;
using orvex::hex::Verdict;

Q_DECLARE_METATYPE(Verdict)

namespace {

// A record with its checksum, written independently of the checker.
QByteArray record(int type, int offset, const QByteArray& data) {
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(offset >> 8));
    bytes.append(static_cast<char>(offset & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    unsigned sum = 0;
    for (const char c : bytes) sum += static_cast<unsigned char>(c);
    bytes.append(static_cast<char>((0x100 - (sum & 0xFF)) & 0xFF));
    return ":" + bytes.toHex().toUpper();
}

QByteArray data(int count) { return record(0x00, 0x0100, QByteArray(count, '\x5A')); }

const QByteArray kData = ":040000001122334452";  // 4 bytes at 0
const QByteArray kEnd = ":00000001FF";
const QByteArray kLinear = ":020000040800F2";
const QByteArray kGood = kData + "\r\n" + kEnd + "\r\n";

CheckResult check(const QByteArray& text) {
    return orvex::hex::check_text("fw.hex", text.constData(), static_cast<std::size_t>(text.size()));
}

void compareResults(const CheckResult& actual, const CheckResult& expected) {
    QCOMPARE(actual.verdict, expected.verdict);
    QCOMPARE(actual.line, expected.line);
    QCOMPARE(actual.column, expected.column);
    QCOMPARE(QByteArray(actual.detail), QByteArray(expected.detail));
    QCOMPARE(QByteArray(actual.summary), QByteArray(expected.summary));
}

}  // namespace

class TestHexCheck : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString write(const QString& name, const QByteArray& bytes) {
        QFile file(dir_.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return {};
        return file.fileName();
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void accepted_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("CRLF") << kGood;
        QTest::newRow("LF, blank lines, comments, code tests")
            << "; firmware V8.20\n\n" + kLinear + "\n" + kData + "\nTEST 1\ntest 2\n" + kEnd + "\n\n";
        QTest::newRow("lines of 63 bytes with their line end")
            << data(25) + "\r\n" + data(25) + "\n" + "T" + QByteArray(61, 'x') + "\n" + kEnd + "\r\n";
        QTest::newRow("lower-case digits, all record types")
            << kData.toLower() + "\n" + record(2, 0, QByteArray::fromHex("1200")) + "\n" +
                   record(3, 0, QByteArray::fromHex("00003800")) + "\n" +
                   record(5, 0, QByteArray::fromHex("00000000")) + "\n" + kEnd + "\n";
        QTest::newRow("end record at another address") << kData + "\n" + record(1, 0x1234, {}) + "\n";
        QTest::newRow("comment after the end") << kGood + "; done\r\n";
        // Sent in pieces that no unit takes for a record or a code test.
        QTest::newRow("165-byte comment line") << "; " + QByteArray(161, '=') + "\r\n" + kGood;
        QTest::newRow("long comment, a piece begins with the line end")
            << "; " + QByteArray(61, '=') + "\r\n" + kGood;
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
        QTest::addColumn<QString>("summary");
        const QString line3 = "HEX File Refused: line 3";

        QTest::newRow("empty") << QByteArray() << 0 << 0 << "fw.hex is empty"
                               << "HEX File Refused: empty file";
        QTest::newRow("NUL byte") << kData + "\n" + QByteArray("TEST\0 1\n", 8) + kEnd + "\n"
                                  << 2 << 5 << "fw.hex line 2, column 5: a NUL byte: a HEX file is text"
                                  << "HEX File Refused: line 2";
        QTest::newRow("record of 64 bytes")
            << kLinear + "\n" + kData + "\n" + data(26) + "\n" + kEnd + "\n"
            << 3 << 64
            << "fw.hex line 3, column 64: the line is 64 bytes long with its line end; one piece sent to the "
               "unit holds 63"
            << line3;
        QTest::newRow("63 characters and CRLF")
            << kLinear + "\n" + kData + "\r\nT" + QByteArray(62, 'a') + "\r\n" + kEnd + "\n"
            << 3 << 64
            << "fw.hex line 3, column 64: the line is 65 bytes long with its line end; one piece sent to the "
               "unit holds 63"
            << line3;
        QTest::newRow("long comment, last line")
            << kGood + "; " + QByteArray(70, '=') << 3 << 73
            << "fw.hex line 3, column 73: the last line has no line end" << line3;
        QTest::newRow("long comment, second piece a record")
            << kData + "\n" + kEnd + "\n; " + QByteArray(61, '=') + kData + "\n"
            << 3 << 64
            << "fw.hex line 3, column 64: the line is longer than 63 bytes, and its piece that begins here "
               "with \":\" would be taken for a record"
            << line3;
        QTest::newRow("long comment, third piece a code test")
            << kData + "\n" + kEnd + "\n; " + QByteArray(124, '=') + "test\n"
            << 3 << 127
            << "fw.hex line 3, column 127: the line is longer than 63 bytes, and its piece that begins here "
               "with \"t\" would be taken for a code test"
            << line3;
        QTest::newRow("NUL in a long comment")
            << kGood + "; " + QByteArray(100, '=') + QByteArray(1, '\0') + "\n"
            << 3 << 103 << "fw.hex line 3, column 103: a NUL byte: a HEX file is text" << line3;
        QTest::newRow("not a hex digit")
            << kLinear + "\n" + kData + "\n:0400000011G23344 52\n"
            << 3 << 12 << "fw.hex line 3, column 12: 'G' is not a hex digit" << line3;
        QTest::newRow("carriage return inside a record")
            << kLinear + "\n" + kData + "\n:04000000\r11223344 52\n"
            << 3 << 10 << "fw.hex line 3, column 10: byte 0x0D is not a hex digit" << line3;
        QTest::newRow("no byte count")
            << kLinear + "\n" + kData + "\n:\r\n"
            << 3 << 2 << "fw.hex line 3, column 2: the record ends before its byte count" << line3;
        QTest::newRow("data missing")
            << kLinear + "\n" + kData + "\n:0400000011223352\n"
            << 3 << 2
            << "fw.hex line 3, column 2: byte count 0x04 makes a record of 19 characters, this one has 17"
            << line3;
        QTest::newRow("odd digit count") << kLinear + "\n" + kData + "\n:00000001F\n"
                                         << 3 << 2
                                         << "fw.hex line 3, column 2: byte count 0x00 makes a record of 11 "
                                            "characters, this one has 10"
                                         << line3;
        QTest::newRow("checksum") << kLinear + "\n" + kData + "\n:040000001122334453\n"
                                  << 3 << 18
                                  << "fw.hex line 3, column 18: checksum 0x53 stored, 0x52 computed from the "
                                     "record's bytes"
                                  << line3;
        QTest::newRow("record type 06")
            << kLinear + "\n" + kData + "\n" + record(6, 0, {}) + "\n"
            << 3 << 8 << "fw.hex line 3, column 8: record type 0x06 is not one of 00 to 05" << line3;
        QTest::newRow("end record with data")
            << kLinear + "\n" + kData + "\n" + record(1, 0, QByteArray(1, 0)) + "\n"
            << 3 << 2 << "fw.hex line 3, column 2: a record of type 0x01 carries 0 data bytes, this one 1"
            << line3;
        QTest::newRow("address record of 3 bytes")
            << kLinear + "\n" + kData + "\n" + record(4, 0, QByteArray::fromHex("000102")) + "\n"
            << 3 << 2 << "fw.hex line 3, column 2: a record of type 0x04 carries 2 data bytes, this one 3"
            << line3;
        QTest::newRow("record after the end")
            << kData + "\n" + kEnd + "\n\n" + kData + "\n"
            << 4 << 1 << "fw.hex line 4, column 1: a record after the end-of-file record of line 2"
            << "HEX File Refused: line 4";
        QTest::newRow("second end record") << kGood + kEnd + "\r\n"
                                           << 3 << 1
                                           << "fw.hex line 3, column 1: a record after the end-of-file "
                                              "record of line 2"
                                           << line3;
        QTest::newRow("end record without line end")
            << kData + "\n" + kEnd << 2 << 12 << "fw.hex line 2, column 12: the last line has no line end"
            << "HEX File Refused: line 2";
        QTest::newRow("code test without line end")
            << kGood + "TEST 9" << 3 << 7 << "fw.hex line 3, column 7: the last line has no line end"
            << line3;
        QTest::newRow("carriage return at the very end")
            << kGood + "\r" << 3 << 2 << "fw.hex line 3, column 2: the last line has no line end" << line3;
        QTest::newRow("no data record")
            << "; nothing\r\n" + kLinear + "\r\n" + kEnd + "\r\n"
            << 0 << 0 << "fw.hex holds no data record: there is nothing to program"
            << "HEX File Refused: no data record";
        QTest::newRow("data records without bytes")
            << record(0, 0, {}) + "\n" + kEnd + "\n"
            << 0 << 0 << "fw.hex holds no data record: there is nothing to program"
            << "HEX File Refused: no data record";
        QTest::newRow("no end record")
            << kLinear + "\n" + kData + "\n"
            << 0 << 0 << "fw.hex has no end-of-file record (:00000001FF): it may be cut short"
            << "HEX File Refused: no end-of-file record";
    }
    void refused() {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        QFETCH(int, column);
        QFETCH(QString, detail);
        QFETCH(QString, summary);
        const CheckResult result = check(text);
        QCOMPARE(result.verdict, Verdict::Refused);
        QCOMPARE(QString(result.detail), detail);
        QCOMPARE(result.line, line);
        QCOMPARE(result.column, column);
        QCOMPARE(QString(result.summary), summary);
    }

    // A file is read in chunks: what spans two of them is judged as in one
    // piece of memory, and a large valid file passes.
    void fileReadInChunks_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("line");
        QByteArray many;
        for (int i = 0; i < 2000; ++i) many += data(16) + "\r\n";  // 45 bytes a line
        // Line 92 holds offsets 4095 to 4139, across the first chunk's end.
        QByteArray checksum = many;
        checksum[91 * 45 + 42] = checksum[91 * 45 + 42] == '0' ? '1' : '0';
        QByteArray overlong = many;
        overlong.insert(91 * 45, "TEST " + QByteArray(80, '-') + "\r\n");
        QByteArray nul = many;
        nul[4096] = '\0';
        QTest::newRow("valid, 90 KB") << many + kEnd + "\r\n" << true << 0;
        QTest::newRow("checksum across chunks") << checksum + kEnd + "\r\n" << false << 92;
        QTest::newRow("long line across chunks") << overlong + kEnd + "\r\n" << false << 92;
        QTest::newRow("NUL at the second chunk's start") << nul + kEnd + "\r\n" << false << 92;
        QTest::newRow("no end after many chunks") << many << false << 0;
    }
    void fileReadInChunks() {
        QFETCH(QByteArray, text);
        QFETCH(bool, accepted);
        QFETCH(int, line);
        const QString path = write("fw.hex", text);
        QVERIFY(!path.isEmpty());
        std::vector<char> bytes;
        const CheckResult fromFile = orvex::hex::load_file(QFile::encodeName(path).constData(), bytes);
        QVERIFY(fromFile.wholeFileRead);
        QCOMPARE(QByteArray(bytes.data(), qsizetype(bytes.size())), text);
        QCOMPARE(fromFile.line, line);
        QCOMPARE(fromFile.verdict, accepted ? Verdict::Accepted : Verdict::Refused);
        compareResults(fromFile, check(text));
    }

    // Nothing of such a file may reach a unit: no bytes are kept.
    void filesThatCannotBeRead_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<QByteArray>("detail");
        QTest::addColumn<QByteArray>("summary");
        QTest::newRow("absent") << "absent.hex" << int(Verdict::CannotOpen)
                                << QByteArray("absent.hex cannot be opened: ") + std::strerror(ENOENT)
                                << QByteArray("HEX File Cannot Be Opened");
        QTest::newRow("a folder") << "folder.hex" << int(Verdict::Refused)
                                  << QByteArray(
                                         "folder.hex cannot be read to its end (stopped after 0 bytes: ") +
                                         std::strerror(EISDIR) + ")"
                                  << QByteArray("HEX File Refused: read error");
        QTest::newRow("16 MiB and one byte")
            << "huge.hex" << int(Verdict::Refused)
            << QByteArray("huge.hex is larger than 16 MiB: no firmware of this family is")
            << QByteArray("HEX File Refused: file too large");
    }
    void filesThatCannotBeRead() {
        QFETCH(QString, name);
        QFETCH(int, verdict);
        QFETCH(QByteArray, detail);
        QFETCH(QByteArray, summary);
        QVERIFY(QDir(dir_.path()).mkpath("folder.hex"));
        QFile huge(dir_.filePath("huge.hex"));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(16 * 1024 * 1024 + 1));
        huge.close();
        std::vector<char> bytes(3, 'x');
        const CheckResult result =
            orvex::hex::load_file(QFile::encodeName(dir_.filePath(name)).constData(), bytes);
        QCOMPARE(int(result.verdict), verdict);
        QCOMPARE(result.line, 0);
        QCOMPARE(QByteArray(result.detail), detail);
        QCOMPARE(QByteArray(result.summary), summary);
        QVERIFY(!result.wholeFileRead);
        QVERIFY(bytes.empty());
    }

    // A file name longer than the detail still leaves it terminated.
    void longNameStaysInItsBuffer() {
        const QByteArray name = QByteArray(300, 'n') + ".hex";
        const QByteArray text = kGood + "junk";
        const CheckResult result =
            orvex::hex::check_text(name.constData(), text.constData(), static_cast<std::size_t>(text.size()));
        QCOMPARE(result.verdict, Verdict::Refused);
        QCOMPARE(std::strlen(result.detail), sizeof result.detail - 1);
        QVERIFY(QByteArray(result.detail).startsWith(QByteArray(255, 'n')));
        QCOMPARE(QByteArray(result.summary), QByteArray("HEX File Refused: line 3"));
    }
};

QTEST_APPLESS_MAIN(TestHexCheck)
#include "test_hex_check.moc"
