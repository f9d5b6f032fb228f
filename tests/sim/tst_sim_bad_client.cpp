// The simulator as a separate process facing a client that misbehaves: every
// command and every kind of junk (oversized lines, binary bytes, NUL bytes) at
// every step of a run, over the pseudo-terminal and over TCP. After each line
// an identification query follows; the unit's answer to the line and then its
// identity must be all that comes back, so a missing reply, an extra one or
// garbage in between fails the row. A simulator that crashed, hung or met a
// sanitizer finding fails when it is stopped.
#include "sim_process.h"
#include "sim_test_texts.h"
#include "wire_client.h"

#include <QJsonArray>
#include <QTest>

#include <array>
#include <map>

using namespace orvex::test;
using namespace std::string_literals;

namespace {

const std::string kIdentify = "*IDN?\n";
// Well past the simulator's line limit of 4096 bytes.
constexpr std::size_t kOversizedBytes = 10000;
// The journal keeps 600 bytes of a line, each escaped in at most 4 characters.
constexpr int kMaxJournalEntryChars = 4 * 600 + 64;

enum class Step { fresh, reset, unlocked, programming, afterExit };
constexpr std::array kSteps{Step::fresh, Step::reset, Step::unlocked, Step::programming, Step::afterExit};
constexpr std::array kStepNames{"fresh", "reset", "unlocked", "programming", "afterExit"};

// What brings a unit, after a reset, to each step, and what it answers on the way.
struct StepSetup {
    std::string lines;
    std::string replies;
};

StepSetup setupFor(Step step) {
    const std::string unlock = "*RST\n:SYST:PASS:CEN MORVANTE\n";
    switch (step) {
        case Step::fresh:
            return {};
        case Step::reset:
            return {"*RST\n", ""};
        case Step::unlocked:
            return {unlock, ""};
        case Step::programming:
            return {unlock + "DIAG:PRG\nERASE\n", "READY\r\n0\r\n"};
        case Step::afterExit:
            return {unlock + "DIAG:PRG\nERASE\nEXIT\n", "READY\r\n0\r\n"};
    }
    return {};
}

enum class Answer {
    none,
    identity,
    unlocked,
    locked,
    ready,
    notUnlocked,
    erased,
    eraseRefused,
    passed,
    ack,
    nak
};

std::string answerBytes(Answer answer, bool serial) {
    switch (answer) {
        case Answer::none:
            return {};
        case Answer::identity:
            return kIdentity;
        case Answer::unlocked:
            return "1\r\n";
        case Answer::locked:
            return "0\r\n";
        case Answer::ready:
            return "READY\r\n";
        case Answer::notUnlocked:
            return "LOCKED\r\n";
        case Answer::erased:
            return "0\r\n";
        case Answer::eraseRefused:
            return "1\r\n";
        case Answer::passed:
            return "PASS\r\n";
        case Answer::ack:
            return serial ? "\x06" : "OK\r\n";
        case Answer::nak:
            return serial ? "\x15" : "ERR\r\n";
    }
    return {};
}

// A line sent by the client and the unit's answer at each step, in kSteps order.
struct Probe {
    const char* name;
    std::string bytes;
    std::array<Answer, kSteps.size()> answers;
};

constexpr std::array<Answer, kSteps.size()> all(Answer answer) {
    return {answer, answer, answer, answer, answer};
}

std::vector<Probe> probes() {
    using A = Answer;
    return {
        {"reset", "*RST\n", all(A::none)},
        {"identify", "*IDN?\n", all(A::identity)},
        {"identifyLowerCaseCrLf", "*idn?\r\n", all(A::identity)},
        {"rightPassword", ":SYST:PASS:CEN MORVANTE\n", all(A::none)},
        {"wrongPassword", ":SYST:PASS:CEN WRONG\n", all(A::none)},
        {"passwordState",
         ":SYST:PASS:STAT?\n",
         {A::locked, A::locked, A::unlocked, A::unlocked, A::unlocked}},
        {"programmingMode", "DIAG:PRG\n", {A::notUnlocked, A::notUnlocked, A::ready, A::ready, A::ready}},
        {"erase", "ERASE\n", {A::eraseRefused, A::eraseRefused, A::eraseRefused, A::erased, A::eraseRefused}},
        {"exit", "EXIT\n", all(A::none)},
        {"localOperation", "SYST:REM 0\n", all(A::none)},
        {"codeTest", "TST\n", all(A::passed)},
        {"validRecord", ":0400000001020304F2\n", {A::nak, A::nak, A::nak, A::ack, A::nak}},
        {"badChecksum", ":0400000001020304F3\n", all(A::nak)},
        {"notHexRecord", ":04000000zz020304F2\n", all(A::nak)},
        {"bareLineEnd", "\r\n", all(A::none)},
        {"oversizedText", std::string(kOversizedBytes, 'A') + "\n", all(A::none)},
        {"oversizedRecord", ":" + std::string(kOversizedBytes, '0') + "\n", all(A::none)},
        {"oversizedCodeTest", "T" + std::string(kOversizedBytes, 'x') + "\n", all(A::none)},
        {"oversizedIdentify", "*IDN?" + std::string(kOversizedBytes, ' ') + "\n", all(A::none)},
        // No XON or XOFF: the serial link takes those as flow control.
        {"binaryJunk", "\x01\x02\x7f\x80\xfe\xff junk\x1b[0m\n"s, all(A::none)},
        {"nulInsideCommand", "*IDN?\0\n"s, all(A::none)},
        {"nulBeforeCommand", "\0*IDN?\n"s, all(A::none)},
        {"nulsOnly", "\0\0\0\0\n"s, all(A::none)},
        {"manyJunkLines",
         [] {
             std::string lines;
             for (int i = 0; i < 2000; ++i) lines += "\xff\x80?\n";
             return lines;
         }(),
         all(A::none)},
    };
}

// The simulator and one plain client on one of its links.
struct Peer {
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<WireClient> client;
};

}  // namespace

