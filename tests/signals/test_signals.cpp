// Stop signals sent to the real executable: an idle window ends at once; an
// update that erased the unit runs to its end unless the signal is repeated;
// before the erase one signal stops it, and the unit is given back.
#include <QtTest>

#include <csignal>

#include "fixture.h"

using namespace orvex::test;

Q_DECLARE_METATYPE(Bus)

class SignalsTest : public QObject {
    Q_OBJECT

    Workbench bench_;
    QString firmware_;

private slots:
    void initTestCase() {
        QVERIFY(bench_.dir.isValid());
        // Programming lasts seconds at the test time scale, so a signal lands in the middle of it.
        firmware_ = Unit::make_hex(bench_.path("long.hex"), 6000);
        QVERIFY(!firmware_.isEmpty());
    }

    void idleWindowEnds_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void idleWindowEnds() {
        QFETCH(int, signalNumber);
        Unit no_unit;
        Program window(no_unit, bench_.home("idle"));
        window.env.insert("QT_QPA_PLATFORM", "offscreen");
        window.start({});
        QVERIFY(window.wait_for_signal_handler(signalNumber));
        window.signal(signalNumber);
        const Finished end = window.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 0);
        QVERIFY(window.records().isEmpty());
    }

    // After the erase, one signal lets the update finish; a second stops it.
    void duringProgramming_data() {
        QTest::addColumn<QList<int>>("stops");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("SIGTERM") << QList<int>{SIGTERM} << 0 << "updated";
        QTest::newRow("SIGHUP") << QList<int>{SIGHUP} << 0 << "updated";
        QTest::newRow("SIGINT twice") << QList<int>{SIGINT, SIGINT} << 130 << "interrupted";
    }
    void duringProgramming() {
        QFETCH(QList<int>, stops);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        Unit unit;
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        Program program(unit, bench_.home(QTest::currentDataTag()));
        program.start(program.batch(unit.resource(Bus::Rs232), firmware_));
        QVERIFY(unit.wait_for(
            [](const QJsonObject& record) {
                return record["programming"].toBool() &&
                       record["records"].toObject()["accepted"].toInt() > 50;
            },
            std::chrono::milliseconds(60000)));
        for (int signal_number : stops) {
            program.signal(signal_number);
            QVERIFY(program.wait_for_stderr("leaves it erased"));
        }
        const Finished end = program.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, exitCode);
        QCOMPARE(program.records().size(), 1);
        QCOMPARE(program.records()[0]["outcome"].toString(), outcome);
        QVERIFY(unit.stop());
        const QStringList heard = unit.heard(Bus::Rs232);
        const QStringList sequence = {
            "*RST", "*IDN?", ":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?", "DIAG:PRG", "ERASE",
            "EXIT", "*IDN?"};
        if (exitCode == 0) {
            QCOMPARE(heard.mid(0, sequence.size()), sequence);
            QVERIFY(unit.expect_flash(firmware_));
        } else {
            QVERIFY(!heard.contains("EXIT"));
        }
    }

    // Before the erase nothing is at stake: one signal stops the run, and the
    // unit is given back as a run's end gives it back, not erased. At half the
    // unit's pace, the pause after the reset and the late answer let the signal land.
    void beforeErase_data() {
        QTest::addColumn<Bus>("bus");
        QTest::addColumn<QStringList>("unitArgs");
        QTest::addColumn<QString>("after");  // the command heard when the signal goes
        QTest::newRow("RS-232, after the reset") << Bus::Rs232 << QStringList() << "*RST";
        QTest::newRow("RS-232, readied") << Bus::Rs232 << QStringList{"--delay", "prg=3000"} << "DIAG:PRG";
        QTest::newRow("LAN, readied") << Bus::Lan << QStringList{"--delay", "prg=3000"} << "DIAG:PRG";
        QTest::newRow("GPIB, readied") << Bus::Gpib << QStringList{"--delay", "prg=3000"} << "DIAG:PRG";
    }
    void beforeErase() {
        QFETCH(Bus, bus);
        QFETCH(QStringList, unitArgs);
        QFETCH(QString, after);
        Unit unit(0.5);
        QVERIFY2(unit.start(unitArgs), qPrintable(unit.error()));
        Program program(unit, bench_.home(QTest::currentDataTag()));
        program.start(program.batch(unit.resource(bus), firmware_));
        QVERIFY(unit.wait_for([&](const QJsonObject&) { return unit.heard(bus).contains(after); }));
        program.signal(SIGTERM);
        const Finished end = program.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 130);
        QCOMPARE(program.records().size(), 1);
        QCOMPARE(program.records()[0]["outcome"].toString(), "interrupted");
        QVERIFY(unit.stop());
        const QJsonObject record = unit.record();
        QVERIFY(!unit.heard(bus).contains("ERASE"));
        if (bus == Bus::Rs232) QCOMPARE(unit.heard(bus).last(), "syst:rem 0");
        if (bus == Bus::Gpib) {
            QCOMPARE(record["gpib"].toObject()["interfaceClears"].toInt(), 2);
            QCOMPARE(record["gpib"].toObject()["connected"].toInt(), 0);
        }
        for (const auto connection : record["lan"].toObject()["connections"].toArray())
            QVERIFY(!connection.toObject()["open"].toBool());
    }
};

QTEST_GUILESS_MAIN(SignalsTest)
#include "test_signals.moc"
