// The unit's LAN interface: a TCP listener on a loopback address. Each
// connection asks for the unit's lock first; the unit listens only to the
// connection that holds it, and the lock ends with that connection.
#pragma once

#include "delete_later.h"

#include "line_assembler.h"
#include "reply_queue.h"
#include "transport.h"
#include "unit_core.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <map>
#include <memory>

namespace orvex::sim {

class LanTransport final : public QObject, public Transport {
public:
    static constexpr int kMaxConnections = 32;

    LanTransport(UnitCore& core, QHostAddress address, quint16 port, std::chrono::milliseconds splitGap,
                 LanDrop drop = LanDrop::close);
    ~LanTransport() override;

    std::optional<std::string> open() override;
    std::string endpoint() const override;
    void close() override;

private:
    struct Connection {
        int id = 0;
        std::unique_ptr<QTcpSocket, DeleteLater> socket;
        LineAssembler lines;
        std::unique_ptr<ReplyQueue> replies;
        bool closed = false;
    };

    void accept();
    void onReadable(Connection& connection);
    void onClosed(int id);

    UnitCore& core_;
    QHostAddress address_;
    quint16 port_;
    std::chrono::milliseconds splitGap_;
    LanDrop drop_;
    QTcpServer server_;
    std::map<int, std::unique_ptr<Connection>> connections_;
    int nextId_ = 1;
};

}  // namespace orvex::sim
