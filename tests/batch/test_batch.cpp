// Batch and inventory modes end to end: the real executable with no display,
// against the unit simulator on every bus; exit codes, JSON, the update
// record, stderr, and what the unit heard.
#include <QtTest>

#include <QJsonArray>

#include "fixture.h"

using namespace orvex::test;

namespace {

constexpr int kFirmwareRecords = 200;

// How the unit was left: port opened/closed, interface clears, board online, lock events.
QString left_as(const QJsonObject& record) {
    QStringList locks;
    for (const QJsonValue& event : record["lan"].toObject()["lockEvents"].toArray())
        locks << event.toObject()["event"].toString();
    return QStringLiteral("port %1/%2 clears %3 online %4 lock %5")
        .arg(record["serialPort"].toObject()["opens"].toInt())
        .arg(record["serialPort"].toObject()["closes"].toInt())
        .arg(record["gpib"].toObject()["interfaceClears"].toInt())
        .arg(record["gpib"].toObject()["connected"].toInt())
        .arg(locks.join(','));
}

Bus bus_of(const QString& name) { return name == "LAN" ? Bus::Lan : name == "GPIB" ? Bus::Gpib : Bus::Rs232; }

}  // namespace

class BatchTest : public QObject {
    Q_OBJECT

    Workbench bench_;
    QString firmware_;

private slots:
    void initTestCase() {
        QVERIFY(bench_.dir.isValid());
        firmware_ = Unit::make_hex(bench_.path("firmware.hex"), kFirmwareRecords);
        QVERIFY(!firmware_.isEmpty());
        QVERIFY(QDir(bench_.dir.path()).mkpath("folder.hex"));
        QVERIFY(!bench_.refused_file().isEmpty());
    }

    // Each resource form reaches the unit; JSON and record tell the same run.
    void updates_data() {
        QTest::addColumn<QString>("resource");  // %1: the unit's address, %2: its serial device
        QTest::addColumn<QString>("busText");
        // clang-format off
        QTest::newRow("ASRL1") << "ASRL1::INSTR" << "RS-232";
        QTest::newRow("ASRL device path") << "ASRL%2::INSTR" << "RS-232";
        QTest::newRow("GPIB") << "GPIB0::6::INSTR" << "IEEE-488";
        QTest::newRow("TCPIP0 socket") << "TCPIP0::%1::5025::SOCKET" << "LAN";
        QTest::newRow("TCPIP short") << "TCPIP::%1::SOCKET" << "LAN";
        // clang-format on
    }
    void updates() {
        QFETCH(QString, resource);
        QFETCH(QString, busText);
        Unit unit;
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        resource.replace("%1", unit.lan_address()).replace("%2", unit.serial_path());
        Program program(unit, bench_.home(QTest::currentDataTag()));
        const Finished run = program.run(program.batch(resource, firmware_, {"--json"}));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, 0);
        QVERIFY(unit.stop());
        QString verdict;
        QVERIFY2(unit.expect_flash(firmware_, &verdict), qPrintable(verdict));

