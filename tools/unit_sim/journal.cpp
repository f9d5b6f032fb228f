#include "journal.h"

#include <QJsonArray>

namespace orvex::sim {
namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

QJsonArray strings(const BoundedList<std::string>& list) {
    QJsonArray array;
    for (const auto& item : list.items) array.append(text(item));
    return array;
}

QJsonArray numbers(const BoundedList<long long>& list) {
    QJsonArray array;
    for (const long long item : list.items) array.append(static_cast<qint64>(item));
    return array;
}

QJsonObject linkJson(Link link, const LinkJournal& journal) {
    return QJsonObject{
        {"link", linkName(link)},
        {"endpoint", text(journal.endpoint)},
        {"commands", strings(journal.commands)},
        {"commandsDropped", static_cast<qint64>(journal.commands.dropped)},
        {"unknown", strings(journal.unknown)},
        {"records", static_cast<qint64>(journal.records)},
        {"codeTests", static_cast<qint64>(journal.codeTests)},
        {"linesIgnoredAfterDrop", static_cast<qint64>(journal.linesIgnoredAfterDrop)},
        {"down", journal.down},
    };
}

}  // namespace

QJsonObject Journal::toJson() const {
    QJsonArray changes;
    for (const auto& change : revisionChanges.items) {
        changes.append(QJsonObject{
            {"from", text(change.from)}, {"to", text(change.to)}, {"link", linkName(change.link)}});
    }
    QJsonArray invalid;
    for (const auto& record : invalidRecords.items) {
        invalid.append(QJsonObject{{"link", linkName(record.link)},
                                   {"index", static_cast<qint64>(record.index)},
                                   {"reason", text(record.reason)},
                                   {"text", text(record.text)}});
    }
    QJsonObject transports;
    for (const auto& [link, journal] : links) transports.insert(linkName(link), linkJson(link, journal));

    QJsonArray events;
    for (const auto& event : portEvents.items) {
        events.append(QJsonObject{{"event", event.opened ? "open" : "close"},
                                  {"records", static_cast<qint64>(event.records)},
                                  {"programming", event.programming},
                                  {"exits", event.exits},
                                  {"atMs", event.atMs}});
    }
    QJsonArray lanConnections;
    for (const auto& connection : connections.items) {
        lanConnections.append(QJsonObject{{"id", connection.id},
                                          {"peer", text(connection.peer)},
                                          {"open", connection.open},
                                          {"lock", text(connection.lock)},
                                          {"rejectedLines", static_cast<qint64>(connection.rejectedLines)}});
    }
    QJsonArray locks;
    for (const auto& event : lockEvents.items) {
        locks.append(QJsonObject{{"connection", event.connection}, {"event", text(event.event)}});
    }

    return QJsonObject{
        {"format", "orvex-unit-sim record 1"},
        {"revisionBefore", text(revisionBefore)},
        {"revision", text(revision)},
        {"revisionChanges", changes},
        {"unlocked", unlocked},
        {"programming", programming},
        {"erased", erased},
        {"endOfFileSeen", endOfFileSeen},
        {"exits", exits},
        {"records", QJsonObject{{"accepted", static_cast<qint64>(recordsAccepted)},
                                {"invalid", static_cast<qint64>(recordsInvalid)},
                                {"programmedBytes", static_cast<qint64>(programmedBytes)},
                                {"reprogrammedBytes", static_cast<qint64>(reprogrammedBytes)}}},
        {"invalidRecords", invalid},
        {"transports", transports},
        {"serialPort",
         QJsonObject{{"opens", portOpens},
                     {"closes", portCloses},
                     {"events", events},
                     {"adapterResets", adapterResets},
                     {"repliesLostWhileClosed", static_cast<qint64>(repliesLostWhilePortClosed)}}},
        {"lan", QJsonObject{{"connections", lanConnections}, {"lockEvents", locks}}},
        {"gpib", QJsonObject{{"address", gpibAddress},
                             {"clients", gpibClients},
                             {"interfaceClears", gpibInterfaceClears},
                             {"noListener", gpibNoListener},
                             {"readTimeouts", gpibReadTimeouts},
                             {"connected", gpibConnected},
                             {"writes", gpibWrites},
                             {"writesWithoutEoi", gpibWritesWithoutEoi},
                             {"readTimeoutsMs", numbers(gpibReadTimeoutsMs)},
                             {"unreadDiscarded", static_cast<qint64>(gpibUnreadDiscarded)}}},
    };
}

}  // namespace orvex::sim
