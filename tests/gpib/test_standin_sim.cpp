// The stand-in driver through the binding against the simulator as a separate
// process: an answer read in parts, a read and a first call that time out, a
// board that vanishes. Unknown boards and addresses are rows of the fault table.
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "gpib.h"
#include "fixture.h"

using namespace gpib;
using std::chrono::milliseconds;

// The driver's time-outs and the unit's own pauses shrink together: T10s is 100 ms.
constexpr double kTimeScale = 0.01;
constexpr Addr4882_t kUnit = MakeAddr(6, NO_SAD);  // the simulator's default address

class StandinSimulatorTest : public QObject {
    Q_OBJECT

    // The board ready as the upload sequence leaves it.
    static bool readyBoard() {
        SendIFC(0);
        ibsre(0, 1);
        ibtmo(0, T10s);
        return (ibsta & ERR) == 0;
    }

private slots:
    void initTestCase() { QVERIFY2(sim_.start() && readyBoard(), qPrintable(sim_.error())); }

    void cleanupTestCase() {
        __GPIBRunStateCallback(kRunStateStop);
        sim_.stop();
    }

    // The answer, read in parts cut by the count, ends with EOI (END) on its
    // last part only; nothing is written beyond the count.
    void theUnitAnswersItsIdentityInParts() {
        Send(0, kUnit, "*IDN?\n", 6, DABend);
        QCOMPARE((QList<int>{ibsta & ERR, ibcntl}), (QList<int>{0, 6}));
        std::string answer;
        int parts = 0;
        do {
            char buffer[16];
            std::memset(buffer, '#', sizeof(buffer));
            Receive(0, kUnit, buffer, 10, STOPend);
            QVERIFY(ibcntl >= 0 && ibcntl <= 10);
            QVERIFY(std::all_of(buffer + ibcntl, std::end(buffer), [](char c) { return c == '#'; }));
            answer.append(buffer, ibcntl);
        } while ((ibsta & (ERR | END)) == 0 && ++parts < 20);
        QCOMPARE(ibsta & (ERR | END), END);
        QCOMPARE(answer, std::string("ORVEX,ZRA 12-34,01/01/2010,A123,V8.10\r\n"));
    }

    // With nothing to say the unit lets the read run into the board's
    // time-out (the simulator's, not the driver giving up after its grace);
    // the link then serves the next query.
    void aReadWithNothingToSayTimesOut() {
        char reply[256] = {};
        const auto start = std::chrono::steady_clock::now();
        Receive(0, kUnit, reply, 255, STOPend);
        const auto waited = std::chrono::steady_clock::now() - start;
        QCOMPARE(ibsta & (ERR | TIMO), ERR | TIMO);
        QCOMPARE(iberr, EABO);
        // A coarse timer may fire a few milliseconds early; far earlier would
        // mean the time-out was not the board's.
        QVERIFY2(waited >= milliseconds(90),
                 std::to_string(std::chrono::duration_cast<milliseconds>(waited).count()).c_str());
        QVERIFY(sim_.wait_for([](const QJsonObject& record) {
            return record["gpib"].toObject()["readTimeouts"].toInt() >= 1;
        }));
        Send(0, kUnit, "*IDN?\n", 6, DABend);
        Receive(0, kUnit, reply, 255, STOPend);
        QCOMPARE(ibsta & (ERR | END), END);
    }

    // The driver's first call after the board went offline fails as the
    // fault setting says: a time-out, with TIMO beside EABO. The next calls work.
    void firstCallTimesOut() {
        qputenv("ORVEX_GPIB_FIRST_CALL_FAILS", "EABO");
        ibonl(0, 0);
        SendIFC(0);
        qunsetenv("ORVEX_GPIB_FIRST_CALL_FAILS");
        QCOMPARE((QList<int>{ibsta & (ERR | TIMO), iberr, ibcntl}), (QList<int>{ERR | TIMO, EABO, 0}));
        QVERIFY(readyBoard());
    }

    // The board's socket goes away after the first record (--gpib-drop
    // vanish): the next write finds no board.
    void theBoardVanishes() {
        QVERIFY2(sim_.start({"--drop-after", "1", "--gpib-drop", "vanish"}) && readyBoard(),
                 qPrintable(sim_.error()));
        Send(0, kUnit, ":0100000042BD\r\n", 15, DABend);
        QCOMPARE(ibsta & ERR, 0);
        QTRY_VERIFY(!QFileInfo::exists(sim_.gpib_socket()));
        Send(0, kUnit, "*IDN?\n", 6, DABend);
        QCOMPARE((QList<int>{ibsta & ERR, iberr}), (QList<int>{ERR, ENEB}));
    }

private:
    orvex::test::Unit sim_{kTimeScale};
};

QTEST_GUILESS_MAIN(StandinSimulatorTest)
#include "test_standin_sim.moc"
