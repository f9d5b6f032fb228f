// Unattended lines end to end, with the real executable and no display: batch
// retries against the unit simulator (which outcomes another run may mend, the
// pauses between attempts, a stop during one) and the update record read back
// with --history.
#include <QtTest>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>

#include <csignal>

#include "fixture.h"

using namespace orvex::test;

Q_DECLARE_METATYPE(orvex::test::Bus)

namespace {

constexpr int kFirmwareRecords = 200;

// One field of every record line, in file order.
QStringList each(const QList<QJsonObject>& records, const char* name) {
    QStringList values;
    for (const QJsonObject& record : records) values << record[name].toVariant().toString();
    return values;
}

int heard_count(const Unit& sim, const QString& prefix) {
    int count = 0;
    for (const QString& command : sim.heard_anywhere()) count += command.startsWith(prefix) ? 1 : 0;
    return count;
}

// When the uploader opened the unit's serial port, in the simulator's ms.
QList<qint64> serial_opens(const Unit& sim) {
    QList<qint64> opens;
    for (const QJsonValue event : sim.record()["serialPort"].toObject()["events"].toArray())
        if (event["event"].toString() == "open") opens << event["atMs"].toInteger();
    return opens;
}

// A record with runs of three units, a line of junk and a line cut short.
// B456's run is written after A123's first attempt but began before it. (The
// cut line is no raw string: moc takes its lone quote for an open one.)
const QByteArray kHistoryRecord =
    R"({"attempt":1,"bus":"LAN","duration_s":12.34,"file":"/fw/FW_V820.HEX","file_sha256":"3b2712edae0923e4235008cd1162d1d3617e252d97b5a7798151031e75adbf37","file_size":9013,"message":"Data to Flash Failed","model":"ZRA 12-34","outcome":"failed-after-erase","resource":"TCPIP0::192.168.1.10::5025::SOCKET","revision_after":"","revision_before":"V8.10","serial_number":"A123","time":"2026-12-07T01:52:30.123Z"})"
    "\n"
    R"({"attempt":1,"bus":"RS-232","duration_s":61,"file":"/fw/FW_V820.HEX","file_sha256":"3b2712edae0923e4235008cd1162d1d3617e252d97b5a7798151031e75adbf37","file_size":9013,"message":"OK TEST","model":"ZRA 20-10","outcome":"updated","resource":"ASRL3::INSTR","revision_after":"V8.20","revision_before":"V8.10","serial_number":"B456","time":"2026-12-07T01:50:00.000Z"})"
    "\n"
    "this is no record\n"
    R"({"attempt":2,"bus":"LAN","duration_s":40.05,"file":"/fw/FW_V820.HEX","file_sha256":"3b2712edae0923e4235008cd1162d1d3617e252d97b5a7798151031e75adbf37","file_size":9013,"message":"OK TEST","model":"ZRA 12-34","outcome":"updated","resource":"TCPIP0::192.168.1.10::5025::SOCKET","revision_after":"V8.20","revision_before":"V8.10","serial_number":"A123","time":"2026-12-07T01:53:10.500Z"})"
    "\n"
    R"({"bus":"IEEE-488","duration_s":3.2,"file":"/fw/old.hex","file_sha256":"","file_size":-1,"message":"Wrong Model/Revision","model":"ZRB 5-5","outcome":"wrong-unit","resource":"GPIB0::6::INSTR","revision_after":"","revision_before":"V7.90","serial_number":"C789","time":"2026-12-06T23:10:00.000Z"})"
    "\n"
    R"({"attempt":1,"bus":"RS-232","duration_s":95.5,"file":"/fw/FW_V810.HEX","file_sha256":"9a0c55e1b2f3aa00112233445566778899aabbccddeeff00112233445566778899","file_size":8800,"message":"OK TEST","model":"ZRA 12-34","outcome":"updated","resource":"ASRL1::INSTR","revision_after":"V8.10","revision_before":"V8.00","serial_number":"A123","time":"2026-11-02T09:00:00.000Z"})"
    "\n"
    "{\"attempt\":1,\"bus\":\"LAN\",\"time\":\"2026-12-07T02:0";

}  // namespace

class UnattendedTest : public QObject {
    Q_OBJECT

    Workbench bench_;
    QString firmware_;
    QString refused_;

private slots:
    void initTestCase() {
        QVERIFY(bench_.dir.isValid());
        firmware_ = Unit::make_hex(bench_.path("firmware.hex"), kFirmwareRecords);
        QVERIFY(!firmware_.isEmpty());
        refused_ = bench_.refused_file();
        QVERIFY(!refused_.isEmpty());
    }

