// Firmware uploads over RS-232 as the technician makes them: the program's
// panel and sequence in this process, the emulated unit on the far end of a
// pseudo-terminal linked as COM1. The link stays in one place for the whole
// test program, so that a unit can be replaced by a fresh one on the same
// port while the program may still hold the old one open.
#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <filesystem>
#include <string>
#include <vector>

#include "runtime.h"
#include "state.h"
#include "upload_fixture.h"

using orvex::test::SimProcess;

namespace {

// Every pause, timer and port time-out of the program and the unit shrinks by
// this much in all but the real-time run: a 10 s read time-out becomes 0.5 s,
// far above the unit's answer time even on a loaded machine.
constexpr double kTestScale = 0.05;

constexpr int kComPort = 1;
// With 41 records the progress reads exactly 33 and then 67 at a piece
// shortly before each re-opening, where the port must not be re-opened yet.
constexpr int kRecords = 41;
// The program sends a file in pieces of at most this many bytes.
constexpr int kPieceBytes = 63;

const QString kPassword = QStringLiteral("MORVANTE");
const QString kTwelveBlanks = QString(12, QLatin1Char(' '));
const QString kNoReply = QStringLiteral("Unit Failed To Respond");
const QString kWrongModel = QStringLiteral("Wrong Model/Revision");
const QString kNoPort = QStringLiteral("Failed To Get Com Port");
const QString kIncorrectReply = QStringLiteral("Incorrect Unit Response");
const QString kEraseFailed = QStringLiteral("Erase Failed");
const QString kOkTest = QStringLiteral("OK TEST");

// What the unit hears of a run, line by line, before and after the file.
const QStringList kUpToPassword = {"*RST", "*IDN?", ":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?"};
const QStringList kUpToErase = kUpToPassword + QStringList{"DIAG:PRG", "ERASE"};
const QStringList kAfterFile = {"EXIT", "*IDN?", "syst:rem 0"};

constexpr std::chrono::milliseconds kRecordLimit{30000};

// The sequence's own pauses in a complete run: after the reset, with the
// port closed for the restart, after re-opening it and after the release;
// and before and after each re-opening while programming.
constexpr double kCompleteRunPauses_s = 1.0 + 10.0 + 2.0 + 1.0;
constexpr double kReopeningPauses_s = 2 * 0.5;
// How long a read of the port waits for a reply that does not come.
constexpr double kReadTimeout_s = runtime::kDefaultComTimeout_s;

QJsonObject serial_of(const QJsonObject& record) {
    return record["transports"].toObject()["serial"].toObject();
}
QStringList commands_of(const QJsonObject& record) {
    return serial_of(record)["commands"].toVariant().toStringList();
}
int opens_of(const QJsonObject& record) { return record["serialPort"].toObject()["opens"].toInt(); }
QJsonArray port_events_of(const QJsonObject& record) {
    return record["serialPort"].toObject()["events"].toArray();
}

std::vector<QByteArray> file_lines(const QString& path) {
    QFile file(path);
    std::vector<QByteArray> lines;
    if (!file.open(QIODevice::ReadOnly)) return lines;
    while (!file.atEnd()) lines.push_back(file.readLine());
    return lines;
}

bool write_lines(const QString& path, const std::vector<QByteArray>& lines) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    for (const QByteArray& line : lines) file.write(line);
    return file.flush();
}

QByteArray without_line_end(QByteArray line) {
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    return line;
}

// The lines of the file that the unit logs as commands: all but the records.
QStringList non_record_lines(const QString& path) {
    QStringList lines;
    for (const QByteArray& line : file_lines(path)) {
        const QByteArray text = without_line_end(line);
        if (!text.isEmpty() && !text.startsWith(':')) lines << QString::fromLatin1(text);
    }
    return lines;
}

int record_count(const QString& path) {
    int records = 0;
    for (const QByteArray& line : file_lines(path)) records += line.startsWith(':') ? 1 : 0;
    return records;
}

