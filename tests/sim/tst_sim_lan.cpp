// The simulator on its LAN interface, driven by plain TCP clients: a whole
// upload on the lock holder's connection, the lock itself, and the faults of
// the LAN side (lock policies, split replies, dropped connection).
#include "sim_process.h"
#include "test_files.h"
#include "wire_client.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace orvex::test;

namespace {

const QStringList kFast = {"--time-scale", "0.01"};
const std::string kLockRequest = "\x12\n";
const std::string kGranted = "<LOCK GRANTED>\r\n";
const std::string kDenied = "<DENIED LOCK>\r\n";
const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";

std::optional<WireClient> connectTo(const SimProcess& sim) {
  return WireClient::connectTcp(sim.lanAddress(), sim.lanPort());
}

QStringList lockEvents(const QJsonObject& record) {
  QStringList events;
  for (const auto& event : record["lan"].toObject()["lockEvents"].toArray()) {
    events << QStringLiteral("%1:%2").arg(event.toObject()["connection"].toInt()).arg(event.toObject()["event"].toString());
  }
  return events;
}

}  // namespace

class TestSimLan : public QObject {
  Q_OBJECT

  QTemporaryDir files_;
  QString firmware_;

 private slots:
  void initTestCase() {
    QVERIFY(files_.isValid());
    firmware_ = SimProcess::makeHex(files_.filePath("firmware.hex"), 400, {"--test-lines", "1"});
    QVERIFY(!firmware_.isEmpty());
  }

