// TCP client connections of the runtime against loopback peers: addresses,
// the data-ready and disconnect callbacks, reads and writes. Only loopback
// addresses are ever connected to.
#include <QtTest>

#include <string>
#include <utility>
#include <vector>

#include "peer.h"
#include "runtime.h"

using namespace runtime;

namespace {

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

// What the callback saw of a connection; on data ready it reads `read_size` bytes.
struct {
    Events events;
    std::string received;
    bool called_inside_runtime_call = false;
    int read_size = 256;
} g_seen;

int RecordingCallback(unsigned handle, int event, int, void*) {
    g_seen.called_inside_runtime_call |= g_inside_runtime_call;
    g_seen.events.emplace_back(handle, event);
    char block[256];
    const int got = event == TCP_DATAREADY ? ClientTCPRead(handle, block, g_seen.read_size, 1000) : 0;
    if (got > 0) g_seen.received.append(block, std::size_t(got));
    return 0;
}

int Connect(unsigned* handle, int port, const char* address, TCPCallbackPtr callback = nullptr,
            unsigned timeout_ms = 5000) {
    return Blocking([&] { return ConnectToTCPServer(handle, port, address, callback, nullptr, timeout_ms); });
}

QString Detail() {
    char text[128];
    GetFailureDetail(text);
    return QString(text);
}

// Delivers what is already queued, without waiting for anything new.
void DeliverPending() {
    for (int pass = 0; pass < 3; ++pass) QCoreApplication::processEvents();
}

}  // namespace

class TestTcp : public QObject {
    Q_OBJECT

private slots:
    // Texts that a resolver or inet_aton would take for the live listener's
    // address fail at once, long before the time-out; read as octal, "010"
    // would lead to 127.0.0.8, where nothing listens.
    void addresses_data() {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QString>("detail");
        QTest::newRow("zero-padded decimal") << QByteArray("127.000.000.010") << "";
        for (const char* bad : {"127.10", "2130706442", "127.0.0.10.", "127..0.10"})
            QTest::newRow(bad) << QByteArray(bad) << QString("%1 is not a valid address").arg(bad);
    }
    void addresses() {
        QFETCH(QByteArray, address);
        QFETCH(QString, detail);
        orvex::test::Listener listener("127.0.0.10", true);
        unsigned handle = 0;
        QElapsedTimer timer;
        timer.start();
        ClearFailureDetail();
        QCOMPARE(Connect(&handle, listener.port(), address.constData(), nullptr, 60000),
                 detail.isEmpty() ? 0 : kErrTcpConnect);
        QVERIFY(timer.elapsed() < 3000);
        QCOMPARE(Detail(), detail);
    }

    // A peer whose queue of connections is full never completes the
    // handshake: the connect runs into its time-out and says so.
    void aPeerThatNeverAnswersTimesOut() {
        orvex::test::Listener peer("127.0.0.1", true, 0);
        // One connection fills a queue of length 0; later handshakes are dropped.
        const auto filler = orvex::test::Peer::tcp("127.0.0.1", quint16(peer.port()));
        QVERIFY(peer.port() != 0 && filler);
        unsigned handle = 0;
        QCOMPARE(Connect(&handle, peer.port(), "127.0.0.1", nullptr, 1000), kErrTcpConnect);
        QCOMPARE(Detail(), QString("no answer from 127.0.0.1:%1 within 1 s").arg(peer.port()));
    }

    // Data-ready and disconnect callbacks come only from event processing,
    // never inside a blocking call of the program.
    void callsBackOnlyFromEventProcessing() {
        orvex::test::Listener listener;
        unsigned handle = 0;
        QCOMPARE(Connect(&handle, listener.port(), "127.0.0.1", RecordingCallback), 0);
        const auto peer = listener.accept();
        QVERIFY(peer && peer->send("hello"));
        QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, "cmd\n", 4, 1000); }), 4);
        QCOMPARE(peer->receive(), std::string("cmd\n"));
        QTRY_COMPARE(g_seen.received, std::string("hello"));
        QCOMPARE(g_seen.events, (Events{{handle, TCP_DATAREADY}}));

        // A direct read waits for data; once it took everything, no data-ready
        // follows (the callback's read would sit out its time-out).
        char buffer[16];
        QVERIFY(peer->send("abc"));
        QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 16, 5000); }), 3);
        DeliverPending();
        QCOMPARE(g_seen.events.size(), std::size_t(1));
        // What a direct read leaves, and what a callback leaves, is announced.
        QVERIFY(peer->send("late"));
        QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 2, 5000); }), 2);
        QTRY_COMPARE(g_seen.received, std::string("hellote"));
        g_seen.read_size = 4;
        QVERIFY(peer->send("0123456789"));
        QTRY_COMPARE(g_seen.received, std::string("hellote0123456789"));

        // The last data comes before the close, and stays readable.
        g_seen.events.clear();
        g_seen.received.clear();
        QVERIFY(peer->send("bye"));
        peer->close();
        QTRY_COMPARE(g_seen.events.size(), std::size_t(2));
        QCOMPARE(g_seen.events, (Events{{handle, TCP_DATAREADY}, {handle, TCP_DISCONNECT}}));
        QCOMPARE(g_seen.received, std::string("bye"));
        QVERIFY(!g_seen.called_inside_runtime_call);
        QCOMPARE(Blocking([&] { return ClientTCPRead(handle, buffer, 8, 1000); }), kErrTcpRead);
        QCOMPARE(Blocking([&] { return ClientTCPWrite(handle, "x", 1, 1000); }), kErrTcpWrite);
    }
};

QTEST_MAIN(TestTcp)
#include "test_tcp.moc"
