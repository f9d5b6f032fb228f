#include "lan_transport.h"

#include <QTimer>

#include <sys/socket.h>

namespace orvex::sim {
namespace {

constexpr qint64 kReadChunkBytes = 4096;
// Bounds one wake-up's work; readyRead comes again for the rest.
constexpr int kMaxReadsPerWakeup = 64;

std::string peerText(const QTcpSocket& socket) {
    return (socket.peerAddress().toString() + ":" + QString::number(socket.peerPort())).toStdString();
}

}  // namespace

LanTransport::LanTransport(UnitCore& core, QHostAddress address, quint16 port,
                           std::chrono::milliseconds splitGap, LanDrop drop)
    : core_(core), address_(std::move(address)), port_(port), splitGap_(splitGap), drop_(drop) {
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
}

LanTransport::~LanTransport() { close(); }

std::optional<std::string> LanTransport::open() {
    // Test traffic stays on this machine.
    if (!address_.isLoopback())
        return "LAN address " + address_.toString().toStdString() + " is not a loopback address";
    if (!server_.listen(address_, port_)) {
        return "cannot listen on " + address_.toString().toStdString() + ":" + std::to_string(port_) + ": " +
               server_.errorString().toStdString();
    }
    port_ = server_.serverPort();
    core_.setEndpoint(Link::lan, endpoint().substr(4));
    return std::nullopt;
}

std::string LanTransport::endpoint() const {
    return "lan=" + address_.toString().toStdString() + ":" + std::to_string(port_);
}

void LanTransport::close() {
    server_.close();
    for (auto& [id, connection] : connections_) {
        connection->replies->clear();
        connection->socket->disconnect(this);
        connection->socket->abort();
    }
    connections_.clear();
}

void LanTransport::accept() {
    while (server_.hasPendingConnections()) {
        std::unique_ptr<QTcpSocket, DeleteLater> socket(server_.nextPendingConnection());
        const int id = nextId_++;
        core_.connectionOpened(id, peerText(*socket));
        if (static_cast<int>(connections_.size()) >= kMaxConnections) {
            socket->abort();
            core_.connectionClosed(id);
            continue;
        }
        // Acknowledgments are tiny and awaited one by one: send them at once.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto connection = std::make_unique<Connection>();
        connection->id = id;
        connection->socket = std::move(socket);
        QTcpSocket* raw = connection->socket.get();
        connection->replies = std::make_unique<ReplyQueue>(
            [raw](std::string_view bytes) {
                raw->write(bytes.data(), static_cast<qint64>(bytes.size()));
                raw->flush();
            },
            [this, raw, id] {
                if (drop_ == LanDrop::close) return raw->disconnectFromHost();
                // No lingering: closing sends a reset, as an interface that goes down does.
                const linger now{1, 0};
                ::setsockopt(static_cast<int>(raw->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                             sizeof now);
                raw->abort();
                onClosed(id);
            },
            splitGap_);
        Connection& ref = *connection;
        QObject::connect(raw, &QTcpSocket::readyRead, this, [this, &ref] { onReadable(ref); });
        QObject::connect(raw, &QTcpSocket::disconnected, this, [this, id] { onClosed(id); });
        connections_.emplace(id, std::move(connection));
        if (raw->bytesAvailable() > 0) onReadable(ref);
    }
}

void LanTransport::onReadable(Connection& connection) {
    char buffer[kReadChunkBytes];
    for (int i = 0; i < kMaxReadsPerWakeup && !connection.closed; ++i) {
        const qint64 count = connection.socket->read(buffer, sizeof buffer);
        if (count <= 0) return;
        for (const AssembledLine& line :
             connection.lines.feed(std::string_view(buffer, static_cast<std::size_t>(count)))) {
            connection.replies->push(core_.onLine({Link::lan, connection.id}, line));
            if (connection.closed) return;
        }
    }
}

void LanTransport::onClosed(int id) {
    const auto found = connections_.find(id);
    if (found == connections_.end() || found->second->closed) return;
    found->second->closed = true;
    found->second->replies->clear();
    core_.connectionClosed(id);
    // Removed later: this may run inside the connection's own reply queue.
    QTimer::singleShot(0, this, [this, id] {
        const auto entry = connections_.find(id);
        if (entry == connections_.end()) return;
        entry->second->socket->disconnect(this);
        connections_.erase(entry);
    });
}

}  // namespace orvex::sim
