// Firmware uploads over RS-232: the emulated unit on the far end of a
// pseudo-terminal linked as COM1, in one place for the whole test program, so
// that a fresh unit can replace one the program may still hold open.
#include "rs232_bus.h"
#include "upload_fixture.h"

namespace rs232 = orvex::rs232;

namespace {

// All but the real-time run: a 10 s read time-out becomes 0.5 s, far above
// the unit's answer time even on a loaded machine.
constexpr double kTestScale = 0.05;
constexpr int kComPort = 1;
constexpr int kRecords = 41;

const QString kTwelveBlanks = QString(12, QLatin1Char(' '));
const QString kNoReply = QStringLiteral("Unit Failed To Respond");
const QString kWrongModel = QStringLiteral("Wrong Model/Revision");

const QStringList kUpToPassword = {"*RST", "*IDN?", ":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?"};
const QStringList kUpToErase = kUpToPassword + QStringList{"DIAG:PRG", "ERASE"};
const QStringList kAfterFile = {"EXIT", "*IDN?", "syst:rem 0"};

// A complete run's own pauses (reset, restart, re-opening, release) and
// those around each re-opening while programming.
constexpr double kCompleteRunPauses_s =
    rs232::kResetPause_s + rs232::kExitPortClosed_s + rs232::kAfterExitReopen_s + rs232::kReleasePause_s;
constexpr double kReopeningPauses_s = 2 * rs232::kReopenPause_s;
constexpr double kReadTimeout_s = runtime::kDefaultComTimeout_s;

QStringList heard(const QJsonObject& record) { return e2e::heard(record, "serial"); }
QJsonObject port_of(const QJsonObject& record) { return record["serialPort"].toObject(); }
int opens_of(const QJsonObject& record) { return port_of(record)["opens"].toInt(); }

// An open port takes a write of nothing.
bool port_open_in_program() { return runtime::ComWrt(kComPort, nullptr, 0) == 0; }

struct FailedRun {
    QStringList unit;  // the unit's faults
    QString hex;
    QString password;
    QString message;  // the Messages field afterwards
    int failure = 0;
    QStringList heard;  // every line the unit received that is not a record
    int opens = 0;      // how often the unit saw its port opened
    bool port_left_open = false;
    bool same_unit_next = false;  // the next run talks to the same unit, else to a fresh one
    int read_timeouts = 0;        // reads the run sat through in vain
    bool no_unit = false;         // nothing attached to the port at all
};

}  // namespace

Q_DECLARE_METATYPE(FailedRun)

