// Firmware uploads over GPIB: the driver library found by name on the library
// path (the stand-in, which carries the bus to the emulated unit). The unit's
// record tells what crossed the bus: commands, EOI, read time-outs, interface
// clears and the board's link.
#include <cstring>

#include "buses.h"
#include "gpib.h"
#include "gpib_bus.h"
#include "upload_fixture.h"

namespace {

// All but the real-time run: T10s becomes 200 ms, far above the unit's
// answer time even on a loaded machine.
constexpr double kTestScale = 0.02;

constexpr int kBoard = 0;
constexpr int kUnitAddress = 6;  // the panel's default and the simulator's
constexpr int kRecords = 20;
constexpr int kAnswerBytes = orvex::gpib_bus::kMaxAnswer;
constexpr int kBoardTimeout_ms = 10000;  // T10s
// Commands that draw a read besides the pieces: both identifications, the
// password state, the programming-mode and the erase answers.
constexpr int kCommandReads = 5;
constexpr int kCommandWrites = 8;  // every command of a complete run

const QString kNotResponding = QStringLiteral("Unit Not Responding");

const QStringList kUpToIdentify = {"*RST", "*IDN?"};
const QStringList kUpToPasswordState =
    kUpToIdentify + QStringList{":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?"};
const QStringList kUpToProgramMode = kUpToPasswordState + QStringList{"DIAG:PRG"};
const QStringList kUpToErase = kUpToProgramMode + QStringList{"ERASE"};
const QStringList kAfterFile = {"EXIT", "*IDN?"};

QJsonObject gpib_of(const QJsonObject& record) { return record["gpib"].toObject(); }
QStringList heard(const QJsonObject& record) { return e2e::heard(record, "gpib"); }
bool offline_after_exits(const QJsonObject& r, int exits) {
    return r["exits"].toInt() == exits && gpib_of(r)["connected"].toInt() == 0;
}

// The pieces the program sends for a file (each line cut every 63 bytes), and
// those of them that are code tests, each drawing a read.
int pieces_of(const QString& path, bool code_tests_only = false) {
    int count = 0;
    for (const QByteArray& line : e2e::file_lines(path))
        for (qsizetype from = 0; from < line.size(); from += e2e::kPieceBytes)
            count += !code_tests_only || line[from] == 'T' || line[from] == 't';
    return count;
}

bool start_unit(SimProcess& sim, const QStringList& args = {}) {
    if (!sim.start(e2e::sim_time_scale_args(kTestScale) + args)) return false;
    sim.exportEnvironment();
    return true;
}

void set_address(int address) {
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_BUS_SELECTION_2, address);
}

// A complete run against a healthy unit that has left programming mode
// `exits_before` times: flash, board offline, file closed.
void expect_complete_run(e2e::Operator& op, const SimProcess& sim, const QString& hex,
                         const QString& before = e2e::kOldRevision, int exits_before = 0) {
    op.choose_file(hex);
    op.start();
    op.expect_updated(before);
    QVERIFY(!e2e::held_open(hex));
    E2E_WAIT_RECORD(sim, offline_after_exits(r, exits_before + 1));
    E2E_FLASH_HOLDS(sim, hex);
}

// How a failing run is brought about, besides the unit's own faults.
enum class Setup { unit, noSocket, wrongAddress, password };

struct FailureCase {
    QStringList unitArgs{};
    Setup setup = Setup::unit;
    QByteArray password{};
    QString message{};
    int failure = 1;
    QStringList heard{};         // commands the unit heard
    int records = 0;             // records that reached the unit
    bool released = false;       // board offline at the end
    bool codedFile = false;      // the file holds code tests
    bool freshUnitNext = false;  // the fault stays with the unit: the next run meets a healthy one
    QString revisionAfter{};     // shown only when the second identification was read
    QString nextBefore = e2e::kOldRevision;
};

// One run that must go through: real time or not, answers and files of every shape.
struct CompleteCase {
    QStringList unitArgs{};
    bool realTime = false;
    QString file{};           // "plain" or "coded"
    QByteArray lastAnswer{};  // buf after the run: the second identification
    int discarded = 0;        // answer bytes the program left unread
    QString after = e2e::kNewRevision;
};

}  // namespace

Q_DECLARE_METATYPE(FailureCase)
Q_DECLARE_METATYPE(CompleteCase)

