// The simulator on its serial link, driven through the pty slave the way the
// uploader drives it: a whole upload with the port closed and re-opened in
// the middle, exact counts of opens and closes, a refused password and the
// faults a test can ask for.
#include "sim_process.h"
#include "test_files.h"
#include "wire_client.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace orvex::test;

namespace {

const QStringList kFast = {"--time-scale", "0.01"};
const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";
const std::string kAck(1, '\x06');
const std::string kNak(1, '\x15');

int portCloses(const QJsonObject& record) { return record["serialPort"].toObject()["closes"].toInt(); }

// The dialog up to an erased flash in programming mode.
bool enterProgramming(WireClient& port) {
  return port.send("\r\n*RST\n:SYST:PASS:CEN MORVANTE\n:syst:pass:stat?\n") && port.readLine() == "1\r\n" &&
         port.send("DIAG:PRG\n") && port.readLine() == "READY\r\n" && port.send("ERASE\n") &&
         port.readLine() == "0\r\n";
}

}  // namespace

class TestSimSerial : public QObject {
  Q_OBJECT

  QTemporaryDir files_;
  QString firmware_;

 private slots:
  void initTestCase() {
    QVERIFY(files_.isValid());
    firmware_ = SimProcess::makeHex(files_.filePath("firmware.hex"), 600, {"--test-lines", "2"});
    QVERIFY(!firmware_.isEmpty());
    QVERIFY(insertLine(firmware_, 300, kLongCodeTest));
  }

