// Any bytes a client may send the emulated unit, on any of its links and cut
// into writes of any size: the line assembler keeps every line bounded, and
// the unit answers only with replies it has, never with garbage, while its
// journal keeps every entry bounded.
#include "line_assembler.h"
#include "unit_core.h"
#include "wire_texts.h"

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace {

using namespace orvex::sim;

// The input's first bytes choose the link and how the rest is cut into writes.
constexpr std::size_t kControlBytes = 2;
constexpr std::size_t kMaxWriteBytes = 64;
// An escaped byte takes at most 4 characters; the journal adds a short tail.
constexpr std::size_t kMaxJournalEntryBytes = 4 * UnitCore::kJournalTextBytes + 64;
constexpr int kLanConnection = 1;

std::string identity(std::string_view revision) {
    return std::string(wire::kMaker) + "," + std::string(wire::kFamily) + " " + std::string(wire::kModel) +
           "," + std::string(wire::kCalibrationDate) + "," + std::string(wire::kSerialNumber) + "," +
           std::string(revision) + std::string(wire::kReplyEnd);
}

const std::set<std::string>& knownReplies() {
    static const std::set<std::string> replies = {
        identity(wire::kRevision),
        identity(wire::kNewRevision),
        std::string(wire::kReplyUnlocked),
        std::string(wire::kReplyLocked),
        std::string(wire::kReplyReady),
        std::string(wire::kReplyNotUnlocked),
        std::string(wire::kReplyEraseDone),
        std::string(wire::kReplyEraseRefused),
        std::string(wire::kReplyTestPassed),
        std::string(wire::kReplyLockGranted),
        std::string(wire::kReplyLockDenied),
        std::string(1, wire::kSerialRecordAck),
        std::string(1, wire::kSerialRecordNak),
        std::string(wire::kLanRecordAck),
        std::string(wire::kLanRecordNak),
    };
    return replies;
}

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void checkEntries(const BoundedList<std::string>& list) {
    for (const std::string& entry : list.items) check(entry.size() <= kMaxJournalEntryBytes);
}

void answer(UnitCore& unit, Link link, const AssembledLine& line) {
    check(line.text.size() <= LineAssembler::kMaxLineBytes);
    const Reply reply = unit.onLine({link, link == Link::lan ? kLanConnection : 0}, line);
    check(reply.bytes.empty() || knownReplies().count(reply.bytes) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kControlBytes) return 0;
    constexpr std::array links{Link::serial, Link::lan, Link::gpib};
    const Link link = links[data[0] % links.size()];
    // Bit 0 of the second byte: GPIB writes end with EOI; the rest: the write size.
    const bool eoi = (data[1] & 1) != 0;
    const std::size_t writeBytes = 1 + (data[1] >> 1) % kMaxWriteBytes;
    std::string_view input(reinterpret_cast<const char*>(data) + kControlBytes, size - kControlBytes);

    UnitConfig config;
    config.timeScale = 0;
    UnitCore unit(config, {});
    if (link == Link::lan) {
        // A LAN client is heard only once it holds the lock.
        unit.connectionOpened(kLanConnection, "fuzz");
        answer(unit, link, {std::string(1, wire::kLockRequest) + "\n"});
    }
    LineAssembler assembler;
    while (!input.empty()) {
        const std::string_view write = input.substr(0, writeBytes);
        input.remove_prefix(write.size());
        for (const AssembledLine& line : assembler.feed(write)) answer(unit, link, line);
        if (link == Link::gpib && eoi) {
            if (auto message = assembler.endOfMessage()) answer(unit, link, *message);
        }
    }
    for (const auto& [_, journal] : unit.journal().links) {
        checkEntries(journal.commands);
        checkEntries(journal.unknown);
    }
    for (const InvalidRecord& record : unit.journal().invalidRecords.items)
        check(record.text.size() <= kMaxJournalEntryBytes);
    return 0;
}
