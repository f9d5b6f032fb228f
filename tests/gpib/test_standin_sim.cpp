// The stand-in driver library through the binding against the real unit
// simulator (orvex-unit-sim as a separate process): a query and its answer,
// a read that times out, and places where nobody answers.
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

private slots:
    void initTestCase() {
        QVERIFY2(sim_.start(), qPrintable(sim_.error()));
        SendIFC(0);
        ibsre(0, 1);
        ibtmo(0, T10s);
        QCOMPARE(ibsta & ERR, 0);
    }

    void cleanupTestCase() {
        __GPIBRunStateCallback(kRunStateStop);
        sim_.stop();
    }

    // The answer ends with EOI (END): read whole, up to the line feed, or in
    // parts cut by the count, where nothing is written beyond the count.
    void theUnitAnswersItsIdentityWithEnd_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("termination");
        QTest::newRow("whole") << 255 << STOPend;
        QTest::newRow("up to the line feed") << 255 << int('\n');
        QTest::newRow("in parts of 10") << 10 << STOPend;
    }

    void theUnitAnswersItsIdentityWithEnd() {
        QFETCH(int, count);
        QFETCH(int, termination);
        Send(0, kUnit, "*IDN?\n", 6, DABend);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(ibcntl, 6);
        std::string answer;
        int parts = 0;
        do {
            char buffer[256];
            std::memset(buffer, '#', sizeof(buffer));
            Receive(0, kUnit, buffer, count, termination);
            QVERIFY(ibcntl >= 0 && ibcntl <= count);
            QVERIFY(std::all_of(buffer + ibcntl, std::end(buffer), [](char c) { return c == '#'; }));
            answer.append(buffer, ibcntl);
        } while ((ibsta & (ERR | END)) == 0 && ++parts < 20);
        QCOMPARE(ibsta & (ERR | END), END);
        QVERIFY2(answer.starts_with("ORVEX,") && answer.find("V8.10") != std::string::npos &&
                     answer.ends_with('\n'),
                 answer.c_str());
        QCOMPARE(parts > 0, static_cast<int>(answer.size()) > count);
    }

    // With nothing to say the unit lets the read run into the board's
    // time-out; the link then serves the next query.
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
        // The simulator's time-out, not the driver giving up after its grace.
        QVERIFY(sim_.wait_for([](const QJsonObject& record) {
            return record["gpib"].toObject()["readTimeouts"].toInt() >= 1;
        }));
        Send(0, kUnit, "*IDN?\n", 6, DABend);
        Receive(0, kUnit, reply, 255, STOPend);
        QCOMPARE(ibsta & (ERR | END), END);
    }

    void nobodyAnswers_data() {
        QTest::addColumn<int>("board");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("error");
        QTest::newRow("no listener at address 9") << 0 << 9 << ENOL;
        QTest::newRow("no simulator on board 1") << 1 << 6 << ENEB;
        QTest::newRow("no board 8") << 8 << 6 << ENEB;
    }

    void nobodyAnswers() {
        QFETCH(int, board);
        QFETCH(int, address);
        QFETCH(int, error);
        Send(board, MakeAddr(address, NO_SAD), "*RST\n", 5, DABend);
        QCOMPARE(ibsta & ERR, ERR);
        QCOMPARE(iberr, error);
    }

    // The fault setting fails the first call after the board went offline
    // (as after loading) with its error and count; the next call works, and
    // going offline never fails so.
    void firstCallFault_data() {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("status");  // ERR and TIMO of the failed call
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("count");
        QTest::newRow("no device file") << QByteArray("EDVR,2") << ERR << EDVR << 2;
        QTest::newRow("no configuration") << QByteArray("EARG") << ERR << EARG << 0;
        QTest::newRow("time-out") << QByteArray("EABO") << (ERR | TIMO) << EABO << 0;
        QTest::newRow("by number") << QByteArray("1,7") << ERR << ECIC << 7;
        QTest::newRow("unreadable: no fault") << QByteArray("EXYZ,2") << 0 << 0 << 0;
    }
    void firstCallFault() {
        QFETCH(QByteArray, setting);
        QFETCH(int, status);
        QFETCH(int, error);
        QFETCH(int, count);
        qputenv("ORVEX_GPIB_FIRST_CALL_FAILS", setting);
        const auto restore = qScopeGuard([] {
            qunsetenv("ORVEX_GPIB_FIRST_CALL_FAILS");
            SendIFC(0);
            ibsre(0, 1);
            ibtmo(0, T10s);
        });
        ibonl(0, 0);
        QCOMPARE(ibsta & ERR, 0);
        SendIFC(0);
        QCOMPARE(ibsta & (ERR | TIMO), status);
        QCOMPARE(iberr, error);
        QCOMPARE(ibcntl, count);
        Send(0, kUnit, "*RST\n", 5, DABend);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(ibcntl, 5);
    }

private:
    orvex::test::Unit sim_{kTimeScale};
};

QTEST_GUILESS_MAIN(StandinSimulatorTest)
#include "test_standin_sim.moc"
