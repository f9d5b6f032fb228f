#include "simulator.h"

#include "gpib_transport.h"
#include "lan_transport.h"
#include "serial_transport.h"

#include <QHostAddress>

namespace orvex::sim {

Simulator::Simulator(SimOptions options)
    : options_(std::move(options)),
      core_(options_.unit, UnitCore::Hooks{[this] {
                                               if (snapshots_) snapshots_->journalChanged();
                                           },
                                           [this] {
                                               if (snapshots_) snapshots_->writeAll();
                                           }}) {
    snapshots_ = std::make_unique<SnapshotWriter>(core_, options_.recordPath, options_.flashPath);
}

Simulator::~Simulator() { shutdown(); }

std::optional<std::string> Simulator::start() {
    const auto gap = options_.unit.splitGap;
    if (options_.serialDirectory) {
        transports_.push_back(std::make_unique<SerialTransport>(
            core_, *options_.serialDirectory, options_.comNumber, options_.unit.serialDrop, gap));
    }
    if (options_.lanAddress) {
        QHostAddress address;
        if (!address.setAddress(QString::fromStdString(*options_.lanAddress)) ||
            address.protocol() != QAbstractSocket::IPv4Protocol) {
            return "not an IPv4 address: " + *options_.lanAddress;
        }
        transports_.push_back(std::make_unique<LanTransport>(
            core_, address, static_cast<quint16>(options_.lanPort), gap, options_.unit.lanDrop));
    }
    if (options_.gpibPattern) {
        transports_.push_back(std::make_unique<GpibTransport>(
            core_, *options_.gpibPattern, options_.gpibBoard, options_.gpibAddress, options_.unit.gpibDrop));
    }
    for (const auto& transport : transports_) {
        if (auto error = transport->open()) return error;
    }
    snapshots_->writeAll();  // the files exist from the ready line on
    return std::nullopt;
}

std::string Simulator::readyLine() const {
    std::string line = "ready";
    for (const auto& transport : transports_) line += " " + transport->endpoint();
    return line;
}

void Simulator::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    for (const auto& transport : transports_) transport->close();
    snapshots_->writeAll();
}

}  // namespace orvex::sim
