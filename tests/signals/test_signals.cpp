// Stop signals sent to the real executable: an idle window ends at once; an
// update that erased the unit runs to its end unless the signal is repeated.
#include <QtTest>

#include <QJsonArray>
#include <QTemporaryDir>

#include <csignal>

#include "sim_process.h"
#include "uploader_process.h"

using orvex::test::Finished;
using orvex::test::SimProcess;
using orvex::test::Uploader;

namespace {

// Long enough that programming lasts seconds at the test time scale, so a
// signal lands in the middle of it.
constexpr int kLongFirmwareRecords = 6000;
constexpr int kRecordsBeforeSignal = 50;
constexpr std::chrono::milliseconds kProgrammingLimit{60000};

QStringList serial_commands(const SimProcess& sim) {
    return sim.record()["transports"].toObject()["serial"].toObject()["commands"].toVariant().toStringList();
}

bool programming_under_way(const QJsonObject& record) {
    return record["programming"].toBool() &&
           record["records"].toObject()["accepted"].toInt() > kRecordsBeforeSignal;
}

QJsonObject only_record(const QString& state_home) {
    const QList<QByteArray> lines = orvex::test::record_lines(state_home);
    return lines.size() == 1 ? QJsonDocument::fromJson(lines.first()).object() : QJsonObject();
}

}  // namespace

class SignalsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString long_firmware_;

    QString state_home(const char* name) const { return dir_.filePath(QStringLiteral("state-%1").arg(name)); }

    // A batch update over RS-232 of the long file, started; returns once the
    // unit is well into programming.
    bool startProgramming(SimProcess& sim, Uploader& uploader, const QString& state) {
        if (!sim.start({"--time-scale", QString::number(orvex::test::kTimeScale)})) return false;
        uploader.start(Uploader::batch(QStringLiteral("ASRL%1::INSTR").arg(sim.comNumber()), long_firmware_),
                       Uploader::environment(sim, state));
        return sim.waitForRecord(programming_under_way, kProgrammingLimit);
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        long_firmware_ = SimProcess::makeHex(dir_.filePath("long.hex"), kLongFirmwareRecords);
        QVERIFY(!long_firmware_.isEmpty());
    }

    void idleWindowEnds_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void idleWindowEnds() {
        QFETCH(int, signalNumber);
        SimProcess no_unit;
        QProcessEnvironment environment = Uploader::environment(no_unit, state_home("idle"));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        Uploader window;
        window.start({}, environment);
        QVERIFY(window.waitForSignalHandler(signalNumber));
        window.signal(signalNumber);
        const Finished end = window.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 0);
        QVERIFY(orvex::test::record_lines(state_home("idle")).isEmpty());
    }

    // One signal after the erase: the update goes on to the second identification.
    void oneSignalLetsTheUpdateFinish_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void oneSignalLetsTheUpdateFinish() {
        QFETCH(int, signalNumber);
        SimProcess sim;
        Uploader uploader;
        const QString state = state_home(QTest::currentDataTag());
        QVERIFY2(startProgramming(sim, uploader, state), qPrintable(sim.errorString()));
        uploader.signal(signalNumber);
        QVERIFY(uploader.waitForStderr("leaves it erased"));
        const Finished end = uploader.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 0);
        QVERIFY(sim.stop());
        QString verdict;
        QVERIFY2(sim.verifyFlash(long_firmware_, &verdict), qPrintable(verdict));
        const QStringList expected = {
            "*RST", "*IDN?", ":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?", "DIAG:PRG", "ERASE",
            "EXIT", "*IDN?"};
        QCOMPARE(serial_commands(sim).mid(0, expected.size()), expected);
        QCOMPARE(only_record(state)["outcome"].toString(), "updated");
    }

    void secondSignalStops() {
        SimProcess sim;
        Uploader uploader;
        const QString state = state_home("twice");
        QVERIFY2(startProgramming(sim, uploader, state), qPrintable(sim.errorString()));
        uploader.signal(SIGINT);
        QVERIFY(uploader.waitForStderr("leaves it erased"));
        uploader.signal(SIGINT);
        const Finished end = uploader.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 130);
        QCOMPARE(only_record(state)["outcome"].toString(), "interrupted");
        QVERIFY(sim.stop());
        QVERIFY(!serial_commands(sim).contains("EXIT"));
    }

    // Before the erase nothing is at stake: one signal stops the run. In real
    // time, the pause after the reset leaves a second for the signal to land.
    void signalBeforeEraseStops() {
        SimProcess sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        const QString state = state_home("before-erase");
        Uploader uploader;
        uploader.start({"--batch", QStringLiteral("ASRL%1::INSTR").arg(sim.comNumber()), long_firmware_},
                       Uploader::environment(sim, state));
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) {
            return r["transports"].toObject()["serial"].toObject()["commands"].toArray().size() >= 1;
        }));
        uploader.signal(SIGTERM);
        const Finished end = uploader.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 130);
        QCOMPARE(only_record(state)["outcome"].toString(), "interrupted");
        QVERIFY(sim.stop());
        QVERIFY(!serial_commands(sim).contains("ERASE"));
    }

    // A signal while the unit is readied for programming: it is given back
    // as a run's end gives it back, and nothing was erased.
    void signalBeforeEraseGivesTheUnitBack_data() {
        QTest::addColumn<QString>("link");
        QTest::newRow("RS-232") << "serial";
        QTest::newRow("LAN") << "lan";
        QTest::newRow("GPIB") << "gpib";
    }
    void signalBeforeEraseGivesTheUnitBack() {
        QFETCH(QString, link);
        SimProcess sim;
        // The answer comes late, yet within every bus's time-out.
        QVERIFY2(sim.start({"--delay", "prg=3000"}), qPrintable(sim.errorString()));
        const QString state = state_home(qPrintable("release-" + link));
        Uploader uploader;
        const QString resource = link == "serial" ? QStringLiteral("ASRL%1::INSTR").arg(sim.comNumber())
                                 : link == "lan"
                                     ? QStringLiteral("TCPIP0::%1::5025::SOCKET").arg(sim.lanAddress())
                                     : QStringLiteral("GPIB0::6::INSTR");
        QProcessEnvironment environment = Uploader::environment(sim, state);
        environment.remove("ORVEX_GPIB_TIME_SCALE");  // real time, as the program runs here
        uploader.start({"--batch", resource, long_firmware_}, environment);
        QVERIFY(sim.waitForRecord([&link](const QJsonObject& r) {
            return r["transports"]
                .toObject()[link]
                .toObject()["commands"]
                .toVariant()
                .toStringList()
                .contains("DIAG:PRG");
        }));
        uploader.signal(SIGTERM);
        const Finished end = uploader.finish();
        QVERIFY2(end.finished && !end.crashed, end.err.constData());
        QCOMPARE(end.exit_code, 130);
        QCOMPARE(only_record(state)["outcome"].toString(), "interrupted");
        QVERIFY(sim.stop());
        const QJsonObject record = sim.record();
        const QStringList heard =
            record["transports"].toObject()[link].toObject()["commands"].toVariant().toStringList();
        QVERIFY(!heard.contains("ERASE"));
        if (link == "serial") QCOMPARE(heard.last(), "syst:rem 0");
        if (link == "gpib") {
            QCOMPARE(record["gpib"].toObject()["interfaceClears"].toInt(), 2);
            QCOMPARE(record["gpib"].toObject()["connected"].toInt(), 0);
        }
        for (const auto connection : record["lan"].toObject()["connections"].toArray())
            QVERIFY(!connection.toObject()["open"].toBool());
    }
};

QTEST_GUILESS_MAIN(SignalsTest)
#include "test_signals.moc"
