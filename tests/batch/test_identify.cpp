// Inventory mode end to end: the real executable, no display, against the
// unit simulator on every bus. The unit hears the claim (LAN), "*IDN?" and
// the release, and nothing else; the exit status says what was found.
#include <QtTest>

#include <QJsonArray>
#include <QTemporaryDir>

#include "sim_process.h"
#include "uploader_process.h"

using namespace orvex::test;

namespace {

QStringList identify(const QString& resource, const QStringList& extra = {}) {
    return QStringList{"--identify", resource, "--time-scale", QString::number(kTimeScale)} + extra;
}

// How each bus was left: the port opened and closed, the GPIB interface
// cleared and the board gone, the LAN lock's events.
QString left(const QJsonObject& record) {
    const QJsonObject port = record["serialPort"].toObject();
    const QJsonObject gpib = record["gpib"].toObject();
    QStringList locks;
    for (const QJsonValue& event : record["lan"].toObject()["lockEvents"].toArray())
        locks << event.toObject()["event"].toString();
    return QStringLiteral("port %1/%2 clears %3 online %4 lock %5")
        .arg(port["opens"].toInt())
        .arg(port["closes"].toInt())
        .arg(gpib["interfaceClears"].toInt())
        .arg(gpib["connected"].toInt())
        .arg(locks.join(','));
}

}  // namespace

class IdentifyTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void identifiesWithoutTouching_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("bus");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<QStringList>("unitHeard");
        QTest::addColumn<QString>("unitLeft");
        const QStringList none;
        const QStringList idn = {"*IDN?"};
        const QStringList serial = {"*IDN?", "syst:rem 0"};
        const QStringList lan = {"\\x12", "*IDN?"};
        QTest::newRow("serial") << none << "serial" << 0 << "would-update"
                                << "V8.10" << serial << "port 1/1 clears 0 online 0 lock ";
        QTest::newRow("GPIB") << none << "gpib" << 0 << "would-update"
                              << "V8.10" << idn << "port 0/0 clears 2 online 0 lock ";
        QTest::newRow("LAN") << none << "lan" << 0 << "would-update"
                             << "V8.10" << lan << "port 0/0 clears 0 online 0 lock granted,released";
        QTest::newRow("serial: old revision")
            << QStringList{"--revision", "V7.90"} << "serial" << 4 << "wrong-unit"
            << "V7.90" << serial << "port 1/1 clears 0 online 0 lock ";
        QTest::newRow("GPIB: refused family") << QStringList{"--family", "ZR"} << "gpib" << 4 << "wrong-unit"
                                              << "V8.10" << idn << "port 0/0 clears 2 online 0 lock ";
        QTest::newRow("LAN: other maker")
            << QStringList{"--maker", "ACME"} << "lan" << 4 << "wrong-unit"
            << "V8.10" << lan << "port 0/0 clears 0 online 0 lock granted,released";
        QTest::newRow("serial: silent unit")
            << QStringList{"--silent", "idn@1"} << "serial" << 3 << "not-reached"
            << "" << idn << "port 1/1 clears 0 online 0 lock ";
        QTest::newRow("GPIB: silent unit") << QStringList{"--silent", "idn@1"} << "gpib" << 3 << "not-reached"
                                           << "" << idn << "port 0/0 clears 1 online 0 lock ";
        QTest::newRow("LAN: lock denied")
            << QStringList{"--lock", "deny"} << "lan" << 3 << "not-reached"
            << "" << QStringList{"\\x12"} << "port 0/0 clears 0 online 0 lock denied";
        QTest::newRow("no port") << none << "nothing" << 3 << "not-reached"
                                 << "" << QStringList() << "port 0/0 clears 0 online 0 lock ";
    }
    void identifiesWithoutTouching() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, bus);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        QFETCH(QString, revision);
        QFETCH(QStringList, unitHeard);
        QFETCH(QString, unitLeft);
        SimProcess sim;
        QVERIFY2(sim.start(simArgs + QStringList{"--time-scale", QString::number(kTimeScale)}),
                 qPrintable(sim.errorString()));
        const QString state = dir_.filePath(QStringLiteral("state-%1").arg(QTest::currentDataTag()));
        const QString resource = resource_for(sim, bus);

        const Finished run = Uploader::run(identify(resource, {"--json"}), Uploader::environment(sim, state));
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.exit_code, exitCode);
        const QJsonObject json = last_json_line(run.out);
        QCOMPARE(json["outcome"].toString(), outcome);
        QCOMPARE(json["exit_code"].toInt(-1), exitCode);
        QCOMPARE(json["resource"].toString(), resource);
        QCOMPARE(json["revision"].toString(), revision);
        QCOMPARE(json["serial_number"].toString(), revision.isEmpty() ? "" : "A123");
        // Not an update: nothing is recorded.
        QVERIFY(record_lines(state).isEmpty());
        QVERIFY(sim.stop());
        const QJsonObject record = sim.record();
        QCOMPARE(heard(sim), unitHeard);
        QCOMPARE(left(record), unitLeft);
        QVERIFY(!record["unlocked"].toBool() && !record["erased"].toBool());
    }

    // Without --json: one field a line, for a person at a terminal.
    void summaryForAPerson() {
        SimProcess sim;
        QVERIFY2(sim.start({"--revision", "V7.90", "--time-scale", QString::number(kTimeScale)}),
                 qPrintable(sim.errorString()));
        const Finished run =
            Uploader::run(identify("GPIB0::6::INSTR"), Uploader::environment(sim, dir_.filePath("text")));
        QCOMPARE(run.exit_code, 4);
        QCOMPARE(run.out, QByteArray("Model:            ZRA 12-34\n"
                                     "Serial number:    A123\n"
                                     "Revision:         V7.90\n"
                                     "Would update:     no: its maker, model or revision rules it out\n"
                                     "Result:           Wrong Model/Revision\n"));
        QCOMPARE(run.err, QByteArray());
        QVERIFY(sim.stop());
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("stderrHolds");
        QTest::newRow("malformed") << QStringList{"--identify", "COM1"} << "is not a resource";
        QTest::newRow("no resource") << QStringList{"--identify"} << "--identify wants a RESOURCE";
        QTest::newRow("with a file") << QStringList{"--identify", "GPIB0::6::INSTR", "f.hex"}
                                     << "--identify wants a RESOURCE";
        QTest::newRow("with --batch")
            << QStringList{"--identify", "--batch", "GPIB0::6::INSTR", "f.hex"} << "exclude each other";
        QTest::newRow("with --record")
            << QStringList{"--identify", "GPIB0::6::INSTR", "--record", "r.jsonl"} << "go with --batch";
    }
    void usageErrors() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, stderrHolds);
        SimProcess sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        const Finished run = Uploader::run(arguments, Uploader::environment(sim, dir_.filePath("usage")));
        QCOMPARE(run.exit_code, 64);
        QVERIFY2(run.err.contains(stderrHolds.toUtf8()), run.err.constData());
        QVERIFY(sim.stop());
        QCOMPARE(heard(sim), QStringList());
    }
};

QTEST_GUILESS_MAIN(IdentifyTest)
#include "test_identify.moc"