        const QJsonObject json = run.json();
        const std::pair<const char*, QString> fields[] = {
            {"outcome", "updated"},       {"message", "OK TEST"},      {"bus", busText},
            {"resource", resource},       {"model", "ZRA 12-34"},      {"serial_number", "A123"},
            {"revision_before", "V8.10"}, {"revision_after", "V8.20"}, {"file", firmware_}};
        for (const auto& [field, value] : fields) QCOMPARE(json[field].toString(), value);
        QCOMPARE(json["exit_code"].toInt(-1), 0);
        QCOMPARE(json["file_size"].toInteger(), QFileInfo(firmware_).size());
        QFile file(firmware_);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(json["file_sha256"].toString().toLatin1(),
                 QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
        QVERIFY(json["duration_s"].toDouble() > 0.0);
        QVERIFY(QDateTime::fromString(json["time"].toString(), Qt::ISODateWithMs).isValid());
        QVERIFY(json["time"].toString().endsWith('Z'));

        // The record holds the same run, without the exit code and the count of attempts.
        const QList<QJsonObject> records = program.records();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].keys(),
                 QStringList({"attempt", "bus", "duration_s", "file", "file_sha256", "file_size", "message",
                              "model", "outcome", "resource", "revision_after", "revision_before",
                              "serial_number", "time"}));
        QJsonObject without_exit = json;
        without_exit.remove("exit_code");
        without_exit.remove("attempts");
        QCOMPARE(records[0], without_exit);
    }

    // Exit codes and outcomes of updates (FILE given) and of inventories (no
    // FILE); an inventory writes nothing to the unit and records nothing.
    void exitCodes_data() {
        QTest::addColumn<QStringList>("unitArgs");
        QTest::addColumn<QString>("bus");  // "none": a COM port with nothing behind it
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("heard");  // every command the unit heard, "*" for any
        QTest::addColumn<QString>("left");       // how an inventory left the unit
        const QStringList any = {"*"}, none;
        const QStringList serial_id = {"*IDN?", "syst:rem 0"}, lan_id = {"\\x12", "*IDN?"};
        const QString idle = "port 0/0 clears 0 online 0 lock ";
        const QString port = "port 1/1 clears 0 online 0 lock ", board = "port 0/0 clears 2 online 0 lock ";
        // clang-format off
        QTest::newRow("unchanged") << QStringList{"--new-revision", "V8.10"} << "LAN" << "firmware" << 1 << "unchanged" << any << "";
        QTest::newRow("missing file") << none << "RS-232" << "missing.hex" << 2 << "input-refused" << none << "";
        QTest::newRow("a folder as the file") << none << "RS-232" << "folder.hex" << 2 << "input-refused" << none << "";
        QTest::newRow("silent unit") << QStringList{"--silent", "idn@1"} << "RS-232" << "firmware" << 3 << "not-reached" << any << "";
        QTest::newRow("no port") << none << "none" << "firmware" << 3 << "not-reached" << none << "";
        QTest::newRow("lock denied") << QStringList{"--lock", "deny"} << "LAN" << "firmware" << 3 << "not-reached" << any << "";
        QTest::newRow("wrong model") << QStringList{"--family", "ZR"} << "GPIB" << "firmware" << 4 << "wrong-unit" << any << "";
        QTest::newRow("old revision") << QStringList{"--revision", "V7.90"} << "RS-232" << "firmware" << 4 << "wrong-unit" << any << "";
        QTest::newRow("password") << QStringList{"--password", "OTHER"} << "RS-232" << "firmware" << 5 << "password-refused" << any << "";
        QTest::newRow("erase silent") << QStringList{"--silent", "erase@1"} << "RS-232" << "firmware" << 6 << "failed-after-erase" << any << "";
        QTest::newRow("erase refused, new revision after EXIT") << QStringList{"--erase-reply", "E1\\r\\n", "--boot-revision", "V8.30"} << "GPIB" << "firmware" << 6 << "failed-after-erase" << any << "";
        QTest::newRow("identify: serial") << none << "RS-232" << "" << 0 << "would-update" << serial_id << port;
        QTest::newRow("identify: GPIB") << none << "GPIB" << "" << 0 << "would-update" << QStringList{"*IDN?"} << board;
        QTest::newRow("identify: LAN") << none << "LAN" << "" << 0 << "would-update" << lan_id << idle + "granted,released";
        QTest::newRow("identify: serial, old revision") << QStringList{"--revision", "V7.90"} << "RS-232" << "" << 4 << "wrong-unit" << serial_id << port;
        QTest::newRow("identify: LAN, other maker") << QStringList{"--maker", "ACME"} << "LAN" << "" << 4 << "wrong-unit" << lan_id << idle + "granted,released";
        QTest::newRow("identify: serial, silent") << QStringList{"--silent", "idn@1"} << "RS-232" << "" << 3 << "not-reached" << QStringList{"*IDN?"} << port;
        QTest::newRow("identify: GPIB, silent") << QStringList{"--silent", "idn@1"} << "GPIB" << "" << 3 << "not-reached" << QStringList{"*IDN?"} << "port 0/0 clears 1 online 0 lock ";
        QTest::newRow("identify: LAN, lock denied") << QStringList{"--lock", "deny"} << "LAN" << "" << 3 << "not-reached" << QStringList{"\\x12"} << idle + "denied";
        QTest::newRow("identify: no port") << none << "none" << "" << 3 << "not-reached" << none << idle;
        // clang-format on
    }
    void exitCodes() {
        QFETCH(QStringList, unitArgs);
        QFETCH(QString, bus);
        QFETCH(QString, file);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        QFETCH(QStringList, heard);
        QFETCH(QString, left);
        Unit unit;
        QVERIFY2(unit.start(unitArgs), qPrintable(unit.error()));
        Program program(unit, bench_.home(QTest::currentDataTag()));
        const QString resource = bus == "none" ? QStringLiteral("ASRL9::INSTR") : unit.resource(bus_of(bus));
        const QString path = file == "firmware" ? firmware_ : bench_.path(file);
        const Finished run = program.run(file.isEmpty() ? program.identify(resource, {"--json"})
                                                        : program.batch(resource, path, {"--json"}));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        QCOMPARE(run.json()["outcome"].toString(), outcome);
        QCOMPARE(run.json()["exit_code"].toInt(-1), exitCode);
        QCOMPARE(program.records().size(), file.isEmpty() ? 0 : 1);
        if (!file.isEmpty()) QCOMPARE(program.records()[0]["outcome"].toString(), outcome);
        QVERIFY(unit.stop());
        if (heard != QStringList{"*"}) QCOMPARE(unit.heard_anywhere(), heard);
        if (heard.isEmpty()) QCOMPARE(unit.touches(), QString());
        if (!file.isEmpty()) return;
        QCOMPARE(run.json()["resource"].toString(), resource);
        const QString revision = exitCode == 3 ? "" : unitArgs.contains("V7.90") ? "V7.90" : "V8.10";
        QCOMPARE(run.json()["revision"].toString(), revision);
        QCOMPARE(run.json()["serial_number"].toString(), QString(exitCode == 3 ? "" : "A123"));
        QCOMPARE(left_as(unit.record()), left);
        QVERIFY(!unit.record()["unlocked"].toBool() && !unit.record()["erased"].toBool());
    }

    // The password: file first, then the environment, then the default.
    void passwordSources_data() {
        QTest::addColumn<QString>("fileText");  // "" for no --password-file
        QTest::addColumn<QString>("environment");
        QTest::addColumn<int>("exitCode");
        // clang-format off
        QTest::newRow("file") << "SECRET\n" << "" << 0;
        QTest::newRow("file without line end") << "SECRET" << "" << 0;
        QTest::newRow("file before environment") << "SECRET\r\n" << "WRONG" << 0;
        QTest::newRow("environment") << "" << "SECRET" << 0;
        QTest::newRow("default refused") << "" << "" << 5;
        // The field holds eight characters: nothing is cut to fit.
        QTest::newRow("longer than the field") << "SECRET123\n" << "" << 64;
        // clang-format on
    }
    void passwordSources() {
        QFETCH(QString, fileText);
        QFETCH(QString, environment);
        QFETCH(int, exitCode);
        Unit unit;
        QVERIFY2(unit.start({"--password", "SECRET"}), qPrintable(unit.error()));
        Program program(unit, bench_.home("passwords"));
        if (!environment.isEmpty()) program.env.insert("ORVEX_PASSWORD", environment);
        QStringList extra;
        if (!fileText.isEmpty()) {
            QFile file(bench_.path(QStringLiteral("pw-%1").arg(QTest::currentDataTag())));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(fileText.toUtf8()) == fileText.size());
            extra = QStringList{"--password-file", file.fileName()};
        }
        QCOMPARE(program.run(program.batch(unit.resource(Bus::Rs232), firmware_, extra)).exit_code, exitCode);
    }

    // Two processes append to one record file, each line whole.
    void twoUnitsInParallel() {
        Unit first, second;
        QVERIFY2(first.start(), qPrintable(first.error()));
        QVERIFY2(second.start(), qPrintable(second.error()));
        Program a(first, bench_.home("parallel")), b(second, bench_.home("parallel"));
        a.start(a.batch(first.resource(Bus::Lan), firmware_));
        b.start(b.batch(second.resource(Bus::Lan), firmware_));
        QCOMPARE(a.finish().exit_code, 0);
        QCOMPARE(b.finish().exit_code, 0);
        QVERIFY(first.stop() && second.stop());
        QVERIFY(first.expect_flash(firmware_) && second.expect_flash(firmware_));
        QStringList seen,
            expected = {"updated " + first.resource(Bus::Lan), "updated " + second.resource(Bus::Lan)};
        for (const QJsonObject& record : a.records())
            seen << record["outcome"].toString() + " " + record["resource"].toString();
        seen.sort();
        expected.sort();
        QCOMPARE(seen, expected);
    }

    // --record names the file; without --json a summary, one field a line.
    void recordOptionAndSummary() {
        Unit unit;
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        Program program(unit, bench_.home("record-option"));
        const QString path = bench_.path("elsewhere/records.jsonl");
        const Finished run = program.run(program.batch("GPIB0::6::INSTR", firmware_, {"--record", path}));
        QCOMPARE(run.exit_code, 0);
        QVERIFY(program.records().isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll().trimmed()).object()["resource"].toString(),
                 "GPIB0::6::INSTR");
        QVERIFY2(run.out.contains("Revision after:   V8.20"), run.out.constData());
        QVERIFY2(run.out.contains("Result:           OK TEST"), run.out.constData());

        unit.start({"--revision", "V7.90"});
        Program inventory(unit, bench_.home("inventory"));
        const Finished seen = inventory.run(inventory.identify("GPIB0::6::INSTR"));
        QCOMPARE(seen.exit_code, 4);
        QCOMPARE(seen.out, QByteArray("Model:            ZRA 12-34\n"
                                      "Serial number:    A123\n"
                                      "Revision:         V7.90\n"
                                      "Would update:     no: its maker, model or revision rules it out\n"
                                      "Result:           Wrong Model/Revision\n"));
        QCOMPARE(seen.err, QByteArray());
    }

    // stderr holds the program's own lines, each once, and none of Qt's notes,
    // even without XDG_RUNTIME_DIR (cron, CI runners). A usage error ends with
    // 64, its line and the hint, before anything reaches the unit; a window
    // without a display says so in one line and ends with 69.
    void stderrLines_data() {
        QTest::addColumn<QStringList>("arguments");   // FILE and REFUSED stand for the files
        QTest::addColumn<QByteArray>("driverFault");  // the stand-in driver's first call fails so
        QTest::addColumn<QString>("display");         // unset when empty
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stderrText");
        const auto usage = [](const QByteArray& line) {
            return "orvex-uploader: " + line + "\nTry 'orvex-uploader --help'.\n";
        };
        const QByteArray forms =
            " is not a resource; use ASRL<n>::INSTR (COM1..COM9), ASRL<device path>::INSTR, "
            "GPIB<board>::<address>::INSTR (board 0..7, address 1..30), "
            "TCPIP[<n>]::<IPv4 address>[::5025]::SOCKET";
        const QByteArray no_display =
            "orvex-uploader: no display could be reached (%1); without a window use "
            "--batch or --identify, see --help\n";
        const QStringList batch = {"--batch", "ASRL1::INSTR", "FILE"};
        const QByteArray none;
        // clang-format off
        QTest::newRow("refused file") << QStringList{"--batch", "ASRL1::INSTR", "REFUSED", "--time-scale", "0.05"} << none << "" << 2
            << QByteArray("HEX File Refused: line 2\norvex-uploader: refused.hex line 2, column 18: checksum 0xDF stored, 0xDE computed from the record's bytes\n");
        QTest::newRow("no GPIB device file") << QStringList{"--batch", "GPIB0::6::INSTR", "FILE", "--time-scale", "0.05"} << QByteArray("EDVR,2") << "" << 3
            << QByteArray("Unit Not Responding\norvex-uploader: /dev/gpib0: No such file or directory (EDVR): load the GPIB kernel module and run gpib_config\n");
        QTest::newRow("window, DISPLAY unset") << QStringList() << none << "" << 69 << QByteArray(no_display).replace("%1", "DISPLAY is not set");
        QTest::newRow("window, DISPLAY names no server") << QStringList() << none << ":9717" << 69 << QByteArray(no_display).replace("%1", "DISPLAY=:9717");
        QTest::newRow("malformed") << QStringList{"--batch", "COM1", "f.hex"} << none << "" << 64 << usage("'COM1'" + forms);
        QTest::newRow("other port") << QStringList{"--batch", "TCPIP0::127.0.0.1::5026::SOCKET", "f.hex"} << none << "" << 64 << usage("'TCPIP0::127.0.0.1::5026::SOCKET'" + forms);
        QTest::newRow("GPIB address 0") << QStringList{"--batch", "GPIB0::0::INSTR", "f.hex"} << none << "" << 64 << usage("'GPIB0::0::INSTR'" + forms);
        QTest::newRow("no file") << QStringList{"--batch", "ASRL1::INSTR"} << none << "" << 64 << usage("--batch wants a RESOURCE and a FILE");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << none << "" << 64 << usage("Unknown option 'bogus'.");
        QTest::newRow("missing password file") << batch + QStringList{"--password-file", "/nonexistent/pw"} << none << "" << 64 << usage("cannot read the password file /nonexistent/pw: No such file or directory");
        QTest::newRow("password file is a folder") << batch + QStringList{"--password-file", "/"} << none << "" << 64 << usage("the password file / holds no password");
        QTest::newRow("ten retries") << batch + QStringList{"--retries", "10"} << none << "" << 64 << usage("--retries wants a number from 0 to 9");
        QTest::newRow("negative retries") << batch + QStringList{"--retries", "-1"} << none << "" << 64 << usage("--retries wants a number from 0 to 9");
        QTest::newRow("decimal comma") << batch + QStringList{"--retry-pause", "1,5"} << none << "" << 64 << usage("--retry-pause wants seconds from 0 to 3600");
        QTest::newRow("pause past an hour") << batch + QStringList{"--retry-pause", "3600.5"} << none << "" << 64 << usage("--retry-pause wants seconds from 0 to 3600");
        QTest::newRow("identify: malformed") << QStringList{"--identify", "COM1"} << none << "" << 64 << usage("'COM1'" + forms);
        QTest::newRow("identify: no resource") << QStringList{"--identify"} << none << "" << 64 << usage("--identify wants a RESOURCE");
        QTest::newRow("identify: with a file") << QStringList{"--identify", "GPIB0::6::INSTR", "f.hex"} << none << "" << 64 << usage("--identify wants a RESOURCE");
        QTest::newRow("identify: with --batch") << QStringList{"--identify", "--batch", "GPIB0::6::INSTR", "f.hex"} << none << "" << 64 << usage("--identify and --batch exclude each other");
        QTest::newRow("identify: with --record") << QStringList{"--identify", "GPIB0::6::INSTR", "--record", "r.jsonl"} << none << "" << 64 << usage("--record and --password-file go with --batch");
        QTest::newRow("identify: with --retries") << QStringList{"--identify", "ASRL1::INSTR", "--retries", "2"} << none << "" << 64 << usage("--retries and --retry-pause go with --batch");
        QTest::newRow("history of two units") << QStringList{"--history", "A123", "B456"} << none << "" << 64 << usage("--history takes one SERIAL number or RESOURCE at most");
        // clang-format on
    }
    void stderrLines() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, driverFault);
        QFETCH(QString, display);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stderrText);
        Unit unit;
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        Program program(unit, bench_.home("stderr"));
        for (const char* name : {"XDG_RUNTIME_DIR", "XDG_SESSION_TYPE"}) program.env.remove(name);
        if (!driverFault.isEmpty()) program.env.insert("ORVEX_GPIB_FIRST_CALL_FAILS", driverFault);
        if (!display.isEmpty()) program.env.insert("DISPLAY", display);
        const Finished run = program.run(arguments.replaceInStrings("REFUSED", bench_.path("refused.hex"))
                                             .replaceInStrings("FILE", firmware_));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        QCOMPARE(run.err, stderrText);
        QVERIFY(unit.stop());
        QCOMPARE(unit.touches(), QString());
    }

    // --version and --help need no display.
    void withoutDisplay() {
        const Unit none;
        Program program(none, bench_.home("help"));
        const Finished version = program.run({"--version"});
        QCOMPARE(version.exit_code, 0);
        QVERIFY2(version.out.startsWith("orvex-uploader 1."), version.out.constData());
        const Finished help = program.run({"--help"});
        QCOMPARE(help.exit_code, 0);
        for (const char* line : {"  130  interrupted", "--batch GPIB0::6::INSTR", "ends with status 69.",
                                 "    4  its maker, model or revision rules an update out"})
            QVERIFY2(help.out.contains(line), line);
    }
};

QTEST_GUILESS_MAIN(BatchTest)
#include "test_batch.moc"
