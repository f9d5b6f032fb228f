// TCP client connections on QTcpSocket, one socket per handle. The blocking
// calls wait on their own socket only; the program's callback runs only when
// the application processes events.
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpSocket>

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <map>
#include <memory>

#include "deadline.h"
#include "paint_pump.h"
#include "failure_detail.h"
#include "runtime.h"
#include "tcp_address.h"

namespace runtime {
namespace {

// Used when a caller gives 0 for a connect or write time-out: such a call
// should wait, but never for ever.
constexpr unsigned kDefaultTcpTimeout_ms = 5000;
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

struct Connection {
    std::unique_ptr<QTcpSocket> socket;
    QString label;  // "192.168.001.010:5025" as the operator typed it, for failure details
    TCPCallbackPtr callback = nullptr;
    void* callback_data = nullptr;
};

std::map<unsigned, Connection> g_connections;
unsigned g_last_handle = 0;  // handles count up and are never given out twice
bool g_cleanup_registered = false;

double ScaledSeconds(unsigned timeout_ms) { return double(timeout_ms) / 1000.0 * TimeScale(); }

QTcpSocket* SocketOf(unsigned handle) {
    const auto found = g_connections.find(handle);
    return found == g_connections.end() ? nullptr : found->second.socket.get();
}

QString LabelOf(unsigned handle) {
    const auto found = g_connections.find(handle);
    return found == g_connections.end() ? QString() : found->second.label;
}

// Why a connection could not be made, in the operator's terms: the time-out
// is the one asked for, whatever the test time scale made of it.
QString ConnectFailureText(const QTcpSocket& socket, const QString& label, unsigned timeout_ms) {
    switch (socket.error()) {
        case QAbstractSocket::ConnectionRefusedError:
            return QStringLiteral("connection refused by %1").arg(label);
        case QAbstractSocket::SocketTimeoutError:
        case QAbstractSocket::UnknownSocketError:  // the wait ran out before the system gave up
            return QStringLiteral("no answer from %1 within %2 s")
                .arg(label)
                .arg(double(timeout_ms) / 1000.0);
        case QAbstractSocket::HostNotFoundError:
            return QStringLiteral("%1 is not a valid address (no such host)").arg(label.section(':', 0, -2));
        case QAbstractSocket::NetworkError:
            return QStringLiteral("no route to %1: check the cable and the address").arg(label);
        default:
            return QStringLiteral("cannot connect to %1: %2").arg(label, socket.errorString());
    }
}

void DropAllConnections() {
    for (auto& [handle, connection] : g_connections) {
        connection.socket->disconnect();
        connection.socket->abort();
    }
    g_connections.clear();
    g_cleanup_registered = false;
}

void PostDataReady(unsigned handle);

// Hands as much as the system takes at once straight to it, provided nothing
// of an earlier write still waits in the socket's buffer (the order of the
// bytes stays). A write through QTcpSocket switches its write notifier on and
// off again, and each switch wakes the event loop: a sequence that waits for
// one acknowledgment per record paid for two wake-ups on every record.
// Returns the bytes sent, or -1 when the connection is broken.
qint64 SendDirect(QTcpSocket& socket, const char* data, qint64 size) {
    const qintptr descriptor = socket.socketDescriptor();
    if (socket.bytesToWrite() > 0 || descriptor < 0) return 0;
    ssize_t sent = -1;
    for (int attempt = 0; attempt < 2 && sent < 0; ++attempt) {
        sent = ::send(int(descriptor), data, std::size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EINTR) break;
    }
    if (sent >= 0) return sent;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

// Set while a blocking call waits on a socket: Qt emits readyRead from its
// waits too, and a callback must never run inside a blocking call.
int g_blocking_calls = 0;
// Set while a data-ready callback runs from inside the socket's own signal.
int g_direct_deliveries = 0;

class BlockingCall {
public:
    BlockingCall() { ++g_blocking_calls; }
    ~BlockingCall() { --g_blocking_calls; }
    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;
};

// Data-ready callbacks run straight from event processing, which saves the
// sequence a wake-up per acknowledgment; from inside a blocking call they are
// posted and run at the next event processing. Disconnects are always posted,
// so a callback may close its own connection.
void DeliverDataReady(unsigned handle) {
    const auto found = g_connections.find(handle);
    if (found == g_connections.end() || found->second.callback == nullptr) return;
    const qint64 before = found->second.socket->bytesAvailable();
    // A read since the signal may have taken everything; a callback told of
    // data that is not there would sit out its read time-out.
    if (before <= 0) return;
    found->second.callback(handle, TCP_DATAREADY, 0, found->second.callback_data);

    // A callback that read part of the data is told again about the rest; one
    // that read nothing is not asked again until more arrives.
    QTcpSocket* socket = SocketOf(handle);
    if (socket == nullptr) return;
    const qint64 after = socket->bytesAvailable();
    if (after > 0 && after < before) PostDataReady(handle);
}

void PostDataReady(unsigned handle) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [handle] { DeliverDataReady(handle); }, Qt::QueuedConnection);
}

void DeliverDisconnect(unsigned handle) {
    const auto found = g_connections.find(handle);
    if (found == g_connections.end() || found->second.callback == nullptr) return;
    found->second.callback(handle, TCP_DISCONNECT, 0, found->second.callback_data);
}

void WireSignals(unsigned handle, QTcpSocket& socket) {
    QObject* receiver = QCoreApplication::instance();
    QObject::connect(
        &socket, &QTcpSocket::readyRead, receiver,
        [handle] {
            if (g_blocking_calls > 0) {
                PostDataReady(handle);
            } else {
                ++g_direct_deliveries;
                DeliverDataReady(handle);
                --g_direct_deliveries;
            }
        },
        Qt::DirectConnection);
    QObject::connect(
        &socket, &QTcpSocket::disconnected, receiver, [handle] { DeliverDisconnect(handle); },
        Qt::QueuedConnection);
}

// The unit closed the connection, or it broke: records the cause, returns `error`.
int ConnectionLost(unsigned handle, int error) {
    detail::SetFailureDetail(QStringLiteral("%1 closed the connection").arg(LabelOf(handle)));
    return error;
}

}  // namespace