class TestSimBadClient : public QObject {
    Q_OBJECT

    std::map<QString, Peer> peers_;  // by transport

    // Stops a peer's simulator: false when it did not exit cleanly by itself.
    static bool stop(Peer& peer) {
        peer.client.reset();
        const bool clean = !peer.sim || peer.sim->stop();
        peer.sim.reset();
        return clean;
    }

    // The transport's peer, on a newly started simulator when `restart` is set.
    Peer* peerFor(const QString& transport, bool restart, QString* error) {
        Peer& peer = peers_[transport];
        if (peer.sim && !restart) return &peer;
        if (!stop(peer)) {
            *error = "the previous simulator did not stop cleanly";
            return nullptr;
        }
        peer.sim = std::make_unique<SimProcess>();
        if (!peer.sim->start(kFast)) {
            *error = peer.sim->errorString();
            return nullptr;
        }
        if (transport == "serial") {
            peer.client = WireClient::openSerial(peer.sim->serialPath());
        } else {
            peer.client = WireClient::connectTcp(peer.sim->lanAddress(), peer.sim->lanPort());
            // A LAN unit listens only to the connection that holds its lock.
            if (peer.client && !(peer.client->send(kLockRequest) && peer.client->readLine() == kGranted))
                peer.client.reset();
        }
        if (!peer.client) *error = "no client connection to the simulator on " + transport;
        return peer.client ? &peer : nullptr;
    }

private slots:
    void answersOnlyAsTheUnitWould_data() {
        QTest::addColumn<QString>("transport");
        QTest::addColumn<int>("step");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("answer");
        for (const char* transport : {"serial", "lan"}) {
            for (std::size_t step = 0; step < kSteps.size(); ++step) {
                for (const Probe& probe : probes()) {
                    QTest::addRow("%s/%s/%s", transport, kStepNames[step], probe.name)
                        << QString(transport) << static_cast<int>(step)
                        << QByteArray::fromStdString(probe.bytes) << static_cast<int>(probe.answers[step]);
                }
            }
        }
    }

    void answersOnlyAsTheUnitWould() {
        QFETCH(QString, transport);
        QFETCH(int, step);
        QFETCH(QByteArray, line);
        QFETCH(int, answer);
        const bool serial = transport == "serial";
        QString error;
        Peer* peer = peerFor(transport, kSteps[step] == Step::fresh, &error);
        QVERIFY2(peer, qPrintable(error));

        const StepSetup setup = setupFor(kSteps[step]);
        QVERIFY(peer->client->send(setup.lines));
        QCOMPARE(peer->client->readBytes(setup.replies.size()), setup.replies);

        QVERIFY(peer->client->send(line.toStdString()));
        QVERIFY(peer->client->send(kIdentify));
        const std::string expected = answerBytes(static_cast<Answer>(answer), serial) + kIdentity;
        QCOMPARE(peer->client->readBytes(expected.size()), expected);
        QVERIFY(peer->sim->isRunning());
    }

    // Junk is written down in the record for a test to see, but cut, so that a
    // client sending junk without end cannot fill the simulator's memory.
    void oversizedLinesAreJournalledCut() {
        SimProcess sim;
        QVERIFY2(sim.start(kFast), qPrintable(sim.errorString()));
        auto port = WireClient::openSerial(sim.serialPath());
        QVERIFY(port);
        QVERIFY(port->send(std::string(kOversizedBytes, '\xff') + "\n" + std::string(kOversizedBytes, 'B') +
                           "\n" + kIdentify));
        QCOMPARE(port->readLine(), kIdentity);
        QVERIFY(sim.waitForRecord([](const QJsonObject& record) {
            return record["transports"].toObject()["serial"].toObject()["unknown"].toArray().size() == 2;
        }));
        const QJsonArray unknown =
            sim.record()["transports"].toObject()["serial"].toObject()["unknown"].toArray();
        for (const auto& entry : unknown) {
            const QString text = entry.toString();
            QVERIFY2(text.startsWith("overlong line: "), qPrintable(text.left(40)));
            QVERIFY2(text.size() <= kMaxJournalEntryChars, qPrintable(QString::number(text.size())));
        }
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    void cleanupTestCase() {
        for (auto& [transport, peer] : peers_) QVERIFY2(stop(peer), qPrintable(transport));
    }
};

QTEST_GUILESS_MAIN(TestSimBadClient)
#include "tst_sim_bad_client.moc"
