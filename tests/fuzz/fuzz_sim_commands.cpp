// Any bytes a client may send the emulated unit, on any link, in writes of any
// size: every line stays bounded, every answer is a reply and never garbage,
// and every journal entry stays bounded.
#include "line_assembler.h"
#include "unit_core.h"

#include <algorithm>
#include <array>
#include <cstdint>
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

// Without fault options a reply is one acknowledgment byte (RS-232) or one
// line of printable text: never raw bytes of the input or of memory.
bool isReply(const std::string& bytes) {
    if (bytes.size() == 1) return bytes[0] == '\x06' || bytes[0] == '\x15';
    if (bytes.size() < 2 || bytes.size() > 256 || !bytes.ends_with("\r\n")) return false;
    return std::all_of(bytes.begin(), bytes.end() - 2, [](unsigned char c) { return c >= 0x20 && c < 0x7F; });
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
    check(reply.bytes.empty() || isReply(reply.bytes));
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

    UnitCore unit(UnitConfig{.timeScale = 0}, {});
    if (link == Link::lan) {
        // A LAN client is heard only once it holds the lock.
        unit.connectionOpened(kLanConnection, "fuzz");
        answer(unit, link, {"\x12\n"});
    }
    LineAssembler assembler;
    while (!input.empty()) {
        const std::string_view write = input.substr(0, writeBytes);
        input.remove_prefix(write.size());
        for (const AssembledLine& line : assembler.feed(write)) answer(unit, link, line);
        if (auto message = link == Link::gpib && eoi ? assembler.endOfMessage() : std::nullopt)
            answer(unit, link, *message);
    }
    for (const auto& [_, journal] : unit.journal().links) {
        checkEntries(journal.commands);
        checkEntries(journal.unknown);
    }
    for (const InvalidRecord& record : unit.journal().invalidRecords.items)
        check(record.text.size() <= kMaxJournalEntryBytes);
    return 0;
}
