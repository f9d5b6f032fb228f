// Firmware uploads over GPIB as the technician makes them: the program's panel
// and sequence in this process, the GPIB driver library found by name on the
// library path (the stand-in, which carries the bus to the emulated unit), and
// the unit in a process of its own. The unit's record tells what crossed the
// bus: the commands, every write's EOI, each read's time-out, the interface
// clears and the board's link.
#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstring>
#include <functional>
#include <vector>

#include "gpib.h"
#include "runtime.h"
#include "state.h"
#include "upload_fixture.h"

using orvex::test::SimProcess;

namespace {

// Every pause, timer and bus time-out of the program, the driver and the unit
// shrinks by this much in all but the real-time run: T10s becomes 200 ms, far
// above the unit's answer time even on a loaded machine.
constexpr double kTestScale = 0.02;

constexpr int kBoard = 0;
constexpr int kUnitAddress = 6;   // the panel's default and the simulator's
constexpr int kNobodyAddress = 7;
constexpr int kRecords = 20;
constexpr int kPieceBytes = 63;   // the file is read in pieces of this many bytes at most
constexpr int kAnswerBytes = 255; // one read stores at most this many
constexpr int kBoardTimeout_ms = 10000;  // T10s
// Commands that draw a read besides the pieces: both identifications, the
// password state, the programming-mode and the erase answers.
constexpr int kCommandReads = 5;
constexpr int kCommandWrites = 8;  // every command of a complete run

constexpr std::chrono::milliseconds kRecordLimit{30000};

const QString kOkTest = QStringLiteral("OK TEST");
const QString kNotResponding = QStringLiteral("Unit Not Responding");
const QString kOldRevision = QStringLiteral("V8.10");
const QString kNewRevision = QStringLiteral("V8.20");

// What the unit hears of a run, command by command.
const QStringList kUpToIdentify = {"*RST", "*IDN?"};
const QStringList kUpToPasswordState = kUpToIdentify + QStringList{":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?"};
const QStringList kUpToProgramMode = kUpToPasswordState + QStringList{"DIAG:PRG"};
const QStringList kUpToErase = kUpToProgramMode + QStringList{"ERASE"};
const QStringList kAfterFile = {"EXIT", "*IDN?"};

QJsonObject gpib_of(const QJsonObject& record) { return record["gpib"].toObject(); }
QJsonObject link_of(const QJsonObject& record) {
    return record["transports"].toObject()["gpib"].toObject();
}
QStringList heard(const QJsonObject& record) { return link_of(record)["commands"].toVariant().toStringList(); }
QString dump(const QJsonObject& object) { return QString::fromUtf8(QJsonDocument(object).toJson()); }

std::vector<QByteArray> file_lines(const QString& path) {
    QFile file(path);
    std::vector<QByteArray> lines;
    if (!file.open(QIODevice::ReadOnly)) return lines;
    while (!file.atEnd()) lines.push_back(file.readLine());
    return lines;
}

// The pieces the program sends for a file: each line with its line end, cut
// every 63 bytes.
std::vector<QByteArray> pieces_of(const QString& path) {
    std::vector<QByteArray> pieces;
    for (const QByteArray& line : file_lines(path))
        for (qsizetype from = 0; from < line.size(); from += kPieceBytes) pieces.push_back(line.mid(from, kPieceBytes));
    return pieces;
}

bool is_code_test(const QByteArray& piece) { return piece.startsWith('T') || piece.startsWith('t'); }

int code_test_pieces(const QString& path) {
    int count = 0;
    for (const QByteArray& piece : pieces_of(path)) count += is_code_test(piece) ? 1 : 0;
    return count;
}

// The code-test lines of a file as the unit logs them, without line end.
QStringList code_test_lines(const QString& path) {
    QStringList lines;
    for (QByteArray line : file_lines(path)) {
        if (!is_code_test(line)) continue;
        while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
        lines << QString::fromLatin1(line);
    }
    return lines;
}

// Records of the file before its first code test.
int records_before_code_test(const QString& path) {
    int records = 0;
    for (const QByteArray& line : file_lines(path)) {
        if (is_code_test(line)) break;
        records += line.startsWith(':') ? 1 : 0;
    }
    return records;
}

int record_lines(const QString& path) {
    int records = 0;
    for (const QByteArray& line : file_lines(path)) records += line.startsWith(':') ? 1 : 0;
    return records;
}

// True when this process still holds `path` open.
bool holds_open(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo& entry : fds.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.symLinkTarget() == target) return true;
    }
    return false;
}

