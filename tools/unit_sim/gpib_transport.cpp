#include "gpib_transport.h"

#include "unique_fd.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <filesystem>

namespace orvex::sim {
namespace {

constexpr qint64 kReadChunkBytes = 4096;
// Bounds what one client may have in flight: one write at most plus a header.
constexpr std::size_t kMaxClientInput = gpib::kMaxWriteBytes + 2 * gpib::kHeaderBytes;
// Bounds one wake-up's work per client.
constexpr int kMaxRequestsPerWakeup = 256;

bool isSocket(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// True when a process still accepts connections on the socket.
bool someoneListens(const std::string& path) {
    const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return probe.valid() &&
           ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

GpibTransport::GpibTransport(UnitCore& core, std::string pattern, int board, int primaryAddress,
                             GpibDrop drop)
    : core_(core),
      // QLocalServer takes a name without a leading '/' as a name, not a path.
      path_(std::filesystem::absolute(gpib::socketPathFor(pattern, board)).lexically_normal().string()),
      primaryAddress_(primaryAddress),
      replies_([this](std::string_view bytes) { queueReply(bytes); },
               [this, drop] {
                   // The board goes away with its socket; deferred, as this runs inside a client's request.
                   if (drop == GpibDrop::vanish) QTimer::singleShot(0, this, [this] { close(); });
               },
               std::chrono::milliseconds(0)) {
    QObject::connect(&server_, &QLocalServer::newConnection, this, [this] { accept(); });
    core_.setGpibAddress(primaryAddress_);
}

GpibTransport::~GpibTransport() { close(); }

std::optional<std::string> GpibTransport::open() {
    if (path_.size() >= sizeof(sockaddr_un::sun_path)) return "GPIB socket path too long: " + path_;
    if (isSocket(path_)) {
        if (someoneListens(path_)) return "another process serves " + path_;
        // Left behind by a simulator that was killed; nothing else is removed.
        QLocalServer::removeServer(QString::fromStdString(path_));
    }
    if (!server_.listen(QString::fromStdString(path_))) {
        return "cannot listen on " + path_ + ": " + server_.errorString().toStdString();
    }
    core_.setEndpoint(Link::gpib, path_);
    return std::nullopt;
}

std::string GpibTransport::endpoint() const { return "gpib=" + path_; }

void GpibTransport::close() {
    replies_.clear();
    for (auto& [id, client] : clients_) {
        client->socket->disconnect(this);
        client->socket->abort();
    }
    clients_.clear();
    waitingReaders_.clear();
    if (server_.isListening()) {
        server_.close();  // removes the socket file
    }
}

bool GpibTransport::listening(std::uint8_t address) const {
    return address == primaryAddress_ && !core_.linkDown(Link::gpib);
}

void GpibTransport::accept() {
    while (server_.hasPendingConnections()) {
        std::unique_ptr<QLocalSocket, DeleteLater> socket(server_.nextPendingConnection());
        if (static_cast<int>(clients_.size()) >= kMaxClients) {
            socket->abort();
            continue;
        }
        auto client = std::make_unique<Client>();
        client->id = nextId_++;
        client->socket = std::move(socket);
        client->readTimeout = std::make_unique<QTimer>();
        client->readTimeout->setSingleShot(true);
        // A coarse timer may fire up to 5 % early; a driver's time-out never does.
        client->readTimeout->setTimerType(Qt::PreciseTimer);
        Client& ref = *client;
        const int id = client->id;
        QObject::connect(ref.socket.get(), &QLocalSocket::readyRead, this, [this, &ref] { serve(ref); });
        QObject::connect(ref.socket.get(), &QLocalSocket::disconnected, this, [this, id] { onClosed(id); });
        QObject::connect(ref.readTimeout.get(), &QTimer::timeout, this, [this, &ref] {
            if (!ref.readWanted) return;
            ref.readWanted.reset();
            std::erase(waitingReaders_, ref.id);
            core_.gpibReadTimeout();
            respond(ref, gpib::Status::timeout);
            serve(ref);
        });
        clients_.emplace(id, std::move(client));
        core_.gpibClientConnected();
        serve(ref);
    }
}

void GpibTransport::serve(Client& client) {
    char buffer[kReadChunkBytes];
    while (!client.closed && client.input.size() < kMaxClientInput) {
        const qint64 count = client.socket->read(
            buffer, std::min<qint64>(sizeof buffer, kMaxClientInput - client.input.size()));
        if (count <= 0) break;
        client.input.append(buffer, static_cast<std::size_t>(count));
    }
    // One request at a time: a read that waits for the unit holds back the rest.
    for (int i = 0; i < kMaxRequestsPerWakeup && !client.closed && !client.readWanted; ++i) {
        if (!serveOne(client)) break;
    }
}

bool GpibTransport::serveOne(Client& client) {
    if (client.input.size() < gpib::kHeaderBytes) return false;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(client.input.data());
    const gpib::Request request = gpib::decodeRequest(raw);
    std::size_t payload = 0;
    switch (request.op) {
        case gpib::Op::write:
            payload = request.length;
            break;
        case gpib::Op::read:
            payload = gpib::kReadTimeoutBytes;
            break;
        case gpib::Op::interfaceClear:
            payload = 0;
            break;
        default:
            client.socket->abort();  // not a driver speaking this protocol
            return false;
    }
    if (payload > gpib::kMaxWriteBytes) {
        client.socket->abort();
        return false;
    }
    if (client.input.size() < gpib::kHeaderBytes + payload) return false;
    const std::string_view body(client.input.data() + gpib::kHeaderBytes, payload);
    switch (request.op) {
        case gpib::Op::write:
            onWrite(client, request, body);
            break;
        case gpib::Op::read:
            onRead(client, request, gpib::getU32(reinterpret_cast<const std::uint8_t*>(body.data())));
            break;
        case gpib::Op::interfaceClear:
            core_.gpibInterfaceClear();
            respond(client, gpib::Status::ok);
            break;
    }
    client.input.erase(0, gpib::kHeaderBytes + payload);
    return true;
}

void GpibTransport::onWrite(Client& client, const gpib::Request& request, std::string_view data) {
    if (!listening(request.address)) {
        core_.gpibNoListener();
        respond(client, gpib::Status::noListener);
        return;
    }
    core_.gpibWrite((request.flags & gpib::kFlagEoi) != 0);
    // A new message makes the unit drop what the controller left unread of its
    // last reply (query interrupted), so a cut-short read never shifts the
    // answers that follow.
    if (!output_.empty()) {
        std::size_t unread = 0;
        for (const Message& message : output_) unread += message.bytes.size() - message.delivered;
        output_.clear();
        core_.gpibOutputDiscarded(unread);
    }
    for (const AssembledLine& line : lines_.feed(data)) queue(core_.onLine({Link::gpib, 0}, line));
    if (request.flags & gpib::kFlagEoi) {
        if (auto message = lines_.endOfMessage()) queue(core_.onLine({Link::gpib, 0}, *message));
    }
    respond(client, gpib::Status::ok, 0, {}, static_cast<std::uint32_t>(data.size()));
}

void GpibTransport::onRead(Client& client, const gpib::Request& request, std::uint32_t timeoutMs) {
    if (!listening(request.address)) {
        core_.gpibNoListener();
        respond(client, gpib::Status::noListener);
        return;
    }
    core_.gpibRead(timeoutMs);
    if (!output_.empty()) {
        deliver(client, request.length);
        return;
    }
    client.readWanted = request.length;
    waitingReaders_.push_back(client.id);
    if (timeoutMs > 0)
        client.readTimeout->start(static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT32_MAX)));
}

void GpibTransport::deliver(Client& client, std::uint32_t wanted) {
    Message& head = output_.front();
    const std::size_t count = std::min<std::size_t>(wanted, head.bytes.size() - head.delivered);
    const std::string payload = head.bytes.substr(head.delivered, count);
    head.delivered += count;
    // A reply longer than the read stays queued; only its last part carries END.
    const bool end = head.delivered == head.bytes.size();
    if (end) output_.pop_front();
    respond(client, gpib::Status::ok, end ? gpib::kFlagEoi : 0, payload,
            static_cast<std::uint32_t>(payload.size()));
}

void GpibTransport::respond(Client& client, gpib::Status status, std::uint8_t flags, std::string_view payload,
                            std::uint32_t length) {
    const gpib::Header header = gpib::encode(gpib::Response{status, flags, length});
    client.socket->write(reinterpret_cast<const char*>(header.data()), static_cast<qint64>(header.size()));
    if (!payload.empty()) client.socket->write(payload.data(), static_cast<qint64>(payload.size()));
    client.socket->flush();
}

void GpibTransport::queue(Reply reply) {
    // A reply is read as one message whatever the writes; splitting it would
    // make two messages, each with END.
    reply.splitAt = 0;
    replies_.push(std::move(reply));
}

void GpibTransport::queueReply(std::string_view bytes) {
    if (output_.size() >= kMaxQueuedReplies) {
        output_.pop_front();  // an instrument's output queue overflows by losing the oldest reply
    }
    output_.push_back({std::string(bytes), 0});
    wakeReaders();
}

void GpibTransport::wakeReaders() {
    while (!output_.empty() && !waitingReaders_.empty()) {
        const int id = waitingReaders_.front();
        waitingReaders_.pop_front();
        const auto found = clients_.find(id);
        if (found == clients_.end() || found->second->closed || !found->second->readWanted) continue;
        Client& client = *found->second;
        const std::uint32_t wanted = *client.readWanted;
        client.readWanted.reset();
        client.readTimeout->stop();
        deliver(client, wanted);
        serve(client);
    }
}

void GpibTransport::onClosed(int id) {
    const auto found = clients_.find(id);
    if (found == clients_.end() || found->second->closed) return;
    found->second->closed = true;
    found->second->readTimeout->stop();
    core_.gpibClientDisconnected();
    std::erase(waitingReaders_, id);
    QTimer::singleShot(0, this, [this, id] {
        const auto entry = clients_.find(id);
        if (entry == clients_.end()) return;
        entry->second->socket->disconnect(this);
        clients_.erase(entry);
    });
}

}  // namespace orvex::sim
