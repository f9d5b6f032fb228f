// The simulator on a GPIB board socket, driven by a plain client speaking the
// stand-in driver's protocol: replies wait for the next read and end with
// END, reads time out, other addresses have no listener, a waiting read does
// not hold up other controllers, and a whole upload lands in the flash.
#include "sim_process.h"
#include "test_files.h"
#include "wire_client.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

using namespace orvex::test;

namespace {

constexpr int kUnit = 6;
constexpr std::uint32_t kMaxRead = 255;
constexpr std::uint32_t kLongWaitMs = 20000;
const QStringList kFast = {"--time-scale", "0.01"};
const std::string kIdentity = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n";

std::optional<GpibClient> connectTo(const SimProcess& sim) {
  auto wire = WireClient::connectUnix(sim.gpibSocketPath());
  if (!wire) return std::nullopt;
  return GpibClient(std::move(*wire));
}

// Sends a command as the uploader does: one write, EOI on its last byte.
bool command(GpibClient& bus, std::string_view text) {
  const GpibAnswer answer = bus.write(kUnit, text);
  return answer.status == 'K' && answer.length == text.size();
}

std::string query(GpibClient& bus, std::string_view text) {
  if (!command(bus, text)) return "(write failed)";
  const GpibAnswer answer = bus.read(kUnit, kMaxRead, kLongWaitMs);
  return answer.status == 'K' && answer.end() ? answer.data : "(no answer)";
}

}  // namespace

class TestSimGpib : public QObject {
  Q_OBJECT

  QTemporaryDir files_;

 private slots:
  void initTestCase() { QVERIFY(files_.isValid()); }

  void replyWaitsForTheNextReadAndEndsWithEnd() {
    SimProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    QVERIFY(sim.gpibSocketPath().endsWith("/gpib0.sock"));
    auto bus = connectTo(sim);
    QVERIFY(bus);
    QCOMPARE(bus->interfaceClear().status, 'K');
    QVERIFY(command(*bus, "*IDN?\n"));
    // A read shorter than the reply takes its first part without END.
    const GpibAnswer head = bus->read(kUnit, 10, kLongWaitMs);
    QCOMPARE(head.status, 'K');
    QCOMPARE(head.data, kIdentity.substr(0, 10));
    QVERIFY(!head.end());
    const GpibAnswer rest = bus->read(kUnit, kMaxRead, kLongWaitMs);
    QCOMPARE(rest.data, kIdentity.substr(10));
    QVERIFY(rest.end());
    // A command in two writes, EOI only on the second, is one command.
    QCOMPARE(bus->write(kUnit, "*ID", false).status, 'K');
    QCOMPARE(bus->write(kUnit, "N?\n", true).status, 'K');
    QCOMPARE(bus->read(kUnit, kMaxRead, kLongWaitMs).data, kIdentity);
  }

  void timeOutAndNoListener() {
    SimProcess sim;
    QVERIFY2(sim.start({"--gpib-address", "9"}), qPrintable(sim.errorString()));
    auto bus = connectTo(sim);
    QVERIFY(bus);
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(bus->read(9, kMaxRead, 200).status, 'T');
    QVERIFY(elapsed.elapsed() >= 190);
    QCOMPARE(bus->write(kUnit, "*IDN?\n").status, 'N');
    QCOMPARE(bus->read(kUnit, kMaxRead, 200).status, 'N');
    // Nothing was queued by the write to the empty address.
    QCOMPARE(bus->read(9, kMaxRead, 200).status, 'T');
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    const QJsonObject gpib = sim.record()["gpib"].toObject();
    QCOMPARE(gpib["noListener"].toInt(), 2);
    QCOMPARE(gpib["readTimeouts"].toInt(), 2);
  }

  // The erase takes long; while one controller waits for its answer, another
  // is served at once.
  void waitingReadHoldsUpNoOne() {
    SimProcess sim;
    QVERIFY2(sim.start({"--erase-ms", "3000"}), qPrintable(sim.errorString()));
    auto waiting = connectTo(sim);
    auto other = connectTo(sim);
    QVERIFY(waiting && other);
    QVERIFY(command(*waiting, ":SYST:PASS:CEN MORVANTE\n"));
    QCOMPARE(query(*waiting, "DIAG:PRG\n"), std::string("READY\r\n"));
    QVERIFY(command(*waiting, "ERASE\n"));
    QVERIFY(waiting->sendRead(kUnit, kMaxRead, kLongWaitMs));
    QCOMPARE(other->interfaceClear().status, 'K');
    QCOMPARE(other->read(kUnit + 1, kMaxRead, kLongWaitMs).status, 'N');
    const GpibAnswer erased = waiting->answer(std::chrono::milliseconds(kLongWaitMs), true);
    QCOMPARE(erased.status, 'K');
    QCOMPARE(erased.data, std::string("0\r\n"));
    QVERIFY(erased.end());
  }

  void wholeUploadWithCodeTests() {
    SimProcess sim;
    QVERIFY2(sim.start(kFast + QStringList{"--gpib-board", "2"}), qPrintable(sim.errorString()));
    QVERIFY(sim.gpibSocketPath().endsWith("/gpib2.sock"));
    const QString firmware = SimProcess::makeHex(files_.filePath("firmware.hex"), 300, {"--test-lines", "2"});
    QVERIFY(!firmware.isEmpty() && insertLine(firmware, 150, kLongCodeTest));
    auto bus = connectTo(sim);
    QVERIFY(bus);
    QVERIFY(command(*bus, "*RST\n"));
    QCOMPARE(query(*bus, "*IDN?\n"), kIdentity);
    QVERIFY(command(*bus, ":SYST:PASS:CEN MORVANTE\n"));
    QCOMPARE(query(*bus, ":syst:pass:stat?\n"), std::string("1\r\n"));
    QCOMPARE(query(*bus, "DIAG:PRG\n"), std::string("READY\r\n"));
    QCOMPARE(query(*bus, "ERASE\n"), std::string("0\r\n"));
    int codeTests = 0;
    for (const auto& line : fileLines(firmware)) {
      // Every piece is its own write with EOI; a piece that begins a code
      // test is answered, its continuation is not.
      for (const auto& piece : pieces(line)) {
        QVERIFY(command(*bus, piece));
        if (piece.front() == 'T') {
          QCOMPARE(bus->read(kUnit, kMaxRead, kLongWaitMs).data, std::string("PASS\r\n"));
          ++codeTests;
        }
      }
    }
    QCOMPARE(codeTests, 3);
    // No acknowledgment of any record is waiting.
    QCOMPARE(bus->read(kUnit, kMaxRead, 200).status, 'T');
    QVERIFY(command(*bus, "EXIT\n"));
    QCOMPARE(query(*bus, "*IDN?\n"), std::string("ORVEX,ZRA 12-34,01/01/2010,A123,V8.20\r\n"));
    QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    // A clean stop leaves no socket and no link behind.
    QVERIFY(!QFileInfo::exists(sim.gpibSocketPath()));
    QVERIFY(!QFileInfo(sim.serialPath()).isSymLink());
    const QJsonObject record = sim.record();
    QCOMPARE(record["records"].toObject()["accepted"].toInt(), 301);
    QCOMPARE(record["transports"].toObject()["gpib"].toObject()["unknown"].toArray().size(), 0);
    QString verdict;
    QVERIFY2(sim.verifyFlash(firmware, &verdict), qPrintable(verdict));
  }
};

QTEST_GUILESS_MAIN(TestSimGpib)
#include "tst_sim_gpib.moc"