    // Which outcomes another attempt may mend. Each attempt runs from the start
    // (reset, password typed again: a run puts the field back to its default)
    // after the whole pause: 40 s at the test time scale is 2 s, an attempt at
    // the silent unit about half a second (a reset adapter's port is reopened
    // within an attempt). A refused password tried again could lock the unit out.
    void retries_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<Bus>("bus");
        QTest::addColumn<bool>("refusedFile");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("outcomes");        // each attempt's, as recorded
        QTest::addColumn<QByteArrayList>("stderrHolds");  // the last one ends it
        QTest::addColumn<QString>("heard");  // how often the unit heard *RST, *IDN?, the password, ERASE
        QTest::addColumn<int>("pauseMs");    // at least between openings of the serial port
        const QStringList drop = {"--drop-after", "20", "--password", "SECRET"}, four = {"--retries", "3"};
        const QStringList refusal = {"--retries", "3", "--retry-pause", "0"};
        const QByteArray cannot = "; another run cannot mend that\n";
        // clang-format off
        QTest::newRow("RS-232 adapter reset") << drop + QStringList{"--serial-drop", "reset"} << Bus::Rs232 << false << four << 0 << QStringList{"failed-after-erase", "updated"} << QByteArrayList{"Attempt 1 of 4\n", " ended failed-after-erase: Unit Failed To Respond; attempt 2 in 5 s\nAttempt 2 of 4\n", "Attempt 2 of 4 ended updated: OK TEST\n"} << "2 3 2 2" << 0;
        QTest::newRow("LAN connection reset") << drop + QStringList{"--lan-drop", "reset"} << Bus::Lan << false << four << 0 << QStringList{"failed-after-erase", "updated"} << QByteArrayList{"Attempt 1 of 4 ended failed-after-erase: Data to Flash Failed; attempt 2 in 5 s\nAttempt 2 of 4\n", "Attempt 2 of 4 ended updated: OK TEST\n"} << "2 3 2 2" << 0;
        QTest::newRow("silent unit") << QStringList{"--silent", "idn"} << Bus::Rs232 << false << QStringList{"--retries", "2", "--retry-pause", "40"} << 3 << QStringList{"not-reached", "not-reached", "not-reached"} << QByteArrayList{"Attempt 2 of 3 ended not-reached: Unit Failed To Respond; attempt 3 in 40 s\n", "Attempt 3 of 3 ended not-reached: Unit Failed To Respond; no attempt left\n"} << "3 3 0 0" << 1900;
        QTest::newRow("refused password") << QStringList{"--password", "OTHER"} << Bus::Rs232 << false << refusal << 5 << QStringList{"password-refused"} << QByteArrayList{"Attempt 1 of 4\nAttempt 1 of 4 ended password-refused: ERROR - Wrong Password" + cannot} << "1 1 1 0" << 0;
        QTest::newRow("wrong unit") << QStringList{"--family", "ZR"} << Bus::Lan << false << refusal << 4 << QStringList{"wrong-unit"} << QByteArrayList{"Attempt 1 of 4\nWrong Model/Revision\nAttempt 1 of 4 ended wrong-unit: Wrong Model/Revision" + cannot} << "1 1 0 0" << 0;
        QTest::newRow("refused file") << QStringList() << Bus::Gpib << true << refusal << 2 << QStringList{"input-refused"} << QByteArrayList{"HEX File Refused: line 2\n", "\nAttempt 1 of 4 ended input-refused: HEX File Refused: line 2" + cannot} << "0 0 0 0" << 0;
        // clang-format on
    }
    void retries() {
        QFETCH(QStringList, simArgs);
        QFETCH(Bus, bus);
        QFETCH(bool, refusedFile);
        QFETCH(QStringList, options);
        QFETCH(int, exitCode);
        QFETCH(QStringList, outcomes);
        QFETCH(QByteArrayList, stderrHolds);
        QFETCH(QString, heard);
        QFETCH(int, pauseMs);
        Unit sim;
        QVERIFY2(sim.start(simArgs), qPrintable(sim.error()));
        Program program(sim, bench_.home(QTest::currentDataTag()));
        program.env.insert("ORVEX_PASSWORD", "SECRET");
        const Finished run = program.run(program.batch(sim.resource(bus), refusedFile ? refused_ : firmware_,
                                                       QStringList{"--json"} + options));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        for (const QByteArray& line : stderrHolds) QVERIFY2(run.err.contains(line), run.err.constData());
        QVERIFY2(run.err.endsWith(stderrHolds.last()), run.err.constData());
        const QJsonObject json = run.json();
        QCOMPARE(json["exit_code"].toInt(-1), exitCode);
        QCOMPARE(json["attempts"].toInt(), outcomes.size());
        QCOMPARE(json["outcome"].toString(), outcomes.last());
        QCOMPARE(each(program.records(), "outcome"), outcomes);
        QCOMPARE(each(program.records(), "attempt"), QStringList({"1", "2", "3"}).mid(0, outcomes.size()));
        QVERIFY(sim.stop());
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(heard_count(sim, "*RST"))
                     .arg(heard_count(sim, "*IDN?"))
                     .arg(heard_count(sim, ":SYST:PASS:CEN"))
                     .arg(heard_count(sim, "ERASE")),
                 heard);
        const QList<qint64> opens = serial_opens(sim);
        for (int i = 1; i < opens.size(); ++i) {
            const qint64 gap_ms = opens[i] - opens[i - 1];
            QVERIFY2(gap_ms >= pauseMs && gap_ms <= 30000, qPrintable(QString::number(gap_ms)));
        }
        if (exitCode == 0) QVERIFY(sim.expect_flash(firmware_));
    }

    // The pause waits on the stop signal, not through it: 3600 s would be
    // three minutes here. No run is going on, so none is recorded.
    void stopDuringPauseEndsAtOnce_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void stopDuringPauseEndsAtOnce() {
        QFETCH(int, signalNumber);
        Unit sim;
        QVERIFY2(sim.start({"--silent", "idn"}), qPrintable(sim.error()));
        Program uploader(sim, bench_.home(QTest::currentDataTag()));
        uploader.start(uploader.batch(sim.resource(Bus::Rs232), firmware_,
                                      {"--json", "--retries", "3", "--retry-pause", "3600"}));
        QVERIFY(uploader.wait_for_stderr("; attempt 2 in 3600 s\n"));
        QElapsedTimer since_signal;
        since_signal.start();
        uploader.signal(signalNumber);
        const Finished end = uploader.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QVERIFY2(since_signal.elapsed() < 30000, qPrintable(QString::number(since_signal.elapsed())));
        QCOMPARE(end.exit_code, 130);
        QVERIFY2(end.err.endsWith("Stopped before attempt 2 of 4\n"), end.err.constData());
        const QJsonObject json = end.json();
        QCOMPARE(json["exit_code"].toInt(-1), 130);
        QCOMPARE(json["attempts"].toInt(), 1);
        QCOMPARE(json["outcome"].toString(), "not-reached");
        QCOMPARE(each(uploader.records(), "outcome"), QStringList({"not-reached"}));
        QVERIFY(sim.stop());
        QCOMPARE(heard_count(sim, "*RST"), 1);
    }

    // A stop after the erase only warns and lets the run finish; when that run
    // fails, the batch ends there instead of starting another.
    void stopAfterEraseEndsAfterThatAttempt() {
        // Programming lasts seconds at the test time scale over RS-232, so the
        // signal lands well before the drop.
        const QString firmware = Unit::make_hex(bench_.path("long.hex"), 6000);
        QVERIFY(!firmware.isEmpty());
        Unit sim;
        QVERIFY2(sim.start({"--drop-after", "5000", "--serial-drop", "reset"}), qPrintable(sim.error()));
        Program uploader(sim, bench_.home("stop-after-erase"));
        uploader.start(
            uploader.batch(sim.resource(Bus::Rs232), firmware, {"--retries", "3", "--retry-pause", "0"}));
        QVERIFY(sim.wait_for([](const QJsonObject& record) {
            return record["programming"].toBool() && record["records"].toObject()["accepted"].toInt() > 50;
        }));
        uploader.signal(SIGTERM);
        QVERIFY(uploader.wait_for_stderr("leaves it erased"));
        const Finished end = uploader.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 6);
        QVERIFY2(end.err.endsWith("; a stop was asked, so no attempt follows\n"), end.err.constData());
        QCOMPARE(each(uploader.records(), "outcome"), QStringList({"failed-after-erase"}));
        QVERIFY(sim.stop());
        QCOMPARE(heard_count(sim, "*RST"), 1);
    }

    void history_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        // clang-format off
        QTest::newRow("every run, newest first") << QStringList() << 0 << QByteArray(
            "2026-12-07 02:53:10  LAN       TCPIP0::192.168.1.10::5025::SOCKET  ZRA 12-34  A123  V8.10 -> V8.20  updated             FW_V820.HEX  3b2712edae09  40.0 s  attempt 2\n"
            "2026-12-07 02:52:30  LAN       TCPIP0::192.168.1.10::5025::SOCKET  ZRA 12-34  A123  V8.10 -> -      failed-after-erase  FW_V820.HEX  3b2712edae09  12.3 s  attempt 1\n"
            "2026-12-07 02:50:00  RS-232    ASRL3::INSTR                        ZRA 20-10  B456  V8.10 -> V8.20  updated             FW_V820.HEX  3b2712edae09  61.0 s  attempt 1\n"
            "2026-12-07 00:10:00  IEEE-488  GPIB0::6::INSTR                     ZRB 5-5    C789  V7.90 -> -      wrong-unit          old.hex      -             3.2 s   -\n"
            "2026-11-02 10:00:00  RS-232    ASRL1::INSTR                        ZRA 12-34  A123  V8.00 -> V8.10  updated             FW_V810.HEX  9a0c55e1b2f3  95.5 s  attempt 1\n");
        QTest::newRow("by serial number") << QStringList{"a123"} << 0 << QByteArray(
            "2026-12-07 02:53:10  LAN     TCPIP0::192.168.1.10::5025::SOCKET  ZRA 12-34  A123  V8.10 -> V8.20  updated             FW_V820.HEX  3b2712edae09  40.0 s  attempt 2\n"
            "2026-12-07 02:52:30  LAN     TCPIP0::192.168.1.10::5025::SOCKET  ZRA 12-34  A123  V8.10 -> -      failed-after-erase  FW_V820.HEX  3b2712edae09  12.3 s  attempt 1\n"
            "2026-11-02 10:00:00  RS-232  ASRL1::INSTR                        ZRA 12-34  A123  V8.00 -> V8.10  updated             FW_V810.HEX  9a0c55e1b2f3  95.5 s  attempt 1\n");
        QTest::newRow("by resource, written otherwise") << QStringList{"TCPIP::192.168.001.010::SOCKET"} << 0 << QByteArray(
            "2026-12-07 02:53:10  LAN  TCPIP0::192.168.1.10::5025::SOCKET  ZRA 12-34  A123  V8.10 -> V8.20  updated             FW_V820.HEX  3b2712edae09  40.0 s  attempt 2\n"
            "2026-12-07 02:52:30  LAN  TCPIP0::192.168.1.10::5025::SOCKET  ZRA 12-34  A123  V8.10 -> -      failed-after-erase  FW_V820.HEX  3b2712edae09  12.3 s  attempt 1\n");
        QTest::newRow("by GPIB resource") << QStringList{"GPIB0::6::INSTR"} << 0 << QByteArray(
            "2026-12-07 00:10:00  IEEE-488  GPIB0::6::INSTR  ZRB 5-5  C789  V7.90 -> -  wrong-unit  old.hex  -  3.2 s  -\n");
        QTest::newRow("as JSON") << QStringList{"B456", "--json"} << 0 << kHistoryRecord.split('\n').at(1) + '\n';
        QTest::newRow("unknown unit") << QStringList{"Z999"} << 1 << QByteArray();
        // clang-format on
    }
    void history() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, output);
        QFile record(bench_.path("history.jsonl"));
        QVERIFY(record.open(QIODevice::WriteOnly));
        record.write(kHistoryRecord);
        record.close();

        // In a zone one hour east of UTC, all year round.
        const Unit none;
        Program program(none, bench_.home("history"));
        program.env.insert("TZ", "CET-1");
        const Finished run = program.run(QStringList{"--history", "--record", record.fileName()} + arguments);
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        QCOMPARE(run.out, output);
        const QList<QByteArray> complaints = run.err.trimmed().split('\n');
        QCOMPARE(complaints.size(), 2);
        QVERIFY2(complaints[0].endsWith("history.jsonl line 3 is not JSON (illegal value); skipped"),
                 complaints[0].constData());
        QVERIFY2(complaints[1].contains("history.jsonl line 7 is not JSON ("), complaints[1].constData());
    }

    // A line cut short by an earlier writer is ended before the next record, so
    // that record is not lost with it.
    void recordAfterCutLine() {
        const QString path = bench_.path("cut.jsonl");
        QFile record(path);
        QVERIFY(record.open(QIODevice::WriteOnly));
        record.write(kHistoryRecord);
        record.close();
        const Unit none;
        Program program(none, bench_.home("cut"));
        const Finished run =
            program.run(program.batch("ASRL9::INSTR", bench_.path("missing.hex"), {"--record", path}));
        QCOMPARE(run.exit_code, 2);
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = record.readAll().split('\n');
        QCOMPARE(lines.size(), 9);  // the last one empty after the line end
        QCOMPARE(lines[6], QByteArray("{\"attempt\":1,\"bus\":\"LAN\",\"time\":\"2026-12-07T02:0"));
        QCOMPARE(QJsonDocument::fromJson(lines[7]).object()["outcome"].toString(), "input-refused");
        QCOMPARE(lines[8], QByteArray());
    }
};

QTEST_GUILESS_MAIN(UnattendedTest)
#include "test_unattended.moc"
