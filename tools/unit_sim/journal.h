// What the unit received and did, kept for the record file that tests read.
// Every list is bounded; what does not fit is counted instead.
#pragma once

#include "unit_config.h"

#include <QJsonObject>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace orvex::sim {

// Keeps a list from growing without end: past the limit only the count grows.
template <typename T>
struct BoundedList {
    static constexpr std::size_t kLimit = 20000;
    std::vector<T> items;
    std::size_t dropped = 0;
    void add(T value) {
        if (items.size() < kLimit) {
            items.push_back(std::move(value));
        } else {
            ++dropped;
        }
    }
};

struct LinkJournal {
    std::string endpoint;
    BoundedList<std::string> commands;  // every line that is not a record, without its line end
    BoundedList<std::string> unknown;
    std::size_t records = 0;
    std::size_t codeTests = 0;
    std::size_t linesIgnoredAfterDrop = 0;
    bool down = false;  // the link was dropped on request
};

struct InvalidRecord {
    Link link = Link::serial;
    std::size_t index = 0;  // 1-based count of records since start-up
    std::string reason;
    std::string text;
};

// Serial port opened or closed by the uploader, and where in the upload.
struct PortEvent {
    bool opened = false;
    std::size_t records = 0;
    bool programming = false;
    int exits = 0;
    long long atMs = 0;  // since start-up
};

struct LanConnection {
    int id = 0;
    std::string peer;
    bool open = true;
    std::string lock = "none";      // none, granted, denied, unanswered
    std::size_t rejectedLines = 0;  // commands sent without holding the lock
};

struct LockEvent {
    int connection = 0;
    std::string event;  // granted, denied, unanswered, released
};

struct RevisionChange {
    std::string from;
    std::string to;
    Link link = Link::serial;
};

struct Journal {
    std::string revisionBefore;
    std::string revision;
    BoundedList<RevisionChange> revisionChanges;
    bool unlocked = false;
    bool programming = false;
    bool erased = false;
    bool endOfFileSeen = false;
    int exits = 0;
    std::size_t recordsAccepted = 0;
    std::size_t recordsInvalid = 0;
    std::size_t programmedBytes = 0;
    std::size_t reprogrammedBytes = 0;
    BoundedList<InvalidRecord> invalidRecords;
    std::map<Link, LinkJournal> links;

    BoundedList<PortEvent> portEvents;
    int portOpens = 0;
    int portCloses = 0;
    std::size_t repliesLostWhilePortClosed = 0;
    int adapterResets = 0;  // the RS-232 adapter went away and came back on a new device

    BoundedList<LanConnection> connections;
    BoundedList<LockEvent> lockEvents;

    int gpibAddress = 0;
    int gpibClients = 0;
    int gpibInterfaceClears = 0;
    int gpibNoListener = 0;
    int gpibReadTimeouts = 0;
    int gpibConnected = 0;                      // controllers connected now; 0 once the board is offline
    int gpibWrites = 0;                         // writes the unit heard
    int gpibWritesWithoutEoi = 0;               // of those, writes whose last byte carried no EOI
    BoundedList<long long> gpibReadTimeoutsMs;  // each read's time-out as the driver set it; 0: none
    std::size_t gpibUnreadDiscarded = 0;        // reply bytes dropped because a new message came first

    QJsonObject toJson() const;
};

}  // namespace orvex::sim
