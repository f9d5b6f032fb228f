// How the emulated unit behaves: its identity, its replies and the faults it
// injects on request. Every field has the behaviour of a healthy unit as default.
#pragma once

#include "wire_texts.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvex::sim {

enum class Link { serial, lan, gpib };

// The commands that draw a reply; faults are attached to these.
enum class ReplyKind { lock, identify, passwordState, programmingMode, erase, record, codeTest };

struct Identity {
    std::string maker{wire::kMaker};
    std::string family{wire::kFamily};
    std::string model{wire::kModel};
    std::string calibrationDate{wire::kCalibrationDate};
    std::string serialNumber{wire::kSerialNumber};
    std::string revision{wire::kRevision};
};

enum class LockPolicy { grant, deny, silent };
// How the serial link drops: the unit falls silent, its port disappears, or
// its RS-232 adapter resets (a new device behind the same COM link).
enum class SerialDrop { silent, closePort, adapterReset };
// How the LAN link drops: the unit closes the connection, or its interface
// resets it (the peer sees a reset, not an orderly close).
enum class LanDrop { close, reset };
// How the GPIB link drops: the unit stops listening, or the board's socket
// goes away (the driver finds no board any more).
enum class GpibDrop { silent, vanish };

// Silence for one kind of reply: every time, or only its n-th occurrence.
struct Silence {
    ReplyKind kind = ReplyKind::identify;
    int occurrence = 0;  // 0: always; counted from 1 since start-up
};

struct UnitConfig {
    Identity identity;
    std::string newRevision{wire::kNewRevision};
    // Some units' boot code reports its own revision after EXIT, whatever the flash holds.
    std::optional<std::string> bootRevision;
    std::string password{wire::kPassword};
    std::optional<std::string> identifyReply;  // replaces the whole identification reply
    std::size_t identifyLength = 0;            // pads the identification reply to this many bytes

    LockPolicy lock = LockPolicy::grant;
    std::string lockGrantedReply{wire::kReplyLockGranted};
    std::string programmingReply{wire::kReplyReady};
    std::string eraseReply{wire::kReplyEraseDone};
    std::string codeTestReply{wire::kReplyTestPassed};
    bool lanAckLineEnd = true;  // false: LAN record acknowledgments end without CR LF
    std::chrono::milliseconds eraseTime{100};

    std::vector<Silence> silences;
    std::map<ReplyKind, std::chrono::milliseconds> replyDelays;
    std::optional<std::chrono::milliseconds> allRepliesDelay;
    std::map<ReplyKind, std::size_t> splitReplies;  // split point in bytes; 0: the middle
    std::chrono::milliseconds splitGap{20};         // not scaled: it exists to make two reads
    // A NUL byte put into replies of a kind, after this many bytes; none: just before the line end.
    std::map<ReplyKind, std::optional<std::size_t>> nulReplies;
    std::vector<int> nakRecords;  // records refused whatever their content, counted from 1

    std::optional<int> dropAfterRecords;
    SerialDrop serialDrop = SerialDrop::silent;
    LanDrop lanDrop = LanDrop::close;
    GpibDrop gpibDrop = GpibDrop::silent;

    double timeScale = 1.0;  // multiplies the unit's own delays
};

// Command-line names of the reply kinds.
const char* replyKindName(ReplyKind kind);
std::optional<ReplyKind> replyKindFromName(std::string_view name);
const char* linkName(Link link);

}  // namespace orvex::sim
