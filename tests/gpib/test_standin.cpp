// The stand-in driver library through the binding, against a simulator side
// of the wire protocol inside the test: the exact requests on the wire, and
// the faults the real simulator does not make (silence, broken answers,
// closed links). test_standin_sim.cpp runs the driver against the real one.
#include <QtTest>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "gpib.h"
#include "protocol_server.h"

using namespace gpib;
using gpib_test::ProtocolServer;
using gpib_test::WireReply;
using gpib_test::WireRequest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// T10s shrinks to 100 ms: a time-out test takes a fraction of a second.
constexpr const char* kTimeScale = "0.01";
constexpr std::uint32_t kScaledT10s_ms = 100;
constexpr std::uint32_t kScaledT1s_ms = 10;
constexpr milliseconds kGenerousLimit{10'000};
constexpr int kUnitAddress = 6;
constexpr Addr4882_t kUnit = MakeAddr(kUnitAddress, NO_SAD);

const std::string kIdentity = "ORVEX,PS,3650A,010203,A123456,1.07\n";

// A unit that accepts every write and answers every read with its identity.
WireReply ObligingUnit(const WireRequest& request) {
    if (request.op == 'W') return WireReply::Ok(request.length);
    if (request.op == 'R') return WireReply::Data(kIdentity, true);
    return WireReply::Ok();
}

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

}  // namespace

class StandinTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(directory_.isValid());
        const std::string pattern = directory_.path().toStdString() + "/board%d.sock";
        setenv("ORVEX_GPIB_SIM", pattern.c_str(), 1);
        setenv("ORVEX_GPIB_TIME_SCALE", kTimeScale, 1);
        QVERIFY(__MakeSureGPIBDLLIsLoaded());
    }

    void cleanup() {
        ibonl(0, 0);  // back to T10s, link closed
        server_.reset();
    }

    void cleanupTestCase() { __GPIBRunStateCallback(kRunStateStop); }

    void aQueryAndItsAnswerCarryEoiAndEnd() {
        Serve(0, &ObligingUnit);
        SendIFC(0);
        QCOMPARE(ibsta & ERR, 0);
        ibsre(0, 1);
        ibtmo(0, T10s);
        QCOMPARE(ibsta & ERR, 0);

        Send(0, kUnit, "*IDN?\n", 6, DABend);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(ibcntl, 6);
        char reply[256];
        std::memset(reply, 0, sizeof(reply));
        Receive(0, kUnit, reply, 255, STOPend);
        QCOMPARE(ibsta & (ERR | END | CMPL), END | CMPL);
        QCOMPARE(ibcntl, static_cast<int>(kIdentity.size()));
        QCOMPARE(std::string(reply), kIdentity);

        const auto requests = server_->Requests();
        QCOMPARE(requests.size(), std::size_t{3});
        QCOMPARE(requests[0].op, 'I');
        QCOMPARE(requests[1].op, 'W');
        QCOMPARE(requests[1].address, kUnitAddress);
        QCOMPARE(requests[1].flags, 1);  // EOI with the line feed
        QCOMPARE(requests[1].data, std::string("*IDN?\n"));
        QCOMPARE(requests[2].op, 'R');
        QCOMPARE(requests[2].address, kUnitAddress);
        QCOMPARE(requests[2].length, 255u);
        QCOMPARE(requests[2].timeout_ms, kScaledT10s_ms);
        QCOMPARE(server_->ConnectionsAccepted(), 1);  // one link for the whole exchange
    }

    void endModesDecideEoi() {
        Serve(0, &ObligingUnit);
        Send(0, kUnit, "ab", 2, NULLend);
        Send(0, kUnit, "cd", 2, NLend);
        QCOMPARE(ibsta & ERR, 0);
        Send(0, kUnit, "ef", 2, 7);  // not an end mode
        QCOMPARE(ibsta & ERR, ERR);
        QCOMPARE(iberr, EARG);
        const auto requests = server_->Requests();
        QCOMPARE(requests.size(), std::size_t{2});
        QCOMPARE(requests[0].flags, 0);
        QCOMPARE(requests[0].data, std::string("ab"));
        QCOMPARE(requests[1].flags, 1);
        QCOMPARE(requests[1].data, std::string("cd\n"));
    }

    void aReadStoresAtMostItsCountAndNothingBeyond() {
        const std::string longAnswer(300, 'x');
        Serve(0, [&](const WireRequest& request) {
            return WireReply::Data(longAnswer.substr(0, request.length), false);
        });
        char reply[300];
        std::memset(reply, '#', sizeof(reply));
        Receive(0, kUnit, reply, 255, STOPend);
        QCOMPARE(ibsta & (ERR | END), 0);  // cut by the count, not ended by EOI
        QCOMPARE(ibcntl, 255);
        QCOMPARE(std::string(reply, 255), std::string(255, 'x'));
        QCOMPARE(std::string(reply + 255, 45), std::string(45, '#'));
    }

    void anEndOfStringByteIsFoundByteByByte() {
        std::string pending = "1.07\r\nrest";
        Serve(0, [&](const WireRequest& request) {
            const std::string next = pending.substr(0, request.length);
            pending.erase(0, next.size());
            return WireReply::Data(next, pending.empty());
        });
        char reply[64] = {};
        Receive(0, kUnit, reply, sizeof(reply), '\n');
        QCOMPARE(ibsta & (ERR | END), END);
        QCOMPARE(std::string(reply), std::string("1.07\r\n"));
        QCOMPARE(server_->Requests().size(), std::size_t{6});
    }

    void aSilentSimulatorTimesOutAndTheLinkIsDropped() {
        Serve(0, [](const WireRequest& request) {
            if (request.op == 'R') return WireReply::Silent();
            return WireReply::Ok(request.length);
        });
        ibtmo(0, T1s);
        char reply[256] = {};
        const auto start = Clock::now();
        Receive(0, kUnit, reply, 255, STOPend);
        QCOMPARE(ibsta & (ERR | TIMO), ERR | TIMO);
        QCOMPARE(iberr, EABO);
        QVERIFY(Since(start) >= milliseconds(kScaledT1s_ms));
        QCOMPARE(server_->Requests().back().timeout_ms, kScaledT1s_ms);
        // A late answer could no longer be told from the next one: the link goes.
        QVERIFY(server_->WaitForClosedConnections(1, kGenerousLimit));
        Send(0, kUnit, "*RST\n", 5, DABend);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(server_->ConnectionsAccepted(), 2);
    }

    void aBrokenAnswerIsAnErrorAndDropsTheLink() {
        Serve(0, [](const WireRequest&) { return WireReply::Data(std::string(20, 'y'), true); });
        char reply[16] = {};
        Receive(0, kUnit, reply, 10, STOPend);  // 20 bytes where at most 10 may come
        QCOMPARE(ibsta & ERR, ERR);
        QCOMPARE(iberr, EDVR);
        QVERIFY(server_->WaitForClosedConnections(1, kGenerousLimit));
    }

    void aLinkTheSimulatorClosedIsOpenedAgain() {
        Serve(0, [](const WireRequest& request) {
            WireReply reply = WireReply::Ok(request.length);
            reply.action = WireReply::Action::AnswerThenClose;
            return reply;
        });
        for (int i = 1; i <= 3; ++i) {
            Send(0, kUnit, "*RST\n", 5, DABend);
            QCOMPARE(ibsta & ERR, 0);
            // The simulator is gone before the next call, as after a restart.
            QVERIFY(server_->WaitForConnectionsClosedHere(i, kGenerousLimit));
        }
        QCOMPARE(server_->ConnectionsAccepted(), 3);
    }

    void eachBoardHasItsOwnSocketOrIsNotThere() {
        Serve(3, &ObligingUnit);
        SendIFC(3);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(server_->Requests().size(), std::size_t{1});
        SendIFC(0);  // nobody serves board 0
        QCOMPARE(ibsta & ERR, ERR);
        QCOMPARE(iberr, ENEB);
        SendIFC(8);  // no such board
        QCOMPARE(iberr, ENEB);
        const std::string saved = std::getenv("ORVEX_GPIB_SIM");
        unsetenv("ORVEX_GPIB_SIM");
        ibonl(3, 0);  // closes the link: the next call must connect anew
        SendIFC(3);
        setenv("ORVEX_GPIB_SIM", saved.c_str(), 1);
        QCOMPARE(iberr, ENEB);
    }

    void deviceDescriptorsTalkToTheirAddress() {
        Serve(0, &ObligingUnit);
        const int ud = ibdev(0, kUnitAddress, 0, T1s, 1, 0);
        QVERIFY(ud >= 0);
        QCOMPARE(ibsta & ERR, 0);
        QCOMPARE(ibwrt(ud, "*IDN?\n", 6) & ERR, 0);
        char reply[64] = {};
        QCOMPARE(ibrd(ud, reply, sizeof(reply) - 1) & (ERR | END), END);
        QCOMPARE(std::string(reply), kIdentity);
        const auto requests = server_->Requests();
        QCOMPARE(requests[0].flags, 1);
        QCOMPARE(requests[1].timeout_ms, kScaledT1s_ms);
        QCOMPARE(ibonl(ud, 0) & ERR, 0);
        QCOMPARE(ibwrt(ud, "x", 1) & ERR, ERR);  // the descriptor is gone
        QCOMPARE(iberr, EDVR);
    }

private:
    void Serve(int board, ProtocolServer::Handler handler) {
        const QByteArray path = directory_.filePath(QString("board%1.sock").arg(board)).toUtf8();
        server_ = std::make_unique<ProtocolServer>(path.toStdString(), std::move(handler));
    }

    QTemporaryDir directory_;
    std::unique_ptr<ProtocolServer> server_;
};

QTEST_APPLESS_MAIN(StandinTest)
#include "test_standin.moc"