  void wholeUploadAcrossReopenedPort() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast), qPrintable(sim.errorString()));
    auto port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port);
    QVERIFY(port->send("\r\n*RST\n*IDN?\n"));
    QCOMPARE(port->readLine(), kIdentity);
    QVERIFY(enterProgramming(*port));

    const auto lines = fileLines(firmware_);
    const std::size_t reopenAt[] = {lines.size() / 3, 2 * lines.size() / 3};
    int closes = 0;
    int records = 0;
    std::vector<int> recordsAtReopen;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      for (const auto& piece : pieces(lines[i])) QVERIFY(port->send(piece));
      if (lines[i].front() == ':') {
        QCOMPARE(port->readBytes(1), kAck);
        ++records;
      }
      if (lines[i].front() == 'T') QCOMPARE(port->readLine(), std::string("PASS\r\n"));
      if (i == reopenAt[0] || i == reopenAt[1]) {
        port->close();
        ++closes;
        recordsAtReopen.push_back(records);
        QVERIFY(sim.waitForRecord([&](const QJsonObject& r) { return portCloses(r) == closes; }));
        port = WireClient::openSerial(sim.serialPath());
        QVERIFY(port);
      }
    }
    QVERIFY(port->send("EXIT\n"));
    port->close();
    QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return portCloses(r) == 3 && r["exits"].toInt() == 1; }));
    port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port);
    QVERIFY(port->send("*IDN?\n"));
    QCOMPARE(port->readLine(), "ORVEX,ZRA 12-34,01/01/2010,A123,V8.20\r\n");
    QVERIFY(port->send("syst:rem 0\n"));
    port->close();
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));

    const QJsonObject record = sim.record();
    QCOMPARE(record["revision"].toString(), QString("V8.20"));
    QCOMPARE(record["records"].toObject()["accepted"].toInt(), 601);  // with the end-of-file record
    QCOMPARE(record["records"].toObject()["invalid"].toInt(), 0);
    const QJsonObject serial = record["transports"].toObject()["serial"].toObject();
    QCOMPARE(serial["commands"].toArray().toVariantList(),
             QVariantList({"*RST", "*IDN?", "*RST", ":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?", "DIAG:PRG", "ERASE",
                           "TEST 1", QString::fromStdString(kLongCodeTest.substr(0, 100)), "TEST 2", "EXIT",
                           "*IDN?", "syst:rem 0"}));
    QCOMPARE(serial["unknown"].toArray().size(), 0);

    // Opened, closed and re-opened twice while programming, once after EXIT.
    const QJsonArray events = record["serialPort"].toObject()["events"].toArray();
    QCOMPARE(events.size(), 8);
    const int recordsAt[] = {0, recordsAtReopen[0], recordsAtReopen[0], recordsAtReopen[1], recordsAtReopen[1],
                             601, 601, 601};
    for (int i = 0; i < events.size(); ++i) {
      const QJsonObject event = events[i].toObject();
      QCOMPARE(event["event"].toString(), QString(i % 2 == 0 ? "open" : "close"));
      QCOMPARE(event["records"].toInt(), recordsAt[i]);
      QCOMPARE(event["programming"].toBool(), i >= 1 && i <= 4);
      QCOMPARE(event["exits"].toInt(), i >= 5 ? 1 : 0);
    }

    QString verdict;
    QVERIFY2(sim.verifyFlash(firmware_, &verdict), qPrintable(verdict));
    const QString other = SimProcess::makeHex(files_.filePath("other.hex"), 600, {"--seed", "7"});
    QVERIFY(!sim.verifyFlash(other, &verdict));
    QVERIFY2(verdict.contains("mismatch at 0x"), qPrintable(verdict));
  }

  // A close followed at once by an open is still two events, and what was
  // written just before a close still reaches the unit.
  void rapidReopensLoseNothing() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast), qPrintable(sim.errorString()));
    const QString burstFile = SimProcess::makeHex(files_.filePath("burst.hex"), 200);
    const auto lines = fileLines(burstFile);
    auto port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port && enterProgramming(*port));
    constexpr int kBursts = 4;
    for (int burst = 0; burst < kBursts; ++burst) {
      std::string bytes;
      for (std::size_t i = burst * 50; i < (burst + 1) * 50u; ++i) bytes += lines[i];
      QVERIFY(port->send(bytes));
      port->close();  // without waiting for a single acknowledgment
      port = WireClient::openSerial(sim.serialPath());
      QVERIFY(port);
    }
    QVERIFY(port->send(lines.back() + "EXIT\n"));
    QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return r["exits"].toInt() == 1; }));
    port->close();
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    const QJsonObject record = sim.record();
    QCOMPARE(record["serialPort"].toObject()["opens"].toInt(), kBursts + 1);
    QCOMPARE(record["serialPort"].toObject()["closes"].toInt(), kBursts + 1);
    QCOMPARE(record["records"].toObject()["accepted"].toInt(), 201);
    QCOMPARE(record["revision"].toString(), QString("V8.20"));
    QString verdict;
    QVERIFY2(sim.verifyFlash(burstFile, &verdict), qPrintable(verdict));
  }

  void refusedPasswordKeepsTheUnitLocked() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast + QStringList{"--password", "SECRET"}), qPrintable(sim.errorString()));
    auto port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port);
    QVERIFY(port->send(":SYST:PASS:CEN MORVANTE\n:syst:pass:stat?\n"));
    QCOMPARE(port->readLine(), std::string("0\r\n"));
    // Not 6 bytes before the line feed: the uploader goes no further.
    QVERIFY(port->send("DIAG:PRG\n"));
    QCOMPARE(port->readLine(), std::string("LOCKED\r\n"));
    QVERIFY(port->send(":10010000214601360121470136007EFE09D2190140\r\n"));
    QCOMPARE(port->readBytes(1), kNak);
    QVERIFY(port->send(":SYST:PASS:CEN SECRET\n:SYST:PASS:STAT?\n"));
    QCOMPARE(port->readLine(), std::string("1\r\n"));
    port->close();
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    const QJsonArray invalid = sim.record()["invalidRecords"].toArray();
    QCOMPARE(invalid.size(), 1);
    QCOMPARE(invalid[0].toObject()["reason"].toString(), QString("not in programming mode"));
    QCOMPARE(sim.record()["revision"].toString(), QString("V8.10"));
  }

  void injectedFaults_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("notBeforeMs");
    QTest::newRow("other maker") << QStringList{"--maker", "ACME"} << "*IDN?\n"
                                 << "ACME,ZRA 12-34,01/01/2010,A123,V8.10\r\n" << 0;
    QTest::newRow("other family and revision")
        << QStringList{"--family", "ZRB", "--revision", "V7.00"} << "*IDN?\n"
        << "ORVEX,ZRB 12-34,01/01/2010,A123,V7.00\r\n" << 0;
    QTest::newRow("whole identification") << QStringList{"--idn-reply", "ORVEX ZRA,12-34\\n"} << "*IDN?\n"
                                          << "ORVEX ZRA,12-34\n" << 0;
    QTest::newRow("short programming reply") << QStringList{"--prg-reply", "READ\\r\\n"} << "DIAG:PRG\n"
                                             << "READ\r\n" << 0;
    QTest::newRow("erase error") << QStringList{"--erase-reply", "1\\r\\n"} << "ERASE\n" << "1\r\n" << 0;
    QTest::newRow("empty erase reply") << QStringList{"--erase-reply", "\\n"} << "ERASE\n" << "\n" << 0;
    QTest::newRow("erase takes its time") << QStringList{"--erase-ms", "300"} << "ERASE\n" << "0\r\n" << 300;
    QTest::newRow("short code test reply") << QStringList{"--test-reply", "OK\\r\\n"} << "T1\r\n" << "OK\r\n"
                                           << 0;
    QTest::newRow("slow reply") << QStringList{"--delay", "idn=200"} << "*IDN?\n"
                                << QString::fromStdString(kIdentity) << 200;
    QTest::newRow("time scale shrinks delays") << QStringList{"--delay", "all=100000", "--time-scale", "0.001"}
                                               << "*IDN?\n" << QString::fromStdString(kIdentity) << 100;
  }
  void injectedFaults() {
    QFETCH(QStringList, args);
    QFETCH(QString, command);
    QFETCH(QString, reply);
    QFETCH(int, notBeforeMs);
    SimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorString()));
    auto port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port);
    QVERIFY(port->send(":SYST:PASS:CEN MORVANTE\nDIAG:PRG\n"));
    QVERIFY(!port->readLine().empty());
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(port->send(command.toStdString()));
    QCOMPARE(QString::fromStdString(port->readLine()), reply);
    QVERIFY2(elapsed.elapsed() >= notBeforeMs, qPrintable(QString::number(elapsed.elapsed())));
  }

  void silencesAndLongReplies() {
    SimProcess sim;
    QVERIFY2(sim.start({"--silent", "idn@1", "--no-ack", "2", "--idn-length", "300"}), qPrintable(sim.errorString()));
    auto port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port);
    QVERIFY(port->send("*IDN?\n"));
    QVERIFY(port->staysQuiet());
    QVERIFY(port->send("*IDN?\n"));
    const std::string identity = port->readLine();
    QCOMPARE(identity.size(), std::size_t{300});
    QVERIFY(identity.starts_with("ORVEX,ZRA 12-34,01/01/2010,A123,V8.10,XXX") && identity.ends_with("X\r\n"));
    QVERIFY(enterProgramming(*port));
    const auto lines = fileLines(firmware_);
    QVERIFY(port->send(lines[0]));
    QCOMPARE(port->readBytes(1), kAck);
    QVERIFY(port->send(lines[1]));
    QVERIFY(port->staysQuiet());
    QVERIFY(port->send(lines[2]));
    QCOMPARE(port->readBytes(1), kAck);
  }

  void droppedLinkTakesThePortAway() {
    SimProcess sim;
    QVERIFY2(sim.start({"--drop-after", "2", "--serial-drop", "close"}), qPrintable(sim.errorString()));
    auto port = WireClient::openSerial(sim.serialPath());
    QVERIFY(port && enterProgramming(*port));
    const auto lines = fileLines(firmware_);
    QVERIFY(port->send(lines[0] + lines[1]));
    QCOMPARE(port->readBytes(2), kAck + kAck);
    QVERIFY(port->seesClose());
    port->close();
    QVERIFY(sim.waitForRecord([](const QJsonObject& r) {
      return r["transports"].toObject()["serial"].toObject()["down"].toBool();
    }));
    QVERIFY(!WireClient::openSerial(sim.serialPath()));
  }
};

QTEST_GUILESS_MAIN(TestSimSerial)
#include "tst_sim_serial.moc"