bool start_unit(SimProcess& sim, const QStringList& args = {}) {
    if (!sim.start(e2e::sim_time_scale_args(kTestScale) + args)) return false;
    sim.exportEnvironment();
    return true;
}

void set_address(int address) { runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_BUS_SELECTION_2, address); }

// Makes one driver call after the run and returns the first record that
// shows it, so a record that holds everything the run did. The unit counts
// the interface clears of the run (`run_clears`) and the call's own.
QJsonObject record_after_probe(const SimProcess& sim, int run_clears) {
    gpib::SendIFC(kBoard);
    QJsonObject last;
    sim.waitForRecord(
        [&](const QJsonObject& record) {
            last = record;
            return gpib_of(record)["interfaceClears"].toInt() == run_clears + 1;
        },
        kRecordLimit);
    return last;
}

// Whether the run left the board online: the probe went over the link the
// run used, where a board taken offline opens a new one.
bool left_online(const QJsonObject& record) { return gpib_of(record)["clients"].toInt() == 1; }

// A complete run against a healthy unit that has left programming mode
// `exits_before` times: the flash holds the file, the board is offline at the
// end, the HEX file is closed.
void expect_complete_run(e2e::Operator& op, const SimProcess& sim, const QString& hex, const QString& message,
                         int exits_before = 0) {
    op.choose_file(hex);
    op.start();
    QCOMPARE(op.messages(), message);
    QCOMPARE(op.revision_after(), kNewRevision);
    QCOMPARE(op.progress(), 100);
    QVERIFY(!holds_open(hex));
    QJsonObject last;
    QVERIFY2(sim.waitForRecord(
                 [&](const QJsonObject& record) {
                     last = record;
                     return record["exits"].toInt() == exits_before + 1 &&
                            gpib_of(record)["connected"].toInt() == 0;
                 },
                 kRecordLimit),
             qPrintable(dump(last)));
    QString verdict;
    QVERIFY2(sim.verifyFlash(hex, &verdict), qPrintable(verdict));
}

// How a failing run is brought about, besides the unit's own faults.
enum class Setup { unit, noSocket, wrongAddress, password, missingFile };

struct FailureCase {
    QStringList unitArgs{};
    Setup setup = Setup::unit;
    QByteArray password{};
    QString message{};
    int failure = 1;
    QStringList heard{};       // commands the unit heard, pieces' code tests included
    int records = 0;           // records that reached the unit
    bool released = false;     // board offline at the end
    bool codedFile = false;    // the file holds code tests
    bool freshUnitNext = false;  // the fault stays with the unit: the next run meets a healthy one
    QString revisionAfter{};   // shown only when the second identification was read
    QString nextMessage = kOkTest;
};

// One answer or file shape that the run must carry through.
struct AnswerCase {
    QStringList unitArgs{};
    QString file{};           // "plain" or "pieces"
    QString message{};
    QByteArray lastAnswer{};  // buf after the run: the second identification
    int discarded = 0;        // answer bytes the program left unread
};

}  // namespace

Q_DECLARE_METATYPE(FailureCase)
Q_DECLARE_METATYPE(AnswerCase)

