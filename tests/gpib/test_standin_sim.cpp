// The stand-in driver library through the binding against the real unit
// simulator (orvex-unit-sim as a separate process): a query and its answer,
// a read that times out, and an address where nobody listens.
#include <QtTest>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gpib.h"
#include "sim_process.h"

using namespace gpib;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// The driver's time-outs and the unit's own pauses shrink together: T10s is 100 ms.
constexpr const char* kTimeScale = "0.01";
// The simulator's read timer is a coarse one, which may fire a few
// milliseconds early; far earlier would mean the time-out was not the board's.
constexpr milliseconds kEarliestTimeout{90};
constexpr milliseconds kGenerousLimit{10'000};
constexpr int kBoard = 0;
constexpr Addr4882_t kUnit = MakeAddr(6, NO_SAD);  // the simulator's default address
constexpr Addr4882_t kNobody = MakeAddr(9, NO_SAD);
constexpr long kReplyCount = 255;

}  // namespace

class StandinSimulatorTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        setenv("ORVEX_GPIB_TIME_SCALE", kTimeScale, 1);
        QVERIFY2(sim_.start({"--time-scale", kTimeScale}), qPrintable(sim_.errorString()));
        sim_.exportEnvironment();
    }

    void cleanupTestCase() {
        __GPIBRunStateCallback(kRunStateStop);
        sim_.stop();
    }

    void theUnitAnswersItsIdentityWithEnd() {
        SendIFC(kBoard);
        QCOMPARE(ibsta & ERR, 0);
        ibsre(kBoard, 1);
        ibtmo(kBoard, T10s);
        Send(kBoard, kUnit, "*IDN?\n", 6, DABend);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(ibcntl, 6);

        char reply[256];
        std::memset(reply, 0, sizeof(reply));
        Receive(kBoard, kUnit, reply, kReplyCount, STOPend);
        QCOMPARE(ibsta & (ERR | END), END);
        const std::string text(reply);
        QCOMPARE(ibcntl, static_cast<int>(text.size()));
        QVERIFY2(text.rfind("ORVEX,", 0) == 0, reply);
        QVERIFY2(text.find("V8.10") != std::string::npos, reply);
        QCOMPARE(text.back(), '\n');
    }

    void aReadWithNothingToSayTimesOut() {
        char reply[256] = {};
        const auto start = Clock::now();
        Receive(kBoard, kUnit, reply, kReplyCount, STOPend);
        const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        QCOMPARE(ibsta & (ERR | TIMO), ERR | TIMO);
        QCOMPARE(iberr, EABO);
        QVERIFY2(waited >= kEarliestTimeout, std::to_string(waited.count()).c_str());
        QVERIFY(waited < kGenerousLimit);
        // The simulator answered the time-out: the link serves the next query.
        Send(kBoard, kUnit, "*IDN?\n", 6, DABend);
        Receive(kBoard, kUnit, reply, kReplyCount, STOPend);
        QCOMPARE(ibsta & (ERR | END), END);
    }

    void nobodyListensAtAnotherAddress() {
        Send(kBoard, kNobody, "*RST\n", 5, DABend);
        QCOMPARE(ibsta & ERR, ERR);
        QCOMPARE(iberr, ENOL);
    }

    void theSimulatorSawWhatTheDriverDid() {
        ibonl(kBoard, 0);
        sim_.stop();
        const QJsonObject gpib = sim_.record()["gpib"].toObject();
        QVERIFY2(gpib["interfaceClears"].toInt() >= 1, qPrintable(QJsonDocument(gpib).toJson()));
        QVERIFY(gpib["readTimeouts"].toInt() >= 1);
        QVERIFY(gpib["noListener"].toInt() >= 1);
    }

private:
    orvex::test::SimProcess sim_;
};

QTEST_GUILESS_MAIN(StandinSimulatorTest)
#include "test_standin_sim.moc"