  void wholeUploadOnTheLockHoldersConnection() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast), qPrintable(sim.errorString()));
    QVERIFY(sim.lanAddress().startsWith("127.") && sim.lanPort() == 5025);
    auto unit = connectTo(sim);
    QVERIFY(unit);
    QVERIFY(unit->send(kLockRequest));
    QCOMPARE(unit->readLine(), kGranted);
    QVERIFY(unit->send("*RST\n*IDN?\n"));
    QCOMPARE(unit->readLine(), kIdentity);
    QVERIFY(unit->send(":SYST:PASS:CEN MORVANTE\n:syst:pass:stat?\n"));
    QCOMPARE(unit->readLine(), std::string("1\r\n"));
    QVERIFY(unit->send("DIAG:PRG\n"));
    QCOMPARE(unit->readLine(), std::string("READY\r\n"));
    QVERIFY(unit->send("ERASE\n"));
    QCOMPARE(unit->readLine(), std::string("0\r\n"));
    for (const auto& line : fileLines(firmware_)) {
      QVERIFY(unit->send(line));
      QCOMPARE(unit->readLine(), std::string(line.front() == ':' ? "OK\r\n" : "PASS\r\n"));
    }
    QVERIFY(unit->send("EXIT\n*IDN?\n"));
    QCOMPARE(unit->readLine(), "ORVEX,ZRA 12-34,01/01/2010,A123,V8.20\r\n");
    unit->close();
    QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return lockEvents(r).contains("1:released"); }));
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));

    const QJsonObject record = sim.record();
    QCOMPARE(record["records"].toObject()["accepted"].toInt(), 401);
    const QJsonArray connections = record["lan"].toObject()["connections"].toArray();
    QCOMPARE(connections.size(), 1);
    QCOMPARE(connections[0].toObject()["lock"].toString(), QString("granted"));
    QVERIFY(!connections[0].toObject()["open"].toBool());
    QString verdict;
    QVERIFY2(sim.verifyFlash(firmware_, &verdict), qPrintable(verdict));
  }

  void lockBelongsToOneConnectionAtATime() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast), qPrintable(sim.errorString()));
    auto first = connectTo(sim);
    auto second = connectTo(sim);
    QVERIFY(first && second);
    QVERIFY(first->send(kLockRequest));
    QCOMPARE(first->readLine(), kGranted);
    QVERIFY(second->send(kLockRequest));
    QCOMPARE(second->readLine(), kDenied);
    // Without the lock the unit does not listen.
    QVERIFY(second->send("*IDN?\n"));
    QVERIFY(second->staysQuiet());
    QVERIFY(first->send("*IDN?\n"));
    QCOMPARE(first->readLine(), kIdentity);
    // The lock ends with its connection.
    first->close();
    QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return lockEvents(r).contains("1:released"); }));
    QVERIFY(second->send(kLockRequest));
    QCOMPARE(second->readLine(), kGranted);
    QVERIFY(second->send("*IDN?\n"));
    QCOMPARE(second->readLine(), kIdentity);
    second->close();
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    const QJsonObject record = sim.record();
    QCOMPARE(lockEvents(record), QStringList({"1:granted", "2:denied", "1:released", "2:granted", "2:released"}));
    QCOMPARE(record["lan"].toObject()["connections"].toArray()[1].toObject()["rejectedLines"].toInt(), 1);
  }

  void lockPolicies_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("reply");  // empty: no reply at all
    QTest::newRow("denied") << QStringList{"--lock", "deny"} << QString::fromStdString(kDenied);
    QTest::newRow("unanswered") << QStringList{"--lock", "silent"} << QString();
    QTest::newRow("other grant text") << QStringList{"--lock-reply", "GRANTED\\r\\n"} << "GRANTED\r\n";
  }
  void lockPolicies() {
    QFETCH(QStringList, args);
    QFETCH(QString, reply);
    SimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorString()));
    auto unit = connectTo(sim);
    QVERIFY(unit && unit->send(kLockRequest));
    if (reply.isEmpty()) {
      QVERIFY(unit->staysQuiet());
    } else {
      QCOMPARE(QString::fromStdString(unit->readLine()), reply);
    }
  }

  void refusedPasswordOverLan() {
    SimProcess sim;
    QVERIFY2(sim.start({"--password", "OTHER"}), qPrintable(sim.errorString()));
    auto unit = connectTo(sim);
    QVERIFY(unit && unit->send(kLockRequest));
    QCOMPARE(unit->readLine(), kGranted);
    QVERIFY(unit->send(":SYST:PASS:CEN MORVANTE\n:syst:pass:stat?\nDIAG:PRG\n"));
    QCOMPARE(unit->readLine(), std::string("0\r\n"));
    // Eight bytes: a programming-mode reply the uploader refuses.
    QCOMPARE(unit->readLine(), std::string("LOCKED\r\n"));
  }

  void replySplitAcrossSegments() {
    SimProcess sim;
    QVERIFY2(sim.start({"--split", "idn@10", "--split-gap-ms", "300"}), qPrintable(sim.errorString()));
    auto unit = connectTo(sim);
    QVERIFY(unit && unit->send(kLockRequest));
    QCOMPARE(unit->readLine(), kGranted);
    QVERIFY(unit->send("*IDN?\n"));
    QCOMPARE(unit->readSome(), kIdentity.substr(0, 10));
    QCOMPARE(unit->readSome(), kIdentity.substr(10));
  }

  void droppedConnectionAfterRecords() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast + QStringList{"--drop-after", "2"}), qPrintable(sim.errorString()));
    auto unit = connectTo(sim);
    QVERIFY(unit && unit->send(kLockRequest + ":SYST:PASS:CEN MORVANTE\nDIAG:PRG\nERASE\n"));
    QCOMPARE(unit->readLine(), kGranted);
    QCOMPARE(unit->readLine(), std::string("READY\r\n"));
    QCOMPARE(unit->readLine(), std::string("0\r\n"));
    const auto lines = fileLines(firmware_);
    QVERIFY(unit->send(lines[0] + lines[1]));
    QCOMPARE(unit->readBytes(8), std::string("OK\r\nOK\r\n"));
    QVERIFY(unit->seesClose());
    // The unit still takes new connections.
    auto again = connectTo(sim);
    QVERIFY(again && again->send(kLockRequest));
    QCOMPARE(again->readLine(), kGranted);
  }
};

QTEST_GUILESS_MAIN(TestSimLan)
#include "tst_sim_lan.moc"