class TestGpib : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QString plain_;   // records only
    QString coded_;   // records and code tests
    QString pieces_;  // lines longer than a piece, continuations that begin with "T"

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        plain_ = e2e::make_hex(files_, "plain.hex", kRecords);
        coded_ = e2e::make_hex(files_, "coded.hex", kRecords, {"--test-lines", "2"});
        QVERIFY(!plain_.isEmpty() && !coded_.isEmpty());
        // Records of 40 data bytes take two pieces; a code test whose second
        // piece begins with "T", one whose second piece does not, and a
        // comment whose second piece begins with "t".
        const QString wide = e2e::make_hex(files_, "pieces.hex", kRecords, {"--data-bytes", "40"});
        QVERIFY(!wide.isEmpty());
        std::vector<QByteArray> lines = file_lines(wide);
        QVERIFY(lines.size() > 10);
        lines.insert(lines.begin() + 3, "T" + QByteArray(62, 'a') + "Tbb\r\n");
        lines.insert(lines.begin() + 6, "T" + QByteArray(99, 'L') + "\r\n");
        lines.insert(lines.begin() + 9, "#" + QByteArray(62, 'c') + "tail\r\n");
        lines.insert(lines.begin() + 10, "\r\n");
        QFile file(wide);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const QByteArray& line : lines) file.write(line);
        file.close();
        pieces_ = wide;
        QCOMPARE(code_test_pieces(pieces_), 4);
    }

    // The panel as it starts (IEEE-488, GPIB0, address 6) updates the unit
    // in real time.
    void realTimeUpdate() {
        e2e::set_time_scale(1.0);
        SimProcess sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        sim.exportEnvironment();
        e2e::Operator op;
        QCOMPARE(text_of(ids::UPDATE_BUS_SELECTION), QString::fromLatin1(orvex::kBusGpib));
        QCOMPARE(value_of(ids::UPDATE_GPIBBOARDS), kBoard);
        QCOMPARE(value_of(ids::UPDATE_BUS_SELECTION_2), kUnitAddress);
        op.choose_file(coded_);
        // A board left at a shorter time-out by an earlier program: the
        // sequence sets its own before the first read.
        gpib::ibtmo(kBoard, gpib::T1s);

        QElapsedTimer elapsed;
        elapsed.start();
        op.start();
        QVERIFY2(elapsed.elapsed() >= 10000, "the unit was given its 10 s to restart");
        QCOMPARE(op.messages(), kOkTest);
        QCOMPARE(op.revision_before(), kOldRevision);
        QCOMPARE(op.revision_after(), kNewRevision);
        QCOMPARE(op.model(), QStringLiteral("ZRA 12-34"));
        QCOMPARE(op.serial_number(), QStringLiteral("A123"));
        QCOMPARE(op.progress(), 100);
        QCOMPARE(orvex::failure, 0);
        QVERIFY(!holds_open(coded_));

        QJsonObject record;
        QVERIFY2(sim.waitForRecord(
                     [&](const QJsonObject& r) {
                         record = r;
                         return r["exits"].toInt() == 1 && gpib_of(r)["connected"].toInt() == 0;
                     },
                     kRecordLimit),
                 qPrintable(dump(record)));
        QCOMPARE(heard(record), kUpToErase + code_test_lines(coded_) + kAfterFile);
        const QJsonObject bus = gpib_of(record);
        QCOMPARE(bus["interfaceClears"].toInt(), 2);
        QCOMPARE(bus["writes"].toInt(), kCommandWrites + static_cast<int>(pieces_of(coded_).size()));
        QCOMPARE(bus["writesWithoutEoi"].toInt(), 0);
        QCOMPARE(bus["readTimeouts"].toInt(), 0);
        const QJsonArray timeouts = bus["readTimeoutsMs"].toArray();
        QCOMPARE(timeouts.size(), kCommandReads + code_test_pieces(coded_));
        for (const auto& timeout : timeouts) QCOMPARE(timeout.toInt(), kBoardTimeout_ms);
        QCOMPARE(record["records"].toObject()["accepted"].toInt(), record_lines(coded_));
        QCOMPARE(record["revision"].toString(), kNewRevision);
        QString verdict;
        QVERIFY2(sim.verifyFlash(coded_, &verdict), qPrintable(verdict));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    void failures_data() {
        QTest::addColumn<FailureCase>("c");
        const QStringList all = kUpToErase + kAfterFile;
        QTest::newRow("reset: no unit socket") << FailureCase{.setup = Setup::noSocket, .message = kNotResponding,
                                                              .released = true};
        QTest::newRow("reset: nobody at the address")
            << FailureCase{.setup = Setup::wrongAddress, .message = kNotResponding, .released = true};
        QTest::newRow("no identification")
            << FailureCase{.unitArgs = {"--silent", "idn@1"}, .message = kNotResponding, .heard = kUpToIdentify};
        QTest::newRow("unknown maker") << FailureCase{.unitArgs = {"--maker", "ACME"},
                                                      .message = QStringLiteral("Unknown Unit"),
                                                      .heard = kUpToIdentify,
                                                      .freshUnitNext = true};
        QTest::newRow("wrong model") << FailureCase{.unitArgs = {"--family", "ZR"},
                                                    .message = QStringLiteral("Wrong Model/Revision"),
                                                    .heard = kUpToIdentify,
                                                    .freshUnitNext = true};
        QTest::newRow("no password state")
            << FailureCase{.unitArgs = {"--silent", "stat@1"}, .message = kNotResponding, .heard = kUpToPasswordState};
        QTest::newRow("password refused")
            << FailureCase{.setup = Setup::password,
                           .password = "WRONG",
                           .failure = 0,
                           .heard = kUpToIdentify + QStringList{":SYST:PASS:CEN WRONG", ":syst:pass:stat?"}};
        // The unlock becomes a query: its read waits out the board's time-out.
        QTest::newRow("password with a question mark")
            << FailureCase{.setup = Setup::password,
                           .password = "AB?CD",
                           .message = kNotResponding,
                           .heard = kUpToIdentify + QStringList{":SYST:PASS:CEN AB?CD"}};
        QTest::newRow("file cannot be opened")
            << FailureCase{.setup = Setup::missingFile, .failure = 0, .heard = kUpToPasswordState};
        QTest::newRow("no programming-mode answer")
            << FailureCase{.unitArgs = {"--silent", "prg@1"}, .message = kNotResponding, .heard = kUpToProgramMode};
        QTest::newRow("empty erase answer")
            << FailureCase{.unitArgs = {"--erase-reply", "\\n"},
                           .message = QStringLiteral("Erase Failed"),
                           .heard = kUpToErase,
                           .freshUnitNext = true};
        // Nothing is programmed, yet the unit leaves programming mode, is
        // identified again and the board is released; its revision stays.
        QTest::newRow("erase answer not 0") << FailureCase{.unitArgs = {"--erase-reply", "1\\r\\n"},
                                                           .failure = 0,
                                                           .heard = all,
                                                           .released = true,
                                                           .freshUnitNext = true,
                                                           .revisionAfter = kOldRevision};
        QTest::newRow("code test unanswered")
            << FailureCase{.unitArgs = {"--silent", "test@1"},
                           .message = kNotResponding,
                           .released = true,
                           .codedFile = true};
        QTest::newRow("link dropped in the loop") << FailureCase{.unitArgs = {"--drop-after", "5"},
                                                                 .message = kNotResponding,
                                                                 .heard = kUpToErase,
                                                                 .records = 5,
                                                                 .released = true,
                                                                 .freshUnitNext = true};
        // The unit took its new firmware: the next run finds it already updated.
        QTest::newRow("no second identification") << FailureCase{.unitArgs = {"--silent", "idn@2"},
                                                                  .message = kNotResponding,
                                                                  .heard = all,
                                                                  .records = record_lines(plain_),
                                                                  .nextMessage = QString()};
    }

    // Every way a run can fail, what the unit heard, the board and the file
    // afterwards, and a next run that succeeds.
    void failures() {
        QFETCH(FailureCase, c);
        e2e::set_time_scale(kTestScale);
        SimProcess sim;
        QVERIFY2(start_unit(sim, c.unitArgs), qPrintable(sim.errorString()));
        const QString hex = c.codedFile ? coded_ : plain_;
        QStringList expected_heard = c.heard;
        int expected_records = c.records;
        if (c.codedFile) {
            // The first code test goes unanswered.
            expected_heard = kUpToErase + code_test_lines(hex).mid(0, 1);
            expected_records = records_before_code_test(hex);
        }

        e2e::Operator op;
        op.choose_file(c.setup == Setup::missingFile ? files_.filePath("absent.hex") : hex);
        if (c.setup == Setup::password) op.type_password(c.password.constData());
        if (c.setup == Setup::wrongAddress) set_address(kNobodyAddress);
        if (c.setup == Setup::noSocket) qputenv("ORVEX_GPIB_SIM", files_.filePath("absent%d.sock").toLocal8Bit());

        QElapsedTimer elapsed;
        elapsed.start();
        op.start();
        const qint64 run_ms = elapsed.elapsed();
        QCOMPARE(op.messages(), c.message);
        QCOMPARE(orvex::failure, c.failure);
        // Checked before anything processes events: its timer hides it again.
        QCOMPARE(op.password_message_shown(), c.setup == Setup::password && c.failure == 0);
        QCOMPARE(op.file_panel_shown(), c.setup == Setup::missingFile);
        QVERIFY(!holds_open(hex));
        QCOMPARE(op.revision_after(), c.revisionAfter);
        if (c.password.contains('?')) QVERIFY(run_ms >= qRound(kBoardTimeout_ms * kTestScale));

        if (c.setup == Setup::noSocket) {
            sim.exportEnvironment();
        } else {
            const QJsonObject record = record_after_probe(sim, c.released ? 2 : 1);
            QVERIFY2(gpib_of(record)["interfaceClears"].toInt() == (c.released ? 3 : 2), qPrintable(dump(record)));
            QCOMPARE(heard(record), expected_heard);
            QCOMPARE(link_of(record)["records"].toInt(), expected_records);
            QCOMPARE(gpib_of(record)["writesWithoutEoi"].toInt(), 0);
            // Nobody listens at another address, nor once the unit dropped its link.
            const bool nobody = c.setup == Setup::wrongAddress || c.unitArgs.contains("--drop-after");
            QCOMPARE(gpib_of(record)["noListener"].toInt() > 0, nobody);
            // A read the unit leaves unanswered ends at the board's T10s, and
            // so would every other read.
            const bool unanswered = c.unitArgs.contains("--silent") || c.password.contains('?');
            QCOMPARE(gpib_of(record)["readTimeouts"].toInt(), unanswered ? 1 : 0);
            for (const auto& timeout : gpib_of(record)["readTimeoutsMs"].toArray())
                QCOMPARE(timeout.toInt(), qRound(kBoardTimeout_ms * kTestScale));
            QCOMPARE(left_online(record), !c.released);
        }

        if (c.setup == Setup::missingFile) op.dismiss_file_panel();
        if (c.setup == Setup::wrongAddress) set_address(kUnitAddress);
        if (c.freshUnitNext) QVERIFY2(start_unit(sim), qPrintable(sim.errorString()));
        const int exits = !c.freshUnitNext && c.heard.contains("EXIT") ? 1 : 0;
        expect_complete_run(op, sim, hex, c.nextMessage, exits);
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    void answers_data() {
        QTest::addColumn<AnswerCase>("c");
        const QByteArray identity = "ORVEX,ZRA 12-34,01/01/2010,A123,";
        QTest::newRow("answer ends in CR LF: CR kept")
            << AnswerCase{.file = "plain", .message = kOkTest, .lastAnswer = identity + "V8.20\r"};
        // The rest of the answer is never read: the next command makes the
        // unit drop it.
        QTest::newRow("answer longer than 255 bytes")
            << AnswerCase{.unitArgs = {"--idn-length", "300"},
                          .file = "plain",
                          .message = kOkTest,
                          .lastAnswer = (identity + "V8.20," + QByteArray(kAnswerBytes, 'X')).left(kAnswerBytes),
                          .discarded = 300 - kAnswerBytes};
        QTest::newRow("answer without line end stays whole")
            << AnswerCase{.unitArgs = {"--idn-reply", QString::fromLatin1(identity + "V8.10")},
                          .file = "plain",
                          .lastAnswer = identity + "V8.10"};
        QTest::newRow("long lines in pieces, continuations beginning with T")
            << AnswerCase{.file = "pieces", .message = kOkTest, .lastAnswer = identity + "V8.20\r"};
    }

    // Answers of every shape stay within their buffers, and files of every
    // shape go out piece by piece with a read after each code-test piece.
    void answers() {
        QFETCH(AnswerCase, c);
        e2e::set_time_scale(kTestScale);
        SimProcess sim;
        QVERIFY2(start_unit(sim, c.unitArgs), qPrintable(sim.errorString()));
        const QString hex = c.file == "pieces" ? pieces_ : plain_;
        e2e::Operator op;
        op.choose_file(hex);
        op.start();
        QCOMPARE(op.messages(), c.message);
        QCOMPARE(op.revision_before(), kOldRevision);
        QCOMPARE(op.model(), QStringLiteral("ZRA 12-34"));
        QVERIFY(std::memchr(orvex::buf, '\0', sizeof orvex::buf) != nullptr);
        QCOMPARE(QByteArray(orvex::buf), c.lastAnswer);

        QJsonObject record;
        QVERIFY2(sim.waitForRecord(
                     [&](const QJsonObject& r) {
                         record = r;
                         return r["exits"].toInt() == 1 && gpib_of(r)["connected"].toInt() == 0;
                     },
                     kRecordLimit),
                 qPrintable(dump(record)));
        const QJsonObject bus = gpib_of(record);
        const int code_tests = code_test_pieces(hex);
        QCOMPARE(bus["writes"].toInt(), kCommandWrites + static_cast<int>(pieces_of(hex).size()));
        QCOMPARE(bus["writesWithoutEoi"].toInt(), 0);
        QCOMPARE(bus["readTimeoutsMs"].toArray().size(), kCommandReads + code_tests);
        QCOMPARE(bus["readTimeouts"].toInt(), 0);
        QCOMPARE(link_of(record)["codeTests"].toInt(), code_tests);
        QCOMPARE(bus["unreadDiscarded"].toInt(), c.discarded);
        QString verdict;
        QVERIFY2(sim.verifyFlash(hex, &verdict), qPrintable(verdict));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    // Without a driver library every driver call fails: the reset is not sent.
    // Once the library is there, the next run loads it and succeeds. Runs in a
    // CTest entry of its own whose library path holds no driver at first.
    void withoutDriverLibrary() {
        const QString directory = qEnvironmentVariable("ORVEX_E2E_EMPTY_DRIVER_DIR");
        if (directory.isEmpty()) QSKIP("needs a library path without the driver (CTest entry e2e_test_gpib_no_driver)");
        const QString installed = QDir(directory).filePath(QStringLiteral("libgpib.so.0"));
        QFile::remove(installed);
        const auto cleanup = qScopeGuard([&] { QFile::remove(installed); });

        e2e::set_time_scale(kTestScale);
        SimProcess sim;
        QVERIFY2(start_unit(sim), qPrintable(sim.errorString()));
        e2e::Operator op;
        op.choose_file(plain_);
        op.start();
        QCOMPARE(op.messages(), kNotResponding);
        QCOMPARE(orvex::failure, 1);
        QCOMPARE(gpib_of(sim.record())["clients"].toInt(), 0);

        QVERIFY(QFile::link(QStringLiteral(ORVEX_GPIB_DRIVER_FILE), installed));
        expect_complete_run(op, sim, plain_, kOkTest);
    }
};

QTEST_MAIN(TestGpib)
#include "test_gpib.moc"
