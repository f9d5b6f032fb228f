// The unit on a GPIB board, reached by the stand-in driver through a Unix
// stream socket per board. The unit answers at one primary address; its
// replies wait in an output queue until a controller reads them, the last
// byte of each reply carrying EOI.
#pragma once

#include "delete_later.h"

#include "gpib_wire.h"
#include "line_assembler.h"
#include "reply_queue.h"
#include "transport.h"
#include "unit_core.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <string>

namespace orvex::sim {

namespace gpib = ::gpib_wire;

class GpibTransport final : public QObject, public Transport {
public:
    static constexpr std::size_t kMaxQueuedReplies = 256;
    static constexpr int kMaxClients = 32;

    GpibTransport(UnitCore& core, std::string pattern, int board, int primaryAddress,
                  GpibDrop drop = GpibDrop::silent);
    ~GpibTransport() override;

    std::optional<std::string> open() override;
    std::string endpoint() const override;
    void close() override;

private:
    struct Client {
        int id = 0;
        std::unique_ptr<QLocalSocket, DeleteLater> socket;
        std::string input;                        // bytes of requests not yet served
        std::optional<std::uint32_t> readWanted;  // a read waits for the unit's reply
        std::unique_ptr<QTimer> readTimeout;
        bool closed = false;
    };
    struct Message {
        std::string bytes;
        std::size_t delivered = 0;
    };

    void accept();
    void serve(Client& client);
    bool serveOne(Client& client);
    void onWrite(Client& client, const gpib::Request& request, std::string_view data);
    void onRead(Client& client, const gpib::Request& request, std::uint32_t timeoutMs);
    void deliver(Client& client, std::uint32_t wanted);
    void respond(Client& client, gpib::Status status, std::uint8_t flags = 0, std::string_view payload = {},
                 std::uint32_t length = 0);
    void queue(Reply reply);
    void queueReply(std::string_view bytes);
    void wakeReaders();
    void onClosed(int id);
    bool listening(std::uint8_t address) const;

    UnitCore& core_;
    std::string path_;
    int primaryAddress_;
    QLocalServer server_;
    std::map<int, std::unique_ptr<Client>> clients_;
    std::deque<int> waitingReaders_;
    std::deque<Message> output_;
    LineAssembler lines_;
    ReplyQueue replies_;
    int nextId_ = 1;
};

}  // namespace orvex::sim