// How many records the unit has received when the port is closed for the
// first and the second time while programming: after the first piece at
// which the share of the file sent before it passes 33 %, and 67 %.
struct Reopenings {
    std::vector<int> records_at;
    bool thresholds_met_exactly = false;  // some piece shows 33 % and some 67 %
};
Reopenings reopenings_of(const QString& path) {
    const qint64 size = QFileInfo(path).size();
    Reopenings result;
    std::vector<int>& at = result.records_at;
    bool met_first = false;
    bool met_second = false;
    qint64 sent = 0;
    int records = 0;
    int stage = 0;
    auto step = [&](qint64 percent) {
        met_first = met_first || percent == 33;
        met_second = met_second || percent == 67;
        if ((percent > 67 && stage < 2) || (percent > 33 && stage == 0)) {
            stage = percent > 67 ? 2 : 1;
            at.push_back(records);
        }
    };
    for (const QByteArray& line : file_lines(path)) {
        for (qsizetype from = 0; from < line.size(); from += kPieceBytes) {
            records += line.at(from) == ':' ? 1 : 0;
            step(sent * 100 / size);
            sent += std::min<qint64>(kPieceBytes, line.size() - from);
        }
    }
    step(100);
    result.thresholds_met_exactly = met_first && met_second;
    return result;
}

// True when this process holds `path` open.
bool held_open(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty()) return false;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        if (QString::fromStdString(std::filesystem::read_symlink(fd.path(), error).string()) == target)
            return true;
    }
    return false;
}

// One way of ending a run early, and what it leaves behind.
struct FailedRun {
    QStringList unit;      // the unit's faults
    QString hex;
    QString password;
    QString message;       // the Messages field afterwards
    int failure = 0;
    QStringList heard;     // every line the unit received that is not a record
    int opens = 0;         // how often the unit saw its port opened
    bool port_left_open = false;
    bool same_unit_next = false;  // the next run talks to the same unit, else to a fresh one
    int read_timeouts = 0;        // reads the run sat through in vain
};

// The program's own view of the port: an open port takes a write of nothing.
bool port_open_in_program() { return runtime::ComWrt(kComPort, nullptr, 0) == 0; }

}  // namespace

Q_DECLARE_METATYPE(FailedRun)