int ConnectToTCPServer(unsigned* conversationHandle, int portNumber, const char* serverHostName,
                       TCPCallbackPtr callback, void* callbackData, unsigned timeout_ms) {
    if (conversationHandle == nullptr || serverHostName == nullptr || portNumber < kLowestPort ||
        portNumber > kHighestPort)
        return kErrTcpConnect;
    if (QCoreApplication::instance() == nullptr) return kErrNoApplication;

    const detail::ServerAddress address = detail::ReadServerAddress(serverHostName);
    if (address.form == detail::AddressForm::Malformed) {
        const QString typed = QString::fromUtf8(serverHostName).trimmed();
        detail::SetFailureDetail(typed.isEmpty() ? QStringLiteral("no address given")
                                                 : QStringLiteral("%1 is not a valid address").arg(typed));
        return kErrTcpConnect;
    }
    const unsigned wait_ms = timeout_ms == 0 ? kDefaultTcpTimeout_ms : timeout_ms;
    const QString label = QStringLiteral("%1:%2")
                              .arg(QString::fromUtf8(address.name.data(), qsizetype(address.name.size())))
                              .arg(portNumber);

    auto socket = std::make_unique<QTcpSocket>();
    const auto port = quint16(portNumber);
    if (address.form == detail::AddressForm::Dotted) {
        socket->connectToHost(QHostAddress(quint32(address.ipv4)), port);
    } else {
        // A name is looked up by the system resolver, whose own limits apply
        // on top of the time-out below.
        socket->connectToHost(QString::fromUtf8(address.name.data(), qsizetype(address.name.size())), port);
    }
    const detail::Deadline deadline(ScaledSeconds(wait_ms));
    const BlockingCall blocking;
    // QTcpSocket abandons an attempt whose wait times out: the slices that
    // keep the window painted watch the descriptor, Qt only completes.
    if (!detail::PollWhilePainting(int(socket->socketDescriptor()), POLLOUT, deadline) ||
        !socket->waitForConnected(deadline.remaining_ms())) {
        detail::SetFailureDetail(ConnectFailureText(*socket, label, wait_ms));
        socket->abort();
        return kErrTcpConnect;
    }

    const unsigned handle = ++g_last_handle;
    WireSignals(handle, *socket);
    g_connections[handle] = Connection{std::move(socket), label, callback, callbackData};
    if (!g_cleanup_registered) {
        // Sockets must not outlive the application object their notifiers need.
        qAddPostRoutine(DropAllConnections);
        g_cleanup_registered = true;
    }
    *conversationHandle = handle;
    return 0;
}

int ClientTCPWrite(unsigned conversationHandle, const void* dataPointer, int dataSize, unsigned timeout_ms) {
    QTcpSocket* socket = SocketOf(conversationHandle);
    if (socket == nullptr) return kErrTcpHandle;
    if (dataSize < 0 || (dataPointer == nullptr && dataSize > 0)) return kErrTcpWrite;
    if (dataSize == 0) return 0;
    if (socket->state() != QAbstractSocket::ConnectedState)
        return ConnectionLost(conversationHandle, kErrTcpWrite);

    const auto* data = static_cast<const char*>(dataPointer);
    const qint64 direct = SendDirect(*socket, data, dataSize);
    if (direct < 0) return ConnectionLost(conversationHandle, kErrTcpWrite);
    if (direct == dataSize) return dataSize;
    // What the system did not take at once goes through the socket's buffer.
    if (socket->write(data + direct, dataSize - direct) != dataSize - direct) return kErrTcpWrite;
    // QTcpSocket hands bytes to the system only from its event loop or a wait.
    const detail::Deadline deadline(ScaledSeconds(timeout_ms == 0 ? kDefaultTcpTimeout_ms : timeout_ms));
    const BlockingCall blocking;
    while (socket->bytesToWrite() > 0) {
        if (socket->state() != QAbstractSocket::ConnectedState)
            return ConnectionLost(conversationHandle, kErrTcpWrite);
        const int remaining_ms = deadline.remaining_ms();
        // The peer does not take the data: the rest stays queued and follows
        // when it does (it cannot be taken back from the stream).
        if (remaining_ms == 0) {
            detail::SetFailureDetail(
                QStringLiteral("%1 took no data within %2 s")
                    .arg(LabelOf(conversationHandle))
                    .arg(double(timeout_ms == 0 ? kDefaultTcpTimeout_ms : timeout_ms) / 1000.0));
            return kErrTcpTimeout;
        }
        if (!socket->waitForBytesWritten(detail::PaintSlice_ms(remaining_ms))) detail::KeepPainting();
    }
    return dataSize;
}

int ClientTCPRead(unsigned conversationHandle, void* dataBuffer, int dataSize, unsigned timeout_ms) {
    QTcpSocket* socket = SocketOf(conversationHandle);
    if (socket == nullptr) return kErrTcpHandle;
    if (dataSize < 0 || (dataBuffer == nullptr && dataSize > 0)) return kErrTcpRead;
    if (dataSize == 0) return 0;

    // Waits only while nothing is there; one look at the socket even with a
    // time-out of 0, for bytes that arrived while no events were processed.
    const detail::Deadline deadline(ScaledSeconds(timeout_ms));
    const BlockingCall blocking;
    while (socket->bytesAvailable() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
        const int remaining_ms = deadline.remaining_ms();
        if (socket->waitForReadyRead(detail::PaintSlice_ms(remaining_ms))) continue;
        if (remaining_ms == 0) break;
        detail::KeepPainting();
    }
    if (socket->bytesAvailable() > 0) {
        const qint64 got = socket->read(static_cast<char*>(dataBuffer), dataSize);
        return got < 0 ? kErrTcpRead : int(got);
    }
    // A closed connection with nothing left to read is an error, not silence.
    if (socket->state() == QAbstractSocket::ConnectedState) return 0;
    return ConnectionLost(conversationHandle, kErrTcpRead);
}

int DisconnectFromTCPServer(unsigned conversationHandle) {
    const auto found = g_connections.find(conversationHandle);
    if (found == g_connections.end()) return kErrTcpHandle;
    // Out of the table first, so that queued deliveries for it find nothing;
    // no signal of its own announces a close the program asked for.
    std::unique_ptr<QTcpSocket> socket = std::move(found->second.socket);
    g_connections.erase(found);
    socket->disconnect();
    socket->abort();
    // A callback closing its connection runs inside that socket's signal:
    // the socket goes once the signal has returned.
    if (g_direct_deliveries > 0) socket.release()->deleteLater();
    return 0;
}

}  // namespace runtime