class Rs232Test : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QTemporaryDir ports_;
    // "firmware" (CRLF), "lf", "tests" (two code test lines), "long" (records of 77 characters),
    // "checksum" (one record the unit refuses), "end" (only the end-of-file record)
    QMap<QString, QString> hex_;
    QString firmware_;

    QStringList unit_args(const QStringList& extra = {}) const {
        return e2e::sim_time_scale_args(kTestScale) +
               QStringList{"--serial-dir", ports_.path(), "--com", QString::number(kComPort)} + extra;
    }

    static void prepare(e2e::Operator& op, const QString& hex, const QString& password = e2e::kPassword) {
        op.choose_bus(ids::MENUBAR_BUSSELEC_SERIAL);
        op.choose_file(hex);
        op.type_password(password);
    }

    // A complete run: panel, port and file closed, flash; with `reopenings`
    // >= 0 the unit served this run only, and its record is checked too.
    static void finish(const e2e::Operator& op, SimProcess& sim, const QString& hex, int reopenings = -1,
                       const QString& before = e2e::kOldRevision) {
        op.expect_updated(before);
        QVERIFY(!port_open_in_program());
        QVERIFY(!e2e::held_open(hex));
        E2E_STOP(sim);
        QString verdict;
        QVERIFY2(sim.verifyFlash(hex, &verdict), qPrintable(verdict));
        if (reopenings < 0) return;
        const QJsonObject record = sim.record();
        QCOMPARE(heard(record), kUpToErase + e2e::non_record_lines(hex) + kAfterFile);
        const QJsonObject records = record["records"].toObject();
        QCOMPARE(records["accepted"].toInt(), e2e::record_count(hex));
        QCOMPARE(records["invalid"].toInt(), 0);
        QCOMPARE(opens_of(record), 2 + reopenings);
        QCOMPARE(port_of(record)["closes"].toInt(), 2 + reopenings);
        QCOMPARE(port_of(record)["repliesLostWhileClosed"].toInt(), 0);
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid() && ports_.isValid());
        qputenv("ORVEX_SERIAL_DIR", ports_.path().toLocal8Bit());
        const std::pair<const char*, QStringList> shapes[] = {{"firmware", {}},
                                                              {"lf", {"--line-end", "lf"}},
                                                              {"tests", {"--test-lines", "2"}},
                                                              {"long", {"--data-bytes", "32"}},
                                                              {"checksum", {}},
                                                              {"end", {}}};
        for (const auto& [name, args] : shapes) {
            hex_[name] = e2e::make_hex(files_, QString(name) + ".hex",
                                       name == QLatin1String("end") ? 0 : kRecords, args);
            QVERIFY(!hex_[name].isEmpty());
        }
        firmware_ = hex_["firmware"];
        std::vector<QByteArray> lines = e2e::file_lines(hex_["checksum"]);
        QByteArray& victim = lines[kRecords / 2];
        const qsizetype last_digit = e2e::without_line_end(victim).size() - 1;
        victim[last_digit] = victim[last_digit] == '0' ? '1' : '0';
        QVERIFY(e2e::write_lines(hex_["checksum"], lines));
    }

    void init() { e2e::set_time_scale(kTestScale); }
    void cleanup() { e2e::set_time_scale(1.0); }

    // The one run at the unit's own pace.
    void realTimeUpload() {
        e2e::set_time_scale(1.0);
        SimProcess sim;
        E2E_START(sim, QStringList({"--serial-dir", ports_.path()}));
        e2e::Operator op;
        prepare(op, firmware_);
        op.start();
        finish(op, sim, firmware_, 2);

        // Opened; closed and opened again twice while programming, once the
        // progress passed 33 % and 67 %; closed after EXIT for the unit's
        // restart and opened for the second identification; closed by the release.
        const QJsonArray events = port_of(sim.record())["events"].toArray();
        QCOMPARE(events.size(), 8);
        for (int i = 0; i < events.size(); ++i) {
            const QJsonObject event = events[i].toObject();
            QCOMPARE(event["event"].toString(), QString(i % 2 == 0 ? "open" : "close"));
            QCOMPARE(event["programming"].toBool(), i >= 1 && i <= 4);
            QCOMPARE(event["exits"].toInt(), i >= 5 ? 1 : 0);
        }
        const auto records_at = [&](int i) { return events[i].toObject()["records"].toInt(); };
        QVERIFY(records_at(1) > kRecords / 3 - 2 && records_at(1) < kRecords / 2);
        QVERIFY(records_at(3) > 2 * kRecords / 3 - 2 && records_at(3) < 5 * kRecords / 6);
        const auto closed_ms = [&](int close) {
            return events[close + 1].toObject()["atMs"].toInteger() -
                   events[close].toObject()["atMs"].toInteger();
        };
        // 0.5 s before each re-opening, 10 s for the restart; generous.
        QVERIFY2(closed_ms(1) >= 250 && closed_ms(3) >= 250,
                 qPrintable(QStringLiteral("%1 ms, %2 ms").arg(closed_ms(1)).arg(closed_ms(3))));
        QVERIFY2(closed_ms(5) >= 9000, qPrintable(QString::number(closed_ms(5))));
    }

    void completeUploads_data() {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<QStringList>("unit");
        QTest::addColumn<int>("reopenings");
        QTest::addColumn<int>("readTimeouts");  // reads that wait in vain

        QTest::newRow("CRLF line ends") << firmware_ << QStringList() << 2 << 0;
        QTest::newRow("LF line ends") << hex_["lf"] << QStringList() << 2 << 0;
        QTest::newRow("code tests") << hex_["tests"] << QStringList() << 2 << 0;
        // A short answer draws a second read, which finds nothing and fails nothing.
        QTest::newRow("short code test answers")
            << hex_["tests"] << QStringList{"--test-reply", "OK\\r\\n"} << 2 << 2;
        // The second read takes the second line at once.
        QTest::newRow("code test answers of two lines")
            << hex_["tests"] << QStringList{"--test-reply", "OK\\r\\nDONE\\r\\n"} << 2 << 0;
        // 255 bytes and the line feed fill the reply buffer up to its terminator.
        QTest::newRow("identification filling the reply buffer")
            << firmware_ << QStringList{"--idn-length", "256"} << 2 << 0;
    }
    void completeUploads() {
        QFETCH(QString, hex);
        QFETCH(QStringList, unit);
        QFETCH(int, reopenings);
        QFETCH(int, readTimeouts);

        SimProcess sim;
        E2E_START(sim, unit_args(unit));
        e2e::Operator op;
        prepare(op, hex);
        const runtime::LowLatencyRequests before = runtime::LowLatencyRequestCount();
        const qint64 run_ms = op.start();
        const double floor_s =
            kCompleteRunPauses_s + reopenings * kReopeningPauses_s + readTimeouts * kReadTimeout_s;
        QVERIFY2(run_ms >= floor_s * kTestScale * 1000, qPrintable(QString::number(run_ms)));
        // Low latency was asked at every opening (first, re-openings, after
        // EXIT); the pseudo-terminal refused each time, and the run went on.
        QCOMPARE(runtime::LowLatencyRequestCount().asked - before.asked, 2 + reopenings);
        QCOMPARE(runtime::LowLatencyRequestCount().granted, before.granted);
        finish(op, sim, hex, reopenings);
    }

    // Each way a run can end early, and a next run on the same port that
    // succeeds, with the same unit or with a fresh one.
    void failedRuns_data() {
        QTest::addColumn<FailedRun>("run");
        const QString pw = e2e::kPassword;
        const QStringList released = kUpToPassword + QStringList{"DIAG:PRG", "syst:rem 0"};
        const QStringList identified = {"*RST", "*IDN?"};

        const std::pair<const char*, FailedRun> runs[] = {
            {"port missing", {{}, firmware_, pw, "Failed To Get Com Port", 1, {}, 0, false, false, 0, true}},
            {"no identification",
             {{"--silent", "idn@1"}, firmware_, pw, kNoReply, 1, identified, 1, true, true, 1}},
            {"model not to be updated",
             {{"--family", "ZR"}, firmware_, pw, kWrongModel, 1, identified, 1, true}},
            {"revision too old",
             {{"--revision", "V7.90"}, firmware_, pw, kWrongModel, 1, identified, 1, true}},
            {"no password reply",
             {{"--silent", "stat@1"}, firmware_, pw, kNoReply, 1, kUpToPassword, 1, true, true, 1}},
            {"password refused",
             {{},
              firmware_,
              "WRONG",
              kTwelveBlanks,
              1,
              QStringList{"*RST", "*IDN?", ":SYST:PASS:CEN WRONG", ":syst:pass:stat?"},
              1,
              true,
              true}},
            {"programming reply of 5 bytes",
             {{"--prg-reply", "READ\\r\\n"}, firmware_, pw, "", 0, released, 1}},
            {"programming reply of 7 bytes",
             {{"--prg-reply", "READYY\\r\\n"}, firmware_, pw, "", 0, released, 1}},
            {"no programming reply",
             {{"--silent", "prg@1"}, firmware_, pw, "", 0, released, 1, false, true, 1}},
            {"no erase reply",
             {{"--silent", "erase@1"}, firmware_, pw, "Erase Failed", 1, kUpToErase, 1, true, true, 1}},
            // Nothing programmed, but EXIT, restart and identification follow.
            {"erase refused",
             {{"--erase-reply", "1\\r\\n"}, firmware_, pw, "", 0, kUpToErase + kAfterFile, 2}},
            {"record never acknowledged",
             {{"--no-ack", "5"},
              firmware_,
              pw,
              kNoReply,
              1,
              kUpToErase + QStringList{"syst:rem 0"},
              1,
              false,
              true,
              5}},
            // The port disappears with the unit: the next record cannot go out.
            {"unit vanishes while programming",
             {{"--drop-after", "5", "--serial-drop", "close"}, firmware_, pw, kNoReply, 1, kUpToErase, 1}},
            {"no second identification",
             {{"--silent", "idn@2"},
              firmware_,
              pw,
              kNoReply,
              1,
              kUpToErase + QStringList{"EXIT", "*IDN?"},
              4,
              true,
              true,
              1}},
        };
        for (const auto& [name, run] : runs) QTest::newRow(name) << run;
    }
    void failedRuns() {
        QFETCH(FailedRun, run);

        SimProcess sim;
        if (run.no_unit)
            QVERIFY(!QFileInfo(QDir(ports_.path()).filePath("COM1")).isSymLink());
        else
            E2E_START(sim, unit_args(run.unit));
        e2e::Operator op;
        prepare(op, run.hex, run.password);
        const qint64 run_ms = op.start();

        QCOMPARE(op.messages(), run.message);
        QCOMPARE(orvex::run.failure, run.failure);
        QCOMPARE(op.password_message_shown(), run.password != e2e::kPassword);
        QVERIFY(!op.file_panel_shown());
        QCOMPARE(port_open_in_program(), run.port_left_open);
        QVERIFY(!e2e::held_open(run.hex));
        // Within five 10 s acknowledgment waits and the pauses, never a
        // hang; yet every vain read waits its time-out.
        QVERIFY2(run_ms < 120000 * kTestScale + 20000, qPrintable(QString::number(run_ms)));
        QVERIFY2(run_ms >= run.read_timeouts * kReadTimeout_s * kTestScale * 1000,
                 qPrintable(QString::number(run_ms)));

        if (!run.no_unit) {
            E2E_WAIT_RECORD(sim, heard(r) == run.heard && opens_of(r) == run.opens);
            // After a refused erase no record was sent.
            if (run.heard.contains("EXIT") && run.heard.endsWith("syst:rem 0")) {
                QCOMPARE(e2e::link_of(sim.record(), "serial")["records"].toInt(), 0);
                QCOMPARE(op.revision_after(), e2e::kOldRevision);
            }
        }

        op.dismiss_file_panel();
        if (!run.same_unit_next) {
            E2E_STOP(sim);
            E2E_START(sim, unit_args());
        }
        prepare(op, firmware_);
        op.start();
        const bool updated = run.same_unit_next && run.heard.contains("EXIT");
        finish(op, sim, firmware_, -1, updated ? e2e::kNewRevision : e2e::kOldRevision);
    }

    // Inputs refused before the port is opened; the files that once streamed
    // long or bad lines to the unit are among them.
    void refusedInputs_data() {
        e2e::add_refusal_rows(files_);
        QTest::newRow("77-character records") << e2e::refused_long_line(hex_["long"]);
        QTest::newRow("record with a bad checksum")
            << e2e::refused_line(hex_["checksum"], kRecords / 2 + 1, {});
        QTest::newRow("end-of-file record alone")
            << e2e::refused_file(hex_["end"], "no data record", "holds no data record");
    }
    void refusedInputs() {
        QFETCH(e2e::Refusal, refusal);
        SimProcess sim;
        E2E_START(sim, unit_args());
        e2e::Operator op;
        prepare(op, firmware_);
        op.expect_refused(refusal);
        QVERIFY(!port_open_in_program());
        e2e::expect_untouched(sim);
    }

    // The USB adapter resets while records stream: its port goes away and a
    // new one takes the COM link. Records may have been lost, so the run
    // fails; a new run then programs the unit whole.
    void adapterResetWhileProgramming() {
        SimProcess sim;
        E2E_START(sim, unit_args({"--drop-after", "5", "--serial-drop", "reset"}));
        const QString adapter = QFileInfo(sim.serialPath()).symLinkTarget();
        e2e::Operator op;
        prepare(op, firmware_);
        op.start();
        QCOMPARE(op.messages(), kNoReply);
        QCOMPARE(orvex::run.failure, 1);
        QCOMPARE(orvex::last_outcome, orvex::Outcome::FailedAfterErase);
        QCOMPARE(op.revision_after(), QString());
        QVERIFY(op.progress() < 100);
        QVERIFY(!port_open_in_program());
        QVERIFY(!e2e::held_open(firmware_));
        E2E_WAIT_RECORD(sim, port_of(r)["adapterResets"].toInt() == 1);
        QCOMPARE(heard(sim.record()), kUpToErase);
        // The operator waits until the adapter's new device is there.
        const auto replaced = [&] {
            const QString now = QFileInfo(sim.serialPath()).symLinkTarget();
            return !now.isEmpty() && now != adapter && QFileInfo::exists(now);
        };
        QTRY_VERIFY_WITH_TIMEOUT(replaced(), int(e2e::kRecordLimit.count()));

        prepare(op, firmware_);
        op.start();
        QCOMPARE(orvex::last_outcome, orvex::Outcome::Updated);
        finish(op, sim, firmware_);
    }
};

QTEST_MAIN(Rs232Test)
#include "test_rs232.moc"