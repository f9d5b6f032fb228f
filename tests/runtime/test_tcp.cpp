// TCP client connections of the runtime against loopback peers: addresses,
// the data-ready and disconnect callbacks, reads and writes. Only loopback
// addresses are ever connected to.
#include <QtTest>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer.h"
#include "runtime.h"

using namespace runtime;

namespace {

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

// What a connection's callback saw; on data ready it reads `read_size` bytes.
struct Recorder {
    Events events;
    std::string received;
    bool called_inside_runtime_call = false;
    int read_size = 256;
    bool close_on_data = false;
};

int RecordingCallback(unsigned handle, int event, int, void* data) {
    auto& recorder = *static_cast<Recorder*>(data);
    recorder.called_inside_runtime_call |= g_inside_runtime_call;
    recorder.events.emplace_back(handle, event);
    char block[256];
    const int got = event == TCP_DATAREADY ? ClientTCPRead(handle, block, recorder.read_size, 1000) : 0;
    if (got > 0) recorder.received.append(block, std::size_t(got));
    if (event == TCP_DATAREADY && recorder.close_on_data) DisconnectFromTCPServer(handle);
    return 0;
}

// Every connection a test made, closed after it even when it failed half-way:
// a left-over connection would call back into a recorder that is gone.
std::vector<unsigned> g_opened;

int Connect(unsigned* handle, int port, const char* address, Recorder* recorder = nullptr,
            unsigned timeout_ms = 5000) {
    const int result = Blocking([&] {
        return ConnectToTCPServer(handle, port, address, recorder ? RecordingCallback : nullptr, recorder,
                                  timeout_ms);
    });
    if (result == 0) g_opened.push_back(*handle);
    return result;
}

// Delivers what is already queued, without waiting for anything new.
void DeliverPending() {
    for (int pass = 0; pass < 3; ++pass) QCoreApplication::processEvents();
}

}  // namespace

class TestTcp : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        for (const unsigned handle : g_opened) DisconnectFromTCPServer(handle);
        g_opened.clear();
    }

    void addresses_data() {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("detail");  // %1: the port
        // Read as octal, "010" would lead to 127.0.0.8, where nothing listens.
        QTest::newRow("zero-padded decimal") << QByteArray("127.000.000.010") << true << 0 << "";
        QTest::newRow("refused") << QByteArray("127.0.0.10") << false << kErrTcpConnect
                                 << "connection refused by 127.0.0.10:%1";
        // Texts that a resolver or inet_aton would take for the live listener's
        // address must fail without trying, long before the time-out.
        for (const char* bad : {"127.10", "127.0.10", "2130706442", "127.0.0.10.", "127..0.10"})
            QTest::newRow(bad) << QByteArray(bad) << true << kErrTcpConnect
                               << QString("%1 is not a valid address").arg(bad);
        QTest::newRow("empty") << QByteArray(" ") << true << kErrTcpConnect << "no address given";
    }
    void addresses() {
        QFETCH(QByteArray, address);
        QFETCH(bool, listening);
        QFETCH(QString, detail);
        orvex::test::Listener listener("127.0.0.10", listening);
        QVERIFY(listener.port() != 0);
        unsigned handle = 0;
        QElapsedTimer timer;
        timer.start();
        ClearFailureDetail();
        const int result = Connect(&handle, listener.port(), address.constData(), nullptr, 60000);
        QTEST(result, "expected");
        QVERIFY(double(timer.elapsed()) / 1000 < kPromptly_s);
        char text[128];
        GetFailureDetail(text);
        QCOMPARE(QString(text), detail.replace("%1", QString::number(listener.port())));
    }

    // A peer whose queue of connections is full never completes the
    // handshake: the connect runs into its time-out and says so.
    void aPeerThatNeverAnswersTimesOut() {
        orvex::test::Listener peer("127.0.0.1", true, 0);
        // One connection fills a queue of length 0; later handshakes are dropped.
        const auto filler = orvex::test::Peer::tcp("127.0.0.1", quint16(peer.port()));
        QVERIFY(peer.port() != 0 && filler);
        ClearFailureDetail();
        unsigned handle = 0;
        QCOMPARE(Connect(&handle, peer.port(), "127.0.0.1", nullptr, 1000), kErrTcpConnect);
        char text[128];
        GetFailureDetail(text);
        QCOMPARE(QString(text), QString("no answer from 127.0.0.1:%1 within 1 s").arg(peer.port()));
    }

    // Data-ready and disconnect callbacks come only from event processing,
    // never inside a blocking call of the program; a close that the program
    // asks for is not announced to it.
    void callsBackOnlyFromEventProcessing() {
        orvex::test::Listener listener;
        Recorder recorder;
        unsigned handle = 0;
        QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", &recorder), 0);
        const auto peer = listener.accept();
        QVERIFY(peer);

        QVERIFY(peer->send("hello"));
        QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, "cmd\n", 4, 1000); }), 4);
        QCOMPARE(peer->receive(), std::string("cmd\n"));
        QTRY_COMPARE(recorder.received, std::string("hello"));
        QCOMPARE(recorder.events, (Events{{handle, TCP_DATAREADY}}));

        // A direct read waits for data; once it took everything, no data-ready
        // follows (the callback's read would sit out its time-out).
        char buffer[16];
        QVERIFY(peer->send("abc"));
        QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 16, 5000); }), 3);
        DeliverPending();
        QCOMPARE(recorder.events.size(), std::size_t(1));
        // What a direct read leaves, and what a callback leaves, is announced.
        QVERIFY(peer->send("late"));
        QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 2, 5000); }), 2);
        QTRY_COMPARE(recorder.received, std::string("hellote"));
        recorder.read_size = 4;
        QVERIFY(peer->send("0123456789"));
        QTRY_COMPARE(recorder.received, std::string("hellote0123456789"));

        // The last data comes before the close, and stays readable.
        recorder.events.clear();
        recorder.received.clear();
        QVERIFY(peer->send("bye"));
        peer->close();
        QTRY_COMPARE(recorder.events.size(), std::size_t(2));
        QCOMPARE(recorder.events, (Events{{handle, TCP_DATAREADY}, {handle, TCP_DISCONNECT}}));
        QCOMPARE(recorder.received, std::string("bye"));
        QVERIFY(!recorder.called_inside_runtime_call);
        QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 8, 1000); }), kErrTcpRead);
        QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, "x", 1, 1000); }), kErrTcpWrite);

        Recorder quiet;
        QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", &quiet), 0);
        const auto second = listener.accept();
        QCOMPARE(DisconnectFromTCPServer(handle), 0);
        QVERIFY(second->wait_for_hangup());
        DeliverPending();
        QVERIFY(quiet.events.empty());

        // A callback may close its own connection while it is being told of data.
        Recorder closing;
        closing.close_on_data = true;
        QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", &closing), 0);
        const auto third = listener.accept();
        QVERIFY(third->send("last"));
        QTRY_COMPARE(closing.received, std::string("last"));
        QVERIFY(third->wait_for_hangup());
        DeliverPending();
        QCOMPARE(closing.events.size(), std::size_t(1));
    }

    // A peer that does not read: what the system does not take waits in the
    // socket's buffer, the write ends with its time-out, and a later write
    // follows in order once the peer reads again.
    void writeToAPeerThatDoesNotReadKeepsTheOrder() {
        orvex::test::Listener listener;
        unsigned handle = 0;
        QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1"), 0);
        const auto peer = listener.accept();
        QVERIFY(peer);
        const std::string bulk(8 << 20, 'a');  // far more than both socket buffers hold
        QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, bulk.data(), int(bulk.size()), 50); }),
                 kErrTcpTimeout);
        std::string got;
        std::thread reader([&] {
            // Ends at the whole text, or at a pause of the sender.
            while (got.size() < bulk.size() + 4) {
                const std::string chunk = peer->receive();
                if (chunk.empty()) break;
                got += chunk;
            }
        });
        const int tail = Blocking([&] { return ClientTCPWrite(handle, "tail", 4, 20000); });
        reader.join();
        QCOMPARE(tail, 4);
        QCOMPARE(got.size(), bulk.size() + 4);
        QVERIFY(got == bulk + "tail");
    }
};

QTEST_MAIN(TestTcp)
#include "test_tcp.moc"