class TestGpib : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QMap<QString, QString> hex_;  // "plain": records only; "coded": and code tests;
                                  // "pieces": lines longer than a piece, which the unit would get cut

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        hex_["plain"] = e2e::make_hex(files_, "plain.hex", kRecords);
        hex_["coded"] = e2e::make_hex(files_, "coded.hex", kRecords, {"--test-lines", "2"});
        // Records of 40 data bytes take two pieces; a code test whose second
        // piece begins with "T", one whose second piece does not, and a
        // comment whose second piece begins with "t".
        hex_["pieces"] = e2e::make_hex(files_, "pieces.hex", kRecords, {"--data-bytes", "40"});
        for (const QString& path : hex_) QVERIFY(!path.isEmpty());
        std::vector<QByteArray> lines = e2e::file_lines(hex_["pieces"]);
        QVERIFY(lines.size() > 10);
        lines.insert(lines.begin() + 3, "T" + QByteArray(62, 'a') + "Tbb\r\n");
        lines.insert(lines.begin() + 6, "T" + QByteArray(99, 'L') + "\r\n");
        lines.insert(lines.begin() + 9, "#" + QByteArray(62, 'c') + "tail\r\n");
        lines.insert(lines.begin() + 10, "\r\n");
        QVERIFY(e2e::write_lines(hex_["pieces"], lines));
        QCOMPARE(pieces_of(hex_["pieces"], true), 4);
    }

    void completeRuns_data() {
        QTest::addColumn<CompleteCase>("c");
        const QByteArray identity = "ORVEX,ZRA 12-34,01/01/2010,A123,";
        // The panel as it starts (IEEE-488, GPIB0, address 6) at the unit's own pace.
        QTest::newRow("real time") << CompleteCase{
            .realTime = true, .file = "coded", .lastAnswer = identity + "V8.20\r"};
        QTest::newRow("answer ends in CR LF: CR kept")
            << CompleteCase{.file = "plain", .lastAnswer = identity + "V8.20\r"};
        // The rest of the answer is never read: the next command makes the unit drop it.
        QTest::newRow("answer longer than 255 bytes") << CompleteCase{
            .unitArgs = {"--idn-length", "300"},
            .file = "plain",
            .lastAnswer = (identity + "V8.20," + QByteArray(kAnswerBytes, 'X')).left(kAnswerBytes),
            .discarded = 300 - kAnswerBytes};
        QTest::newRow("answer without line end stays whole")
            << CompleteCase{.unitArgs = {"--idn-reply", QString::fromLatin1(identity + "V8.10")},
                            .file = "plain",
                            .lastAnswer = identity + "V8.10",
                            .after = e2e::kOldRevision};
    }

    // Everything goes out with EOI, every read waits T10s at most, answers
    // stay within their buffers, a read follows each code-test piece.
    void completeRuns() {
        QFETCH(CompleteCase, c);
        const double scale = c.realTime ? 1.0 : kTestScale;
        e2e::set_time_scale(scale);
        const auto reset = qScopeGuard([] { e2e::set_time_scale(1.0); });
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(scale) + c.unitArgs);
        sim.exportEnvironment();
        const QString hex = hex_[c.file];
        e2e::Operator op;
        QCOMPARE(text_of(ids::UPDATE_BUS_SELECTION),
                 QString::fromLatin1(orvex::bus_by_menu_item(ids::MENUBAR_BUSSELEC_GPIB)->bus_text));
        QCOMPARE(value_of(ids::UPDATE_GPIBBOARDS), kBoard);
        QCOMPARE(value_of(ids::UPDATE_BUS_SELECTION_2), kUnitAddress);
        op.choose_file(hex);
        // A board left at a shorter time-out by an earlier program: the
        // sequence sets its own before the first read.
        gpib::ibtmo(kBoard, gpib::T1s);
        const qint64 run_ms = op.start();
        QVERIFY2(run_ms >= 10000 * scale, "the unit was given its 10 s to restart");
        op.expect_updated(e2e::kOldRevision, c.after);
        QVERIFY(!e2e::held_open(hex));
        const char* answer = orvex::gpib_bus::last_answer();
        QVERIFY(std::memchr(answer, '\0', orvex::gpib_bus::last_answer_capacity()) != nullptr);
        QCOMPARE(QByteArray(answer), c.lastAnswer);

        E2E_WAIT_RECORD(sim, offline_after_exits(r, 1));
        const QJsonObject record = sim.record();
        QCOMPARE(heard(record), kUpToErase + e2e::non_record_lines(hex, "Tt") + kAfterFile);
        QCOMPARE(record["records"].toObject()["accepted"].toInt(), e2e::record_count(hex));
        const QJsonObject bus = gpib_of(record);
        QCOMPARE(bus["interfaceClears"].toInt(), 2);
        QCOMPARE(bus["writes"].toInt(), kCommandWrites + pieces_of(hex));
        QCOMPARE(bus["writesWithoutEoi"].toInt(), 0);
        QCOMPARE(bus["readTimeouts"].toInt(), 0);
        QCOMPARE(bus["unreadDiscarded"].toInt(), c.discarded);
        QCOMPARE(e2e::link_of(record, "gpib")["codeTests"].toInt(), pieces_of(hex, true));
        const QJsonArray timeouts = bus["readTimeoutsMs"].toArray();
        QCOMPARE(timeouts.size(), kCommandReads + pieces_of(hex, true));
        for (const auto& timeout : timeouts) QCOMPARE(timeout.toInt(), qRound(kBoardTimeout_ms * scale));
        E2E_FLASH_HOLDS(sim, hex);
        E2E_STOP(sim);
    }

    void failures_data() {
        QTest::addColumn<FailureCase>("c");
        const QStringList all = kUpToErase + kAfterFile;
        QTest::newRow("reset: no unit socket")
            << FailureCase{.setup = Setup::noSocket, .message = kNotResponding, .released = true};
        QTest::newRow("reset: nobody at the address")
            << FailureCase{.setup = Setup::wrongAddress, .message = kNotResponding, .released = true};
        QTest::newRow("no identification") << FailureCase{
            .unitArgs = {"--silent", "idn@1"}, .message = kNotResponding, .heard = kUpToIdentify};
        QTest::newRow("unknown maker") << FailureCase{.unitArgs = {"--maker", "ACME"},
                                                      .message = "Unknown Unit",
                                                      .heard = kUpToIdentify,
                                                      .freshUnitNext = true};
        QTest::newRow("wrong model") << FailureCase{.unitArgs = {"--family", "ZR"},
                                                    .message = "Wrong Model/Revision",
                                                    .heard = kUpToIdentify,
                                                    .freshUnitNext = true};
        QTest::newRow("no password state") << FailureCase{
            .unitArgs = {"--silent", "stat@1"}, .message = kNotResponding, .heard = kUpToPasswordState};
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
        QTest::newRow("no programming-mode answer") << FailureCase{
            .unitArgs = {"--silent", "prg@1"}, .message = kNotResponding, .heard = kUpToProgramMode};
        QTest::newRow("empty erase answer") << FailureCase{.unitArgs = {"--erase-reply", "\\n"},
                                                           .message = "Erase Failed",
                                                           .heard = kUpToErase,
                                                           .freshUnitNext = true};
        // Nothing programmed, yet EXIT, identification and release follow.
        QTest::newRow("erase answer not 0") << FailureCase{.unitArgs = {"--erase-reply", "1\\r\\n"},
                                                           .failure = 0,
                                                           .heard = all,
                                                           .released = true,
                                                           .freshUnitNext = true,
                                                           .revisionAfter = e2e::kOldRevision};
        // The records before the first code test, which goes unanswered.
        const QStringList tests = e2e::non_record_lines(hex_["coded"], "T");
        const auto lines = e2e::file_lines(hex_["coded"]);
        const int before_test =
            std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.startsWith('T'); }) -
            lines.begin();
        QTest::newRow("code test unanswered") << FailureCase{.unitArgs = {"--silent", "test@1"},
                                                             .message = kNotResponding,
                                                             .heard = kUpToErase + tests.mid(0, 1),
                                                             .records = before_test,
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
                                                                 .records = kRecords + 1,
                                                                 .nextBefore = e2e::kNewRevision};
    }

    // Every way a run can fail, what the unit heard, the board and the file
    // afterwards, and a next run that succeeds.
    void failures() {
        QFETCH(FailureCase, c);
        e2e::set_time_scale(kTestScale);
        SimProcess sim;
        QVERIFY2(start_unit(sim, c.unitArgs), qPrintable(sim.errorString()));
        const QString hex = hex_[c.codedFile ? "coded" : "plain"];
        e2e::Operator op;
        op.choose_file(hex);
        if (c.setup == Setup::password) op.type_password(QString::fromLatin1(c.password));
        if (c.setup == Setup::wrongAddress) set_address(kUnitAddress + 1);
        if (c.setup == Setup::noSocket)
            qputenv("ORVEX_GPIB_SIM", files_.filePath("absent%d.sock").toLocal8Bit());
        const qint64 run_ms = op.start();
        QCOMPARE(op.messages(), c.message);
        QCOMPARE(orvex::run.failure, c.failure);
        // Checked before anything processes events: its timer hides it again.
        QCOMPARE(op.password_message_shown(), c.setup == Setup::password && c.failure == 0);
        QVERIFY(!op.file_panel_shown());
        QVERIFY(!e2e::held_open(hex));
        QCOMPARE(op.revision_after(), c.revisionAfter);
        if (c.password.contains('?')) QVERIFY(run_ms >= qRound(kBoardTimeout_ms * kTestScale));

        if (c.setup == Setup::noSocket) {
            sim.exportEnvironment();
        } else {
            // A record that shows one driver call after the run holds all the
            // run did; the call goes over the run's link unless the board was released.
            const int clears = c.released ? 3 : 2;
            gpib::SendIFC(kBoard);
            E2E_WAIT_RECORD(sim, gpib_of(r)["interfaceClears"].toInt() == clears);
            const QJsonObject record = sim.record();
            const QJsonObject bus = gpib_of(record);
            QCOMPARE(heard(record), c.heard);
            QCOMPARE(e2e::link_of(record, "gpib")["records"].toInt(), c.records);
            QCOMPARE(bus["writesWithoutEoi"].toInt(), 0);
            // Nobody listens at another address, nor once the unit dropped its link.
            const bool nobody = c.setup == Setup::wrongAddress || c.unitArgs.contains("--drop-after");
            QCOMPARE(bus["noListener"].toInt() > 0, nobody);
            // A read the unit leaves unanswered ends at the board's T10s.
            const bool unanswered = c.unitArgs.contains("--silent") || c.password.contains('?');
            QCOMPARE(bus["readTimeouts"].toInt(), unanswered ? 1 : 0);
            for (const auto& timeout : bus["readTimeoutsMs"].toArray())
                QCOMPARE(timeout.toInt(), qRound(kBoardTimeout_ms * kTestScale));
            QCOMPARE(bus["clients"].toInt() == 1, !c.released);
        }

        op.dismiss_file_panel();
        set_address(kUnitAddress);
        if (c.freshUnitNext) QVERIFY2(start_unit(sim), qPrintable(sim.errorString()));
        const int exits = !c.freshUnitNext && c.heard.contains("EXIT") ? 1 : 0;
        expect_complete_run(op, sim, hex, c.nextBefore, exits);
        E2E_STOP(sim);
    }

    // Inputs refused before the driver is loaded or the board touched; the
    // file of lines longer than a piece is among them.
    void refusedInputs_data() {
        e2e::add_refusal_rows(files_);
        QTest::newRow("40-byte records and long code tests") << e2e::refused_long_line(hex_["pieces"]);
    }
    void refusedInputs() {
        QFETCH(e2e::Refusal, refusal);
        SimProcess sim;
        QVERIFY2(start_unit(sim), qPrintable(sim.errorString()));
        e2e::Operator op;
        op.expect_refused(refusal);
        e2e::expect_untouched(sim);
    }

    // Without a driver library the reset is not sent; once the library is
    // there, the next run loads it. Own CTest entry, library path empty at first.
    void withoutDriverLibrary() {
        const QString directory = qEnvironmentVariable("ORVEX_E2E_EMPTY_DRIVER_DIR");
        if (directory.isEmpty())
            QSKIP("needs a library path without the driver (CTest entry e2e_test_gpib_no_driver)");
        const QString installed = QDir(directory).filePath(QStringLiteral("libgpib.so.0"));
        QFile::remove(installed);
        const auto cleanup = qScopeGuard([&] { QFile::remove(installed); });

        e2e::set_time_scale(kTestScale);
        SimProcess sim;
        QVERIFY2(start_unit(sim), qPrintable(sim.errorString()));
        e2e::Operator op;
        op.choose_file(hex_["plain"]);
        op.start();
        QCOMPARE(op.messages(), kNotResponding);
        QCOMPARE(orvex::run.failure, 1);
        QCOMPARE(gpib_of(sim.record())["clients"].toInt(), 0);

        QVERIFY(QFile::link(QStringLiteral(ORVEX_GPIB_DRIVER_FILE), installed));
        expect_complete_run(op, sim, hex_["plain"]);
    }
};

QTEST_MAIN(TestGpib)
#include "test_gpib.moc"