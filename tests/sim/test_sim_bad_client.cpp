// The simulator as a separate process facing a client that misbehaves: every
// command and every kind of junk (oversized lines, binary bytes, NUL bytes) at
// every step of a run, over the pseudo-terminal and over TCP. After each line
// an identification query follows; the unit's answer to the line and then its
// identity must be all that comes back, so a missing reply, an extra one or
// garbage in between fails the row. A simulator that crashed, hung or met a
// sanitizer finding fails when it is stopped.
#include <QJsonArray>
#include <QTest>

#include <map>

#include "fixture.h"
#include "peer.h"
#include "sim_texts.h"

using namespace orvex::test;
using namespace std::string_literals;

namespace {

// Well past the simulator's line limit of 4096 bytes.
constexpr std::size_t kOversizedBytes = 10000;
// The journal keeps 600 bytes of a line, each escaped in at most 4 characters.
constexpr int kMaxJournalEntryChars = 4 * 600 + 64;

// What brings a unit to each step, after a reset, and what it answers on the way.
const std::string kUnlock = "*RST\n:SYST:PASS:CEN MORVANTE\n";
const std::pair<const char*, std::pair<std::string, std::string>> kSteps[] = {
    {"reset", {"*RST\n", ""}},
    {"unlocked", {kUnlock, ""}},
    {"programming", {kUnlock + "DIAG:PRG\nERASE\n", "READY\r\n0\r\n"}},
    {"afterExit", {kUnlock + "DIAG:PRG\nERASE\nEXIT\n", "READY\r\n0\r\n"}},
};

// A line and the unit's answer at each step; "ACK" and "NAK" are the bus's
// own (a byte on serial, a line on LAN), "IDN" the identity.
struct Probe {
    const char* name;
    std::string bytes;
    std::array<std::string, 4> answers;
};
std::array<std::string, 4> all(const std::string& answer) { return {answer, answer, answer, answer}; }

std::vector<Probe> probes() {
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "\xff\x80?\n";
    return {
        {"reset", "*RST\n", all("")},
        {"identify", "*IDN?\n", all("IDN")},
        {"identifyLowerCaseCrLf", "*idn?\r\n", all("IDN")},
        {"rightPassword", ":SYST:PASS:CEN MORVANTE\n", all("")},
        {"wrongPassword", ":SYST:PASS:CEN WRONG\n", all("")},
        {"passwordState", ":SYST:PASS:STAT?\n", {"0\r\n", "1\r\n", "1\r\n", "1\r\n"}},
        {"programmingMode", "DIAG:PRG\n", {"LOCKED\r\n", "READY\r\n", "READY\r\n", "READY\r\n"}},
        {"erase", "ERASE\n", {"1\r\n", "1\r\n", "0\r\n", "1\r\n"}},
        {"exit", "EXIT\n", all("")},
        {"localOperation", "SYST:REM 0\n", all("")},
        {"codeTest", "TST\n", all("PASS\r\n")},
        {"validRecord", ":0400000001020304F2\n", {"NAK", "NAK", "ACK", "NAK"}},
        {"badChecksum", ":0400000001020304F3\n", all("NAK")},
        {"notHexRecord", ":04000000zz020304F2\n", all("NAK")},
        {"bareLineEnd", "\r\n", all("")},
        {"oversizedText", std::string(kOversizedBytes, 'A') + "\n", all("")},
        {"oversizedRecord", ":" + std::string(kOversizedBytes, '0') + "\n", all("")},
        {"oversizedCodeTest", "T" + std::string(kOversizedBytes, 'x') + "\n", all("")},
        {"oversizedIdentify", "*IDN?" + std::string(kOversizedBytes, ' ') + "\n", all("")},
        // No XON or XOFF: the serial link takes those as flow control.
        {"binaryJunk", "\x01\x02\x7f\x80\xfe\xff junk\x1b[0m\n"s, all("")},
        {"nulInsideCommand", "*IDN?\0\n"s, all("")},
        {"nulBeforeCommand", "\0*IDN?\n"s, all("")},
        {"nulsOnly", "\0\0\0\0\n"s, all("")},
        {"manyJunkLines", many, all("")},
    };
}

}  // namespace

class TestSimBadClient : public QObject {
    Q_OBJECT

    // One unit and one client per transport, for every row.
    std::map<QString, std::pair<std::unique_ptr<Unit>, std::unique_ptr<Peer>>> peers_;

    Peer* client(const QString& transport) {
        auto& [unit, client] = peers_[transport];
        if (client) return client.get();
        unit = std::make_unique<Unit>(0.01);
        if (!unit->start()) return nullptr;
        client = transport == "serial" ? Peer::device(unit->serial_path())
                                       : Peer::tcp(unit->lan_address(), unit->lan_port());
        // A LAN unit listens only to the connection that holds its lock.
        if (client && transport == "lan" && !(client->send(kLockRequest) && client->read_line() == kGranted))
            client.reset();
        return client.get();
    }

private slots:
    void answersOnlyAsTheUnitWould_data() {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<int>("step");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("answer");
        for (const char* transport : {"serial", "lan"})
            for (int step = 0; step < 4; ++step)
                for (const Probe& probe : probes())
                    QTest::addRow("%s/%s/%s", transport, kSteps[step].first, probe.name)
                        << QString(transport) << step << QByteArray::fromStdString(probe.bytes)
                        << QByteArray::fromStdString(probe.answers[std::size_t(step)]);
    }
    void answersOnlyAsTheUnitWould() {
        QFETCH(QString, transport);
        QFETCH(int, step);
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, answer);
        const bool serial = transport == "serial";
        Peer* peer = client(transport);
        QVERIFY2(peer, qPrintable("no client of a simulator on " + transport));
        const auto& [lines, replies] = kSteps[step].second;
        QVERIFY(peer->send(lines));
        QCOMPARE(peer->read(replies.size()), replies);
        QVERIFY(peer->send(line.toStdString()) && peer->send("*IDN?\n"));
        const std::map<QByteArray, std::string> tokens = {
            {"ACK", serial ? "\x06" : "OK\r\n"}, {"NAK", serial ? "\x15" : "ERR\r\n"}, {"IDN", kIdentity}};
        const std::string expected =
            (tokens.contains(answer) ? tokens.at(answer) : answer.toStdString()) + kIdentity;
        QCOMPARE(peer->read(expected.size()), expected);
        QVERIFY(peers_[transport].first->running());
    }

    // Junk is written down in the record for a test to see, but cut, so that a
    // client sending junk without end cannot fill the simulator's memory.
    void oversizedLinesAreJournalledCut() {
        Unit sim(0.01);
        QVERIFY2(sim.start(), qPrintable(sim.error()));
        auto port = Peer::device(sim.serial_path());
        QVERIFY(port && port->send(std::string(kOversizedBytes, '\xff') + "\n" +
                                   std::string(kOversizedBytes, 'B') + "\n*IDN?\n"));
        QCOMPARE(port->read_line(), kIdentity);
        QVERIFY(sim.wait_for(
            [&](const QJsonObject&) { return sim.link(Bus::Rs232)["unknown"].toArray().size() == 2; }));
        for (const auto& entry : sim.link(Bus::Rs232)["unknown"].toArray()) {
            const QString text = entry.toString();
            QVERIFY2(text.startsWith("overlong line: "), qPrintable(text.left(40)));
            QVERIFY2(text.size() <= kMaxJournalEntryChars, qPrintable(QString::number(text.size())));
        }
        QVERIFY2(sim.stop(), qPrintable(sim.error()));
    }

    void cleanupTestCase() {
        for (auto& [transport, peer] : peers_) {
            peer.second.reset();
            QVERIFY2(!peer.first || peer.first->stop(), qPrintable(transport));
        }
    }
};

QTEST_GUILESS_MAIN(TestSimBadClient)
#include "test_sim_bad_client.moc"
