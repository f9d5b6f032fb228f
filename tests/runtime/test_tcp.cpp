// TCP client connections of the runtime against loopback peers: addresses,
// the data-ready and disconnect callbacks, reads, writes and their limits.
// Only loopback addresses are ever connected to.
#include <QElapsedTimer>
#include <QtTest>

#include <string>
#include <utility>
#include <vector>

#include "loopback_peer.h"
#include "runtime.h"
#include "tcp_address.h"

using namespace runtime;

namespace {

constexpr int kEvents_ms = 5000;
constexpr double kPromptly_s = 3.0;  // an upper bound that a loaded machine meets
using Events = std::vector<std::pair<unsigned, int>>;

// Set around the test's own calls into the runtime: a callback must never run
// inside one of them.
bool g_inside_runtime_call = false;

template <typename Call>
int Blocking(Call call) {
    g_inside_runtime_call = true;
    const int result = call();
    g_inside_runtime_call = false;
    return result;
}

// What a connection's callback saw; on data ready it reads, or closes.
struct Recorder {
    Events events;
    std::string received;
    bool called_inside_runtime_call = false;
    int read_size = 256;
    bool disconnect_on_data = false;
};

int RecordingCallback(unsigned handle, int event, int, void* data) {
    auto& recorder = *static_cast<Recorder*>(data);
    recorder.called_inside_runtime_call |= g_inside_runtime_call;
    recorder.events.emplace_back(handle, event);
    if (event == TCP_DATAREADY && recorder.disconnect_on_data) {
        DisconnectFromTCPServer(handle);
    } else if (event == TCP_DATAREADY) {
        char block[256];
        const int got = ClientTCPRead(handle, block, recorder.read_size, 1000);
        if (got > 0) recorder.received.append(block, std::size_t(got));
    }
    return 0;
}

// Every connection a test made, closed after it even when it failed half-way:
// a left-over connection would call back into a recorder that is gone.
std::vector<unsigned> g_opened;

int Connect(unsigned* handle, int port, const char* address, Recorder* recorder = nullptr,
            unsigned timeout_ms = 5000) {
    const int result = Blocking([&] {
        return ConnectToTCPServer(handle, port, address, recorder ? RecordingCallback : nullptr,
                                  recorder, timeout_ms);
    });
    if (result == 0) g_opened.push_back(*handle);
    return result;
}

// Delivers what is already queued, without waiting for anything new.
void DeliverPending() {
    for (int pass = 0; pass < 3; ++pass) QCoreApplication::processEvents();
}

double Seconds(const QElapsedTimer& timer) { return double(timer.nsecsElapsed()) / 1e9; }

}  // namespace

class TestTcp : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        for (const unsigned handle : g_opened) DisconnectFromTCPServer(handle);
        g_opened.clear();
        SetTimeScale(1.0);
    }

    void readsAddressesAsDecimal();
    void failsFastOnRefusedAndMalformedAddresses();
    void callsBackOnlyFromEventProcessing();
    void announcesAPeerCloseAndFailsAfterwards();
    void boundsAWriteThePeerDoesNotTake();
};

void TestTcp::readsAddressesAsDecimal() {
    const auto dotted = detail::ReadServerAddress(" 192.168.001.010 ");
    QCOMPARE(dotted.form, detail::AddressForm::Dotted);
    QCOMPARE(dotted.ipv4, 0xC0A8010Au);
    QCOMPARE(detail::ReadServerAddress("localhost").form, detail::AddressForm::HostName);
    for (const char* bad : {"1.2.3", "256.1.1.1", "1..2.3", "1.2.3.4.5", "1.2.3.1000"})
        QVERIFY2(detail::ReadServerAddress(bad).form == detail::AddressForm::Malformed, bad);

    // Read as octal, "010" would lead to 127.0.0.8, where nothing listens.
    LoopbackListener listener("127.0.0.10");
    QVERIFY(listener.ok());
    unsigned first = 0, second = 0, third = 0;
    QCOMPARE(Connect(&first, listener.port(), "127.000.000.010"), 0);
    QVERIFY(listener.Accept().ok());
    QCOMPARE(Connect(&second, listener.port(), "127.0.0.10"), 0);
    QCOMPARE(DisconnectFromTCPServer(first), 0);
    QCOMPARE(Connect(&third, listener.port(), "127.0.0.10"), 0);
    QVERIFY(first > 0 && second > first && third > second);  // never given out twice

    LoopbackListener local;
    QVERIFY(local.ok());
    unsigned named = 0;
    QCOMPARE(Connect(&named, local.port(), "localhost"), 0);
    QVERIFY(local.Accept().ok());
}

