// Batch mode end to end: the real executable, no display, against the unit
// simulator on every bus; its exit codes, JSON, records and parallel runs.
#include <QtTest>

#include <QJsonArray>
#include <QTemporaryDir>

#include "sim_process.h"
#include "uploader_process.h"

using orvex::test::Finished;
using orvex::test::heard;
using orvex::test::resource_for;
using orvex::test::SimProcess;
using orvex::test::Uploader;

namespace {

constexpr int kFirmwareRecords = 200;
const QStringList kRecordFields = {
    "time", "bus",       "resource",    "model",   "serial_number", "revision_before", "revision_after",
    "file", "file_size", "file_sha256", "message", "outcome",       "duration_s",      "attempt"};

QByteArray sha256_of(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
}

}  // namespace

class BatchTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString firmware_;

    QString state_home(const char* name) const { return dir_.filePath(QStringLiteral("state-%1").arg(name)); }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        firmware_ = SimProcess::makeHex(dir_.filePath("firmware.hex"), kFirmwareRecords);
        QVERIFY(!firmware_.isEmpty());
        QVERIFY(QDir(dir_.path()).mkpath("folder.hex"));
    }

    void updatesOnEveryBus_data() {
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QString>("busText");
        for (const auto& [bus, text] :
             {std::pair{"serial", "RS-232"}, std::pair{"device", "RS-232"}, std::pair{"gpib", "IEEE-488"},
              std::pair{"lan", "LAN"}, std::pair{"lan-short", "LAN"}})
            QTest::newRow(bus) << QString(bus) << QString(text);
    }
    void updatesOnEveryBus() {
        QFETCH(QString, bus);
        QFETCH(QString, busText);
        SimProcess sim;
        QVERIFY2(sim.start({"--time-scale", QString::number(orvex::test::kTimeScale)}),
                 qPrintable(sim.errorString()));
        const QString state = state_home(QTest::currentDataTag());
        const QString resource = resource_for(sim, bus);

        const Finished run = Uploader::run(Uploader::batch(resource, firmware_, {"--json"}),
                                           Uploader::environment(sim, state));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, 0);
        QVERIFY(sim.stop());
        QString verdict;
        QVERIFY2(sim.verifyFlash(firmware_, &verdict), qPrintable(verdict));

        const QJsonObject json = orvex::test::last_json_line(run.out);
        QCOMPARE(json["exit_code"].toInt(-1), 0);
        QCOMPARE(json["outcome"].toString(), "updated");
        QCOMPARE(json["message"].toString(), "OK TEST");
        QCOMPARE(json["bus"].toString(), busText);
        QCOMPARE(json["resource"].toString(), resource);
        QCOMPARE(json["model"].toString(), "ZRA 12-34");
        QCOMPARE(json["serial_number"].toString(), "A123");
        QCOMPARE(json["revision_before"].toString(), "V8.10");
        QCOMPARE(json["revision_after"].toString(), "V8.20");
        QCOMPARE(json["file"].toString(), QFileInfo(firmware_).absoluteFilePath());
        QCOMPARE(json["file_size"].toInteger(), QFileInfo(firmware_).size());
        QCOMPARE(json["file_sha256"].toString().toLatin1(), sha256_of(firmware_));
        QVERIFY(json["duration_s"].toDouble() > 0.0);
        QVERIFY(QDateTime::fromString(json["time"].toString(), Qt::ISODateWithMs).isValid());
        QVERIFY(json["time"].toString().endsWith('Z'));

        // The record holds the same run, without the exit code and the count of attempts.
        const QList<QByteArray> lines = orvex::test::record_lines(state);
        QCOMPARE(lines.size(), 1);
        QJsonObject record = QJsonDocument::fromJson(lines.first()).object();
        QCOMPARE(QStringList(record.keys()).size(), kRecordFields.size());
        for (const QString& field : kRecordFields) QVERIFY2(record.contains(field), qPrintable(field));
        QJsonObject without_exit = json;
        without_exit.remove("exit_code");
        without_exit.remove("attempts");
        QCOMPARE(record, without_exit);
    }

    void exitCodes_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QString>("file");  // "" for the firmware
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("unitHeardAnything");
        const QStringList none;
        QTest::newRow("unchanged") << QStringList{"--new-revision", "V8.10"} << "lan"
                                   << "" << 1 << "unchanged" << true;
        QTest::newRow("missing file") << none << "serial"
                                      << "missing.hex" << 2 << "input-refused" << false;
        QTest::newRow("silent unit") << QStringList{"--silent", "idn@1"} << "serial"
                                     << "" << 3 << "not-reached" << true;
        QTest::newRow("no port") << none << "nothing"
                                 << "" << 3 << "not-reached" << false;
        QTest::newRow("lock denied") << QStringList{"--lock", "deny"} << "lan"
                                     << "" << 3 << "not-reached" << true;
        QTest::newRow("wrong model") << QStringList{"--family", "ZR"} << "gpib"
                                     << "" << 4 << "wrong-unit" << true;
        QTest::newRow("old revision") << QStringList{"--revision", "V7.90"} << "serial"
                                      << "" << 4 << "wrong-unit" << true;
        QTest::newRow("password") << QStringList{"--password", "OTHER"} << "serial"
                                  << "" << 5 << "password-refused" << true;
        QTest::newRow("erase silent") << QStringList{"--silent", "erase@1"} << "serial"
                                      << "" << 6 << "failed-after-erase" << true;
        QTest::newRow("erase refused") << QStringList{"--erase-reply", "E1\\r\\n"} << "lan"
                                       << "" << 6 << "failed-after-erase" << true;
        QTest::newRow("erase refused, new revision after EXIT")
            << QStringList{"--erase-reply", "E1\\r\\n", "--boot-revision", "V8.30"} << "gpib"
            << "" << 6 << "failed-after-erase" << true;
        QTest::newRow("a folder as the file") << none << "serial"
                                              << "folder.hex" << 2 << "input-refused" << false;
    }
    void exitCodes() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, bus);
        QFETCH(QString, file);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        QFETCH(bool, unitHeardAnything);
        SimProcess sim;
        QVERIFY2(sim.start(simArgs + QStringList{"--time-scale", QString::number(orvex::test::kTimeScale)}),
                 qPrintable(sim.errorString()));
        const QString state = state_home(QTest::currentDataTag());
        const QString path = file.isEmpty() ? firmware_ : dir_.filePath(file);

        const Finished run = Uploader::run(Uploader::batch(resource_for(sim, bus), path, {"--json"}),
                                           Uploader::environment(sim, state));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        QCOMPARE(orvex::test::last_json_line(run.out)["outcome"].toString(), outcome);
        QCOMPARE(orvex::test::last_json_line(run.out)["exit_code"].toInt(-1), exitCode);
        const QList<QByteArray> lines = orvex::test::record_lines(state);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(lines.first()).object()["outcome"].toString(), outcome);
        QVERIFY(sim.stop());
        QCOMPARE(!heard(sim).isEmpty(), unitHeardAnything);
    }

    // The password: file first, then the environment, then the default.
    void passwordSources_data() {
        QTest::addColumn<QString>("fileText");  // "" for no --password-file
        QTest::addColumn<QString>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("file") << "SECRET\n"
                              << "" << 0;
        QTest::newRow("file without line end") << "SECRET"
                                               << "" << 0;
        QTest::newRow("file before environment") << "SECRET\r\n"
                                                 << "WRONG" << 0;
        QTest::newRow("environment") << ""
                                     << "SECRET" << 0;
        QTest::newRow("default refused") << QString() << QString() << 5;
        // The field holds eight characters: nothing is cut to fit.
        QTest::newRow("longer than the field") << QStringLiteral("SECRET123\n") << QString() << 64;
    }
    void passwordSources() {
        QFETCH(QString, fileText);
        QFETCH(QString, environment);
        QFETCH(int, exitCode);
        SimProcess sim;
        QVERIFY2(
            sim.start({"--password", "SECRET", "--time-scale", QString::number(orvex::test::kTimeScale)}),
            qPrintable(sim.errorString()));
        QProcessEnvironment env = Uploader::environment(sim, state_home("passwords"));
        if (!environment.isEmpty()) env.insert("ORVEX_PASSWORD", environment);
        QStringList extra;
        if (!fileText.isEmpty()) {
            QFile file(dir_.filePath(QStringLiteral("pw-%1").arg(QTest::currentDataTag())));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(fileText.toUtf8());
            extra = QStringList{"--password-file", file.fileName()};
        }
        const Finished run =
            Uploader::run(Uploader::batch(resource_for(sim, "serial"), firmware_, extra), env);
        QCOMPARE(run.exit_code, exitCode);
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("stderrHolds");
        const QString forms = "ASRL<n>::INSTR";
        QTest::newRow("malformed") << QStringList{"--batch", "COM1", "f.hex"} << forms;
        QTest::newRow("other port") << QStringList{"--batch", "TCPIP0::127.0.0.1::5026::SOCKET", "f.hex"}
                                    << forms;
        QTest::newRow("GPIB address 0") << QStringList{"--batch", "GPIB0::0::INSTR", "f.hex"} << forms;
        QTest::newRow("no file") << QStringList{"--batch", "ASRL1::INSTR"} << "RESOURCE and a FILE";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "bogus";
        QTest::newRow("missing password file")
            << QStringList{"--batch", "ASRL1::INSTR", "FIRMWARE", "--password-file", "/nonexistent/pw"}
            << "cannot read the password file /nonexistent/pw";
        QTest::newRow("password file is a folder")
            << QStringList{"--batch", "ASRL1::INSTR", "FIRMWARE", "--password-file", "/"}
            << "password file /";
    }
    void usageErrors() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, stderrHolds);
        SimProcess sim;
        QVERIFY2(sim.start({"--time-scale", QString::number(orvex::test::kTimeScale)}),
                 qPrintable(sim.errorString()));
        arguments.replaceInStrings("FIRMWARE", firmware_);
        const Finished run = Uploader::run(arguments, Uploader::environment(sim, state_home("usage")));
        QCOMPARE(run.exit_code, 64);
        QVERIFY2(run.err.contains(stderrHolds.toUtf8()), run.err.constData());
        QVERIFY(sim.stop());
        QCOMPARE(heard(sim), QStringList());
    }

    void twoUnitsInParallel() {
        SimProcess first;
        SimProcess second;
        const QStringList scale = {"--time-scale", QString::number(orvex::test::kTimeScale)};
        QVERIFY2(first.start(scale), qPrintable(first.errorString()));
        QVERIFY2(second.start(scale), qPrintable(second.errorString()));
        QVERIFY(first.lanAddress() != second.lanAddress());
        const QString state = state_home("parallel");

        Uploader a;
        Uploader b;
        a.start(Uploader::batch(resource_for(first, "lan"), firmware_, {"--json"}),
                Uploader::environment(first, state));
        b.start(Uploader::batch(resource_for(second, "lan"), firmware_, {"--json"}),
                Uploader::environment(second, state));
        const Finished ra = a.finish();
        const Finished rb = b.finish();
        QCOMPARE(ra.exit_code, 0);
        QCOMPARE(rb.exit_code, 0);
        QVERIFY(first.stop());
        QVERIFY(second.stop());
        QVERIFY(first.verifyFlash(firmware_));
        QVERIFY(second.verifyFlash(firmware_));

        const QList<QByteArray> lines = orvex::test::record_lines(state);
        QCOMPARE(lines.size(), 2);
        QStringList resources;
        for (const QByteArray& line : lines) {
            QJsonParseError error{};
            const QJsonObject record = QJsonDocument::fromJson(line, &error).object();
            QCOMPARE(error.error, QJsonParseError::NoError);
            QCOMPARE(record["outcome"].toString(), "updated");
            resources << record["resource"].toString();
        }
        resources.sort();
        QStringList expected = {resource_for(first, "lan"), resource_for(second, "lan")};
        expected.sort();
        QCOMPARE(resources, expected);
    }

    void recordPathOption() {
        SimProcess sim;
        QVERIFY2(sim.start({"--time-scale", QString::number(orvex::test::kTimeScale)}),
                 qPrintable(sim.errorString()));
        const QString path = dir_.filePath("elsewhere/records.jsonl");
        const QString state = state_home("record-option");
        const Finished run =
            Uploader::run(Uploader::batch(resource_for(sim, "gpib"), firmware_, {"--record", path}),
                          Uploader::environment(sim, state));
        QCOMPARE(run.exit_code, 0);
        QVERIFY(orvex::test::record_lines(state).isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll().trimmed()).object()["resource"].toString(),
                 "GPIB0::6::INSTR");
        // Without --json: the summary, one field a line.
        QVERIFY2(run.out.contains("Revision after:   V8.20"), run.out.constData());
        QVERIFY2(run.out.contains("Result:           OK TEST"), run.out.constData());
    }

    // A production line parses stderr: the program's own lines, each once,
    // and none of Qt's notes, even without XDG_RUNTIME_DIR (cron, CI runners).
    void stderrHoldsEachLineOnce_data() {
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QByteArray>("driverFault");  // the stand-in driver's first call fails so
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("stderrText");
        QTest::newRow("refused file") << "serial" << QByteArray() << 2
                                      << QByteArray(
                                             "HEX File Refused: line 2\n"
                                             "orvex-uploader: refused.hex line 2, column 18: checksum "
                                             "0xDF stored, 0xDE computed from the record's bytes\n");
        QTest::newRow("no GPIB device file")
            << "gpib" << QByteArray("EDVR,2") << 3
            << QByteArray(
                   "Unit Not Responding\norvex-uploader: /dev/gpib0: No such file or directory (EDVR): "
                   "load the GPIB kernel module and run gpib_config\n");
    }
    void stderrHoldsEachLineOnce() {
        QFETCH(QString, bus);
        QFETCH(QByteArray, driverFault);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, stderrText);
        QFile refused(dir_.filePath("refused.hex"));
        QVERIFY(refused.open(QIODevice::WriteOnly));
        refused.write(":0400000001020304F2\r\n:0400040005060708DF\r\n:00000001FF\r\n");
        refused.close();
        SimProcess sim;
        QVERIFY2(sim.start({"--time-scale", QString::number(orvex::test::kTimeScale)}),
                 qPrintable(sim.errorString()));
        QProcessEnvironment env = Uploader::environment(sim, state_home("stderr"));
        env.remove("XDG_RUNTIME_DIR");
        if (!driverFault.isEmpty()) env.insert("ORVEX_GPIB_FIRST_CALL_FAILS", driverFault);
        const QString file = driverFault.isEmpty() ? refused.fileName() : firmware_;
        const Finished run = Uploader::run(Uploader::batch(resource_for(sim, bus), file), env);
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        QCOMPARE(run.err, stderrText);
        QVERIFY(sim.stop());
        QCOMPARE(heard(sim), QStringList());
    }

    // The window needs a display; without one it says so in one line and ends
    // with its own status, not Qt's abort and a core file.
    void windowWithoutDisplay_data() {
        QTest::addColumn<QString>("display");  // unset when empty
        QTest::addColumn<QByteArray>("stderrText");
        QTest::newRow("DISPLAY unset") << QString()
                                       << QByteArray(
                                              "orvex-uploader: no display could be reached (DISPLAY is "
                                              "not set); without a window use --batch or --identify, "
                                              "see --help\n");
        QTest::newRow("DISPLAY names no server")
            << ":9717"
            << QByteArray(
                   "orvex-uploader: no display could be reached (DISPLAY=:9717); without a window use "
                   "--batch or --identify, see --help\n");
    }
    void windowWithoutDisplay() {
        QFETCH(QString, display);
        QFETCH(QByteArray, stderrText);
        SimProcess sim;
        QProcessEnvironment env = Uploader::environment(sim, state_home("window"));
        env.remove("XDG_SESSION_TYPE");
        env.remove("XDG_RUNTIME_DIR");
        if (!display.isEmpty()) env.insert("DISPLAY", display);
        const Finished run = Uploader::run({}, env);
        QVERIFY(run.finished);
        QVERIFY2(!run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, 69);
        QCOMPARE(run.err, stderrText);
        QCOMPARE(run.out, QByteArray());
    }

    void withoutDisplay_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("stdoutHolds");
        QTest::newRow("version") << QStringList{"--version"} << "orvex-uploader 1.";
        QTest::newRow("help") << QStringList{"--help"} << "  130  interrupted";
        QTest::newRow("help examples") << QStringList{"--help"} << "--batch GPIB0::6::INSTR";
        QTest::newRow("help: identify")
            << QStringList{"--help"} << "    4  its maker, model or revision rules an update out";
        QTest::newRow("help: window") << QStringList{"--help"} << "ends with status 69.";
    }
    void withoutDisplay() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, stdoutHolds);
        SimProcess sim;
        const Finished run = Uploader::run(arguments, Uploader::environment(sim, state_home("help")));
        QCOMPARE(run.exit_code, 0);
        QVERIFY2(run.out.contains(stdoutHolds.toUtf8()), run.out.constData());
    }
};

QTEST_GUILESS_MAIN(BatchTest)
#include "test_batch.moc"