class Rs232Test : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QTemporaryDir ports_;
    QString firmware_;       // CRLF line ends
    QString lf_firmware_;
    QString code_tests_;     // with two code test lines
    QString long_comment_;   // a comment line of three pieces
    QString long_records_;   // records of 77 characters
    QString bad_checksum_;   // one record the unit refuses
    QString end_only_;       // nothing but the end-of-file record

    QStringList unit_args(const QStringList& extra = {}) const {
        return e2e::sim_time_scale_args(kTestScale) +
               QStringList{"--serial-dir", ports_.path(), "--com", QString::number(kComPort)} + extra;
    }

    static void prepare(e2e::Operator& op, const QString& hex, const QString& password = kPassword) {
        op.choose_bus(ids::MENUBAR_BUSSELEC_SERIAL);
        op.choose_file(hex);
        op.type_password(password.toLatin1().constData());
    }

    // A run that went all the way, as the panel and the unit show it.
    static void expect_complete(const e2e::Operator& op, SimProcess& sim, const QString& hex) {
        QCOMPARE(orvex::failure, 0);
        QCOMPARE(op.progress(), 100);
        QCOMPARE(op.revision_after(), QStringLiteral("V8.20"));
        QCOMPARE(op.messages(), op.revision_before() != op.revision_after() ? kOkTest : QString());
        QVERIFY(!port_open_in_program());
        QVERIFY(!held_open(hex));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
        QString verdict;
        QVERIFY2(sim.verifyFlash(hex, &verdict), qPrintable(verdict));
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid() && ports_.isValid());
        qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
        firmware_ = e2e::make_hex(files_, "firmware.hex", kRecords);
        lf_firmware_ = e2e::make_hex(files_, "lf.hex", kRecords, {"--line-end", "lf"});
        code_tests_ = e2e::make_hex(files_, "tests.hex", kRecords, {"--test-lines", "2"});
        long_comment_ = e2e::make_hex(files_, "comment.hex", kRecords);
        long_records_ = e2e::make_hex(files_, "long.hex", kRecords, {"--data-bytes", "32"});
        bad_checksum_ = e2e::make_hex(files_, "checksum.hex", kRecords);
        end_only_ = e2e::make_hex(files_, "end.hex", 0);
        for (const QString& path : {firmware_, lf_firmware_, code_tests_, long_comment_, long_records_,
                                    bad_checksum_, end_only_})
            QVERIFY(!path.isEmpty());

        std::vector<QByteArray> lines = file_lines(long_comment_);
        lines.insert(lines.begin() + kRecords / 2, "; " + QByteArray(150, '=') + "\r\n");
        QVERIFY(write_lines(long_comment_, lines));

        lines = file_lines(bad_checksum_);
        QByteArray& victim = lines[kRecords / 2];
        const qsizetype last_digit = without_line_end(victim).size() - 1;
        victim[last_digit] = victim[last_digit] == '0' ? '1' : '0';
        QVERIFY(write_lines(bad_checksum_, lines));
    }

    void init() { e2e::set_time_scale(kTestScale); }
    void cleanup() { e2e::set_time_scale(1.0); }

    // The one run at the unit's own pace.
    void realTimeUpload() {
        e2e::set_time_scale(1.0);
        SimProcess sim;
        QVERIFY2(sim.start({"--serial-dir", ports_.path()}), qPrintable(sim.errorString()));
        e2e::Operator op;
        prepare(op, firmware_);
        op.start();

        QCOMPARE(op.revision_before(), QStringLiteral("V8.10"));
        QCOMPARE(op.revision_after(), QStringLiteral("V8.20"));
        QCOMPARE(op.model(), QStringLiteral("ZRA 12-34"));
        QCOMPARE(op.serial_number(), QStringLiteral("A123"));
        QCOMPARE(op.messages(), kOkTest);
        QCOMPARE(op.progress(), 100);
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));

        const QJsonObject record = sim.record();
        QCOMPARE(commands_of(record), kUpToErase + kAfterFile);
        QCOMPARE(record["records"].toObject()["accepted"].toInt(), kRecords + 1);
        QCOMPARE(record["records"].toObject()["invalid"].toInt(), 0);
        QCOMPARE(record["serialPort"].toObject()["repliesLostWhileClosed"].toInt(), 0);
        QString verdict;
        QVERIFY2(sim.verifyFlash(firmware_, &verdict), qPrintable(verdict));

        // Opened; closed and opened again twice while programming, at the
        // pieces where the progress first passes 33 % and 67 %; closed after
        // EXIT for the unit's restart and opened for the second
        // identification; closed by the release.
        const QJsonArray events = port_events_of(record);
        QCOMPARE(events.size(), 8);
        const Reopenings reopenings = reopenings_of(firmware_);
        QVERIFY(reopenings.thresholds_met_exactly);
        const std::vector<int>& reopen_at = reopenings.records_at;
        QCOMPARE(int(reopen_at.size()), 2);
        const int records_at[] = {0, reopen_at[0], reopen_at[0], reopen_at[1], reopen_at[1],
                                  kRecords + 1, kRecords + 1, kRecords + 1};
        for (int i = 0; i < events.size(); ++i) {
            const QJsonObject event = events[i].toObject();
            QCOMPARE(event["event"].toString(), QString(i % 2 == 0 ? "open" : "close"));
            QCOMPARE(event["records"].toInt(), records_at[i]);
            QCOMPARE(event["programming"].toBool(), i >= 1 && i <= 4);
            QCOMPARE(event["exits"].toInt(), i >= 5 ? 1 : 0);
        }
        const auto closed_ms = [&](int close) {
            return events[close + 1].toObject()["atMs"].toInteger() - events[close].toObject()["atMs"].toInteger();
        };
        // 0.5 s before each re-opening, 10 s for the restart; generous for a
        // unit that notices a close late on a busy machine.
        QVERIFY2(closed_ms(1) >= 250 && closed_ms(3) >= 250,
                 qPrintable(QStringLiteral("%1 ms, %2 ms").arg(closed_ms(1)).arg(closed_ms(3))));
        QVERIFY2(closed_ms(5) >= 9000, qPrintable(QString::number(closed_ms(5))));
    }

    // Successful runs over files and units of every shape the sequence
    // treats differently.
    void completeUploads_data() {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<QStringList>("unit");
        QTest::addColumn<int>("reopenings");
        QTest::addColumn<bool>("imageAccepted");
        QTest::addColumn<int>("readTimeouts");  // reads that wait in vain, and how often

        QTest::newRow("CRLF line ends") << firmware_ << QStringList() << 2 << true << 0;
        QTest::newRow("LF line ends") << lf_firmware_ << QStringList() << 2 << true << 0;
        // Sent in three pieces, none of which awaits a reply.
        QTest::newRow("long comment line") << long_comment_ << QStringList() << 2 << true << 0;
        QTest::newRow("code tests") << code_tests_ << QStringList() << 2 << true << 0;
        // A short answer draws a second read, which finds nothing and fails nothing.
        QTest::newRow("short code test answers") << code_tests_ << QStringList{"--test-reply", "OK\\r\\n"} << 2
                                                 << true << 2;
        // The second read takes the second line at once.
        QTest::newRow("code test answers of two lines")
            << code_tests_ << QStringList{"--test-reply", "OK\\r\\nDONE\\r\\n"} << 2 << true << 0;
        // 255 bytes before the line feed: the reply fills the reply buffer
        // up to its terminator, and its line feed is taken with it.
        QTest::newRow("identification filling the reply buffer")
            << firmware_ << QStringList{"--idn-length", "256"} << 2 << true << 0;
        // The unit answers a bad record with NAK: any byte acknowledges it,
        // the run goes on, and the unit keeps its old firmware.
        QTest::newRow("refused record still acknowledged") << bad_checksum_ << QStringList() << 2 << false << 0;
        // The only piece and the end of the file cross 33 % and 67 % in one step.
        QTest::newRow("end-of-file record alone") << end_only_ << QStringList() << 1 << true << 0;
    }
    void completeUploads() {
        QFETCH(QString, hex);
        QFETCH(QStringList, unit);
        QFETCH(int, reopenings);
        QFETCH(bool, imageAccepted);
        QFETCH(int, readTimeouts);

        SimProcess sim;
        QVERIFY2(sim.start(unit_args(unit)), qPrintable(sim.errorString()));
        e2e::Operator op;
        prepare(op, hex);
        QElapsedTimer clock;
        clock.start();
        op.start();
        const double floor_s =
            kCompleteRunPauses_s + reopenings * kReopeningPauses_s + readTimeouts * kReadTimeout_s;
        const double floor_ms = floor_s * kTestScale * 1000;
        QVERIFY2(clock.elapsed() >= floor_ms, qPrintable(QString::number(clock.elapsed())));

        QCOMPARE(orvex::failure, 0);
        QCOMPARE(op.progress(), 100);
        QCOMPARE(op.revision_before(), QStringLiteral("V8.10"));
        QCOMPARE(op.revision_after(), QString(imageAccepted ? "V8.20" : "V8.10"));
        QCOMPARE(op.messages(), imageAccepted ? kOkTest : QString());
        QVERIFY(!port_open_in_program());
        QVERIFY(!held_open(hex));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));

        const QJsonObject record = sim.record();
        QCOMPARE(commands_of(record), kUpToErase + non_record_lines(hex) + kAfterFile);
        const QJsonObject records = record["records"].toObject();
        QCOMPARE(records["accepted"].toInt() + records["invalid"].toInt(), record_count(hex));
        QCOMPARE(records["invalid"].toInt(), imageAccepted ? 0 : 1);
        QCOMPARE(opens_of(record), 2 + reopenings);
        QCOMPARE(record["serialPort"].toObject()["closes"].toInt(), 2 + reopenings);
        QString verdict;
        QCOMPARE(sim.verifyFlash(hex, &verdict), imageAccepted);
    }

    // Each way a run can end early: what the operator sees, what the unit
    // heard, whether the port is left open, and that the next run on the
    // same port succeeds, with the same unit or with a fresh one.
    void failedRuns_data() {
        QTest::addColumn<FailedRun>("run");
        const QString missing = files_.filePath("missing.hex");
        const QStringList released = kUpToPassword + QStringList{"DIAG:PRG", "syst:rem 0"};
        const QStringList identified = {"*RST", "*IDN?"};
        const QString wrong_password = QStringLiteral("WRONG");
        const QString last_record = QString::number(kRecords + 1);  // the end-of-file record

        const std::pair<const char*, FailedRun> runs[] = {
            {"no identification",
             {{"--silent", "idn@1"}, firmware_, kPassword, kNoReply, 1, identified, 1, true, true, 1}},
            {"model not to be updated",
             {{"--family", "ZR"}, firmware_, kPassword, kWrongModel, 1, identified, 1, true, false, 0}},
            {"revision too old",
             {{"--revision", "V7.90"}, firmware_, kPassword, kWrongModel, 1, identified, 1, true, false, 0}},
            {"no password reply",
             {{"--silent", "stat@1"}, firmware_, kPassword, kNoReply, 1, kUpToPassword, 1, true, true, 1}},
            {"password refused",
             {{}, firmware_, wrong_password, kTwelveBlanks, 1,
              QStringList{"*RST", "*IDN?", ":SYST:PASS:CEN WRONG", ":syst:pass:stat?"}, 1, true, true, 0}},
            {"file cannot be opened",
             {{}, missing, kPassword, kTwelveBlanks, 0, kUpToPassword, 1, true, true, 0}},
            {"programming reply of 5 bytes",
             {{"--prg-reply", "READ\\r\\n"}, firmware_, kPassword, "", 0, released, 1, false, false, 0}},
            {"programming reply of 7 bytes",
             {{"--prg-reply", "READYY\\r\\n"}, firmware_, kPassword, "", 0, released, 1, false, false, 0}},
            {"no programming reply",
             {{"--silent", "prg@1"}, firmware_, kPassword, "", 0, released, 1, false, true, 1}},
            {"no erase reply",
             {{"--silent", "erase@1"}, firmware_, kPassword, kEraseFailed, 1, kUpToErase, 1, true, true, 1}},
            // Nothing is programmed, but the unit still leaves programming
            // mode, restarts and is identified again before its release.
            {"erase refused",
             {{"--erase-reply", "1\\r\\n"}, firmware_, kPassword, "", 0, kUpToErase + kAfterFile, 2, false, false,
              0}},
            {"record never acknowledged",
             {{"--no-ack", "5"}, firmware_, kPassword, kNoReply, 1, kUpToErase + QStringList{"syst:rem 0"}, 1, false,
              true, 5}},
            // The unit acknowledges a record at its line feed, while the
            // sequence awaits the acknowledgment after the record's first
            // piece: records longer than one piece cannot be loaded over
            // RS-232. The release then completes the cut record and is lost.
            {"record longer than one piece",
             {{}, long_records_, kPassword, kNoReply, 1, kUpToErase, 1, false, true, 5}},
            // The port disappears with the unit; the re-opening at 33 % fails.
            {"unit vanishes while programming",
             {{"--drop-after", "5", "--serial-drop", "close"}, firmware_, kPassword, kIncorrectReply, 1, kUpToErase,
              1, false, false, 0}},
            // All re-openings are behind; the one after EXIT fails, which the
            // sequence passes over without a message.
            {"unit vanishes after the last record",
             {{"--drop-after", last_record, "--serial-drop", "close"}, firmware_, kPassword, "", 0, kUpToErase, 3,
              false, false, 0}},
            {"no second identification",
             {{"--silent", "idn@2"}, firmware_, kPassword, kNoReply, 1, kUpToErase + QStringList{"EXIT", "*IDN?"}, 4,
              true, true, 1}},
        };
        for (const auto& [name, run] : runs) QTest::newRow(name) << run;
    }
    void failedRuns() {
        QFETCH(FailedRun, run);

        SimProcess sim;
        QVERIFY2(sim.start(unit_args(run.unit)), qPrintable(sim.errorString()));
        e2e::Operator op;
        prepare(op, run.hex, run.password);
        QElapsedTimer clock;
        clock.start();
        op.start();

        QCOMPARE(op.messages(), run.message);
        QCOMPARE(orvex::failure, run.failure);
        QCOMPARE(op.password_message_shown(), run.password != kPassword);
        QCOMPARE(op.file_panel_shown(), !QFileInfo::exists(run.hex));
        QCOMPARE(port_open_in_program(), run.port_left_open);
        QVERIFY(!held_open(run.hex));
        // A unit that fails or vanishes ends the run within the sequence's
        // own time-outs (at most five 10 s acknowledgment waits and the
        // pauses), never in a hang.
        QVERIFY2(clock.elapsed() < 120000 * kTestScale + 20000, qPrintable(QString::number(clock.elapsed())));
        // A record's acknowledgment is awaited five times, every other reply once.
        QVERIFY2(clock.elapsed() >= run.read_timeouts * kReadTimeout_s * kTestScale * 1000,
                 qPrintable(QString::number(clock.elapsed())));

        const bool heard_all = sim.waitForRecord(
            [&](const QJsonObject& r) { return commands_of(r) == run.heard && opens_of(r) == run.opens; },
            kRecordLimit);
        QVERIFY2(heard_all, qPrintable(commands_of(sim.record()).join(" | ") +
                                       QStringLiteral(" / opens %1").arg(opens_of(sim.record()))));
        // After a refused erase no record was sent, and the unit was still
        // identified a second time.
        if (run.heard.endsWith(kAfterFile.last()) && run.heard.contains(kAfterFile.first())) {
            QCOMPARE(serial_of(sim.record())["records"].toInt(), 0);
            QCOMPARE(op.revision_after(), QStringLiteral("V8.10"));
        }

        op.dismiss_file_panel();
        if (!run.same_unit_next) {
            QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
            QVERIFY2(sim.start(unit_args()), qPrintable(sim.errorString()));
        }
        prepare(op, firmware_);
        op.start();
        expect_complete(op, sim, firmware_);
    }

    // No unit on the port: nothing to open. Once one is attached, the same
    // port works.
    void portMissingThenAttached() {
        QVERIFY(!QFileInfo(QDir(ports_.path()).filePath("COM1")).isSymLink());
        e2e::Operator op;
        prepare(op, firmware_);
        op.start();
        QCOMPARE(op.messages(), kNoPort);
        QCOMPARE(orvex::failure, 1);
        QVERIFY(!port_open_in_program());
        QCOMPARE(op.revision_before(), QString());

        SimProcess sim;
        QVERIFY2(sim.start(unit_args()), qPrintable(sim.errorString()));
        op.start();
        expect_complete(op, sim, firmware_);
    }
};

QTEST_MAIN(Rs232Test)
#include "test_rs232.moc"