void TestTcp::failsFastOnRefusedAndMalformedAddresses() {
    LoopbackListener closed("127.0.0.1", false);  // bound, nothing listens
    QVERIFY(closed.ok());
    unsigned handle = 0;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Connect(&handle, closed.port(), "127.0.0.1"), kErrTcpConnect);
    QVERIFY(Seconds(timer) < kPromptly_s);

    // Texts that a resolver or inet_aton would take for 127.0.0.1, aimed at a
    // live listener: they must fail without trying, long before the time-out.
    LoopbackListener listener;
    QVERIFY(listener.ok());
    for (const char* bad : {"127.1", "127.0.1", "2130706433", "127.0.0.1.", "127..0.1", ""}) {
        timer.start();
        QCOMPARE(Connect(&handle, listener.port(), bad, nullptr, 60000), kErrTcpConnect);
        QVERIFY2(Seconds(timer) < 1.0, bad);
    }
    QCOMPARE(Connect(&handle, 70000, "127.0.0.1"), kErrTcpConnect);
    QCOMPARE(handle, 0u);
    char buffer[4];
    QCOMPARE(ClientTCPRead(12345, buffer, 4, 10), kErrTcpHandle);
    QCOMPARE(ClientTCPWrite(12345, "x", 1, 10), kErrTcpHandle);
    QCOMPARE(DisconnectFromTCPServer(12345), kErrTcpHandle);
}

void TestTcp::callsBackOnlyFromEventProcessing() {
    LoopbackListener listener;
    QVERIFY(listener.ok());
    Recorder recorder;
    unsigned handle = 0;
    QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", &recorder), 0);
    PeerSocket peer = listener.Accept();
    QVERIFY(peer.ok());

    QVERIFY(peer.Send("hello"));
    QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, "cmd\n", 4, 1000); }), 4);
    QCOMPARE(peer.Receive(4), std::string("cmd\n"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received, std::string("hello"), kEvents_ms);
    QCOMPARE(recorder.events, (Events{{handle, TCP_DATAREADY}}));

    // A direct read waits for data; once it took everything, no data-ready
    // follows (the callback's read would sit out its time-out).
    char buffer[16];
    QVERIFY(peer.Send("abc"));
    QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 16, 5000); }), 3);
    DeliverPending();
    QCOMPARE(recorder.events.size(), std::size_t(1));
    // What a direct read leaves, and what a callback leaves, is announced.
    QVERIFY(peer.Send("late"));
    QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 2, 5000); }), 2);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received, std::string("hellote"), kEvents_ms);
    recorder.read_size = 4;
    QVERIFY(peer.Send("0123456789"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.received, std::string("hellote0123456789"), kEvents_ms);
    QVERIFY(!recorder.called_inside_runtime_call);

    // Nothing to read: 0 after the time-out, which follows the time scale.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 16, 200); }), 0);
    QVERIFY(Seconds(timer) >= 0.19);
    SetTimeScale(0.01);
    timer.start();
    QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 16, 60000); }), 0);
    QVERIFY(Seconds(timer) < kPromptly_s);

    // A callback may close its own connection; nothing is announced after.
    recorder.disconnect_on_data = true;
    const std::size_t seen = recorder.events.size();
    QVERIFY(peer.Send("last"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), seen + 1, kEvents_ms);
    QVERIFY(peer.WaitForClose());
    DeliverPending();
    QCOMPARE(recorder.events.size(), seen + 1);
    QCOMPARE(ClientTCPRead(handle, buffer, 8, 10), kErrTcpHandle);
}

void TestTcp::announcesAPeerCloseAndFailsAfterwards() {
    LoopbackListener listener;
    QVERIFY(listener.ok());
    Recorder recorder;
    unsigned handle = 0;
    QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", &recorder), 0);
    PeerSocket peer = listener.Accept();
    QVERIFY(peer.ok());

    // The last data comes before the close, and stays readable.
    QVERIFY(peer.Send("bye"));
    peer.Close();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), std::size_t(2), kEvents_ms);
    QCOMPARE(recorder.events, (Events{{handle, TCP_DATAREADY}, {handle, TCP_DISCONNECT}}));
    QCOMPARE(recorder.received, std::string("bye"));
    char buffer[8];
    QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 8, 1000); }), kErrTcpRead);
    QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, "x", 1, 1000); }), kErrTcpWrite);
    QCOMPARE(DisconnectFromTCPServer(handle), 0);
    QCOMPARE(DisconnectFromTCPServer(handle), kErrTcpHandle);

    // A close that the program asks for is not announced to it.
    Recorder quiet;
    QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", &quiet), 0);
    peer = listener.Accept();
    QCOMPARE(DisconnectFromTCPServer(handle), 0);
    QVERIFY(peer.WaitForClose());
    DeliverPending();
    QVERIFY(quiet.events.empty());
}

void TestTcp::boundsAWriteThePeerDoesNotTake() {
    LoopbackListener listener;
    QVERIFY(listener.ok());
    unsigned handle = 0;
    QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1"), 0);
    PeerSocket peer = listener.Accept();
    QVERIFY(peer.ok());
    // Far more than the system's socket buffers hold, and the peer reads
    // nothing: the write gives up at its time-out instead of hanging.
    const std::vector<char> flood(32 * 1024 * 1024, 'x');
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, flood.data(), int(flood.size()), 300); }),
             kErrTcpTimeout);
    QVERIFY(Seconds(timer) >= 0.29 && Seconds(timer) < kPromptly_s);
    QCOMPARE(DisconnectFromTCPServer(handle), 0);
    QVERIFY(peer.WaitForClose());
}

QTEST_MAIN(TestTcp)
#include "test_tcp.moc"
