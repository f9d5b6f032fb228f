#include "unit_core.h"

#include "text_escape.h"
#include "wire_texts.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace orvex::sim {
namespace {

bool sameCommand(std::string_view received, std::string_view command) {
    return received.size() == command.size() &&
           std::equal(received.begin(), received.end(), command.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) ==
                      std::toupper(static_cast<unsigned char>(b));
           });
}

bool startsWithCommand(std::string_view received, std::string_view prefix) {
    return received.size() >= prefix.size() && sameCommand(received.substr(0, prefix.size()), prefix);
}

// What a received line asks the unit to do. Commands are matched before
// records: the password commands begin with the record mark ':' too.
enum class Command {
    reset,
    identify,
    unlock,
    passwordState,
    programmingMode,
    erase,
    leaveProgramming,
    localOperation,
    codeTest,
    record,
    unknown
};

std::string journalText(std::string_view text) {
    constexpr std::size_t limit = UnitCore::kJournalTextBytes;
    if (text.size() <= limit) return text::printableBytes(text);
    return text::printableBytes(text.substr(0, limit)) + "... (" + std::to_string(text.size()) + " bytes)";
}

Command classify(std::string_view text) {
    if (sameCommand(text, wire::kReset)) return Command::reset;
    if (sameCommand(text, wire::kIdentify)) return Command::identify;
    if (startsWithCommand(text, wire::kUnlockPrefix)) return Command::unlock;
    if (sameCommand(text, wire::kPasswordState)) return Command::passwordState;
    if (sameCommand(text, wire::kProgrammingMode)) return Command::programmingMode;
    if (sameCommand(text, wire::kErase)) return Command::erase;
    if (sameCommand(text, wire::kLeaveProgramming)) return Command::leaveProgramming;
    if (sameCommand(text, wire::kLocalOperation)) return Command::localOperation;
    if (text.front() == wire::kCodeTestMark || text.front() == wire::kCodeTestMarkLower)
        return Command::codeTest;
    if (text.front() == wire::kRecordMark) return Command::record;
    return Command::unknown;
}

std::string recordAck(Link link, bool valid, bool lanLineEnd) {
    switch (link) {
        case Link::serial:
            return std::string(1, valid ? wire::kSerialRecordAck : wire::kSerialRecordNak);
        case Link::lan: {
            std::string_view ack = valid ? wire::kLanRecordAck : wire::kLanRecordNak;
            if (!lanLineEnd && ack.ends_with(wire::kReplyEnd)) ack.remove_suffix(wire::kReplyEnd.size());
            return std::string(ack);
        }
        case Link::gpib:
            return {};  // the GPIB uploader reads nothing after a record
    }
    return {};
}

}  // namespace

UnitCore::UnitCore(UnitConfig config, Hooks hooks) : config_(std::move(config)), hooks_(std::move(hooks)) {
    journal_.revisionBefore = config_.identity.revision;
    journal_.revision = config_.identity.revision;
}

std::chrono::milliseconds UnitCore::scaled(std::chrono::milliseconds delay) const {
    return std::chrono::milliseconds(std::llround(static_cast<double>(delay.count()) * config_.timeScale));
}

void UnitCore::changed() {
    if (hooks_.journalChanged) hooks_.journalChanged();
}

Reply UnitCore::onLine(LineSource source, const AssembledLine& line) {
    LinkJournal& link = journal_.links[source.link];
    if (link.down) {
        ++link.linesIgnoredAfterDrop;
        changed();
        return {};
    }
    Reply reply;
    const std::string_view text = withoutLineEnd(line.text);
    if (line.kind == AssembledLine::Kind::continuation) {
        // The rest of a code test that was answered when its message ended.
    } else if (line.kind == AssembledLine::Kind::overlong) {
        link.unknown.add("overlong line: " + journalText(text));
    } else if (source.link == Link::lan && text == std::string_view(&wire::kLockRequest, 1)) {
        link.commands.add(journalText(text));
        reply = onLockRequest(source.connection);
    } else if (source.link == Link::lan && !holdsLock(source.connection)) {
        // A connection without the lock is not listened to.
        if (LanConnection* lan = connection(source.connection)) ++lan->rejectedLines;
        link.unknown.add("without lock: " + journalText(text));
    } else if (text.empty()) {
        // The serial uploader opens with a bare CR LF to clear the unit's input.
    } else if (classify(text) == Command::record) {
        reply = onRecord(source, text);
    } else {
        link.commands.add(journalText(text));
        reply = onCommand(source, text);
    }
    changed();
    return reply;
}

Reply UnitCore::onRecord(LineSource source, std::string_view text) {
    ++recordIndex_;
    ++journal_.links[source.link].records;
    std::optional<std::string> problem;
    if (std::find(config_.nakRecords.begin(), config_.nakRecords.end(), static_cast<int>(recordIndex_)) !=
        config_.nakRecords.end()) {
        problem = "refused on request";
    } else if (!journal_.programming) {
        problem = "not in programming mode";
    } else if (const ParsedRecord parsed = parseRecord(text); !parsed.record) {
        problem = parsed.error;
    } else {
        problem = loader_.load(*parsed.record);
    }
    if (problem) {
        imageFaulty_ = true;
        ++journal_.recordsInvalid;
        journal_.invalidRecords.add({source.link, recordIndex_, *problem, journalText(text)});
    } else {
        ++journal_.recordsAccepted;
    }
    journal_.programmedBytes = flash_.programmedBytes();
    journal_.reprogrammedBytes = loader_.reprogrammedBytes();
    journal_.endOfFileSeen = loader_.endSeen();

    Reply reply = makeReply(ReplyKind::record, recordAck(source.link, !problem, config_.lanAckLineEnd));
    if (config_.dropAfterRecords && recordIndex_ == static_cast<std::size_t>(*config_.dropAfterRecords)) {
        reply.dropLinkAfter = true;
        // A LAN unit drops the connection and still accepts new ones, and a unit
        // behind a reset RS-232 adapter carries on; the other links stay dead.
        const bool carriesOn = source.link == Link::lan || (source.link == Link::serial &&
                                                            config_.serialDrop == SerialDrop::adapterReset);
        if (!carriesOn) journal_.links[source.link].down = true;
    }
    return reply;
}

Reply UnitCore::onCommand(LineSource source, std::string_view text) {
    LinkJournal& link = journal_.links[source.link];
    switch (classify(text)) {
        case Command::codeTest:
            ++link.codeTests;
            return makeReply(ReplyKind::codeTest, config_.codeTestReply);
        case Command::reset:
            journal_.unlocked = false;
            journal_.programming = false;
            return {};
        case Command::identify:
            return makeReply(ReplyKind::identify, identification());
        case Command::unlock:
            // A wrong password locks the unit again.
            journal_.unlocked = text.substr(wire::kUnlockPrefix.size()) == config_.password;
            return {};
        case Command::passwordState:
            return makeReply(ReplyKind::passwordState,
                             std::string(journal_.unlocked ? wire::kReplyUnlocked : wire::kReplyLocked));
        case Command::programmingMode:
            if (!journal_.unlocked)
                return makeReply(ReplyKind::programmingMode, std::string(wire::kReplyNotUnlocked));
            journal_.programming = true;
            startImage();
            return makeReply(ReplyKind::programmingMode, config_.programmingReply);
        case Command::erase:
            if (!journal_.programming)
                return makeReply(ReplyKind::erase, std::string(wire::kReplyEraseRefused));
            flash_.erase();
            startImage();
            journal_.erased = true;
            journal_.programmedBytes = 0;
            return makeReply(ReplyKind::erase, config_.eraseReply, config_.eraseTime);
        case Command::leaveProgramming:
            leaveProgramming(source.link);
            return {};
        case Command::localOperation:
            return {};
        case Command::record:
        case Command::unknown:
            break;
    }
    link.unknown.add(journalText(text));
    return {};
}

void UnitCore::startImage() {
    loader_.restart();
    imageFaulty_ = false;
    journal_.erased = false;
    journal_.endOfFileSeen = false;
}

void UnitCore::leaveProgramming(Link link) {
    ++journal_.exits;
    if (journal_.programming) {
        journal_.programming = false;
        // Only an erased flash holding a complete, clean image boots the new
        // firmware, unless the boot code names a revision of its own.
        const bool imageComplete = journal_.erased && loader_.endSeen() && !imageFaulty_;
        const std::string* next = config_.bootRevision ? &*config_.bootRevision
                                  : imageComplete      ? &config_.newRevision
                                                       : nullptr;
        if (next != nullptr && config_.identity.revision != *next) {
            journal_.revisionChanges.add({config_.identity.revision, *next, link});
            config_.identity.revision = *next;
            journal_.revision = *next;
        }
    }
    if (hooks_.leftProgramming) hooks_.leftProgramming();
}

Reply UnitCore::onLockRequest(int connectionId) {
    LanConnection* lan = connection(connectionId);
    std::string event;
    std::string reply;
    if (config_.lock == LockPolicy::silent) {
        event = "unanswered";
    } else if (config_.lock == LockPolicy::deny || (lockHolder_ && *lockHolder_ != connectionId)) {
        event = "denied";
        reply = wire::kReplyLockDenied;
    } else {
        event = "granted";
        lockHolder_ = connectionId;
        reply = config_.lockGrantedReply;
    }
    if (lan && !(event == "denied" && lan->lock == "granted")) lan->lock = event;
    journal_.lockEvents.add({connectionId, event});
    if (reply.empty()) return {};
    return makeReply(ReplyKind::lock, std::move(reply));
}

Reply UnitCore::makeReply(ReplyKind kind, std::string bytes, std::chrono::milliseconds work) {
    const int occurrence = ++occurrences_[kind];
    if (bytes.empty() || silenced(kind, occurrence)) return {};
    Reply reply;
    reply.bytes = std::move(bytes);
    auto delay = work;
    if (const auto found = config_.replyDelays.find(kind); found != config_.replyDelays.end()) {
        delay += found->second;
    } else if (config_.allRepliesDelay) {
        delay += *config_.allRepliesDelay;
    }
    reply.delay = scaled(delay);
    if (const auto found = config_.nulReplies.find(kind); found != config_.nulReplies.end()) {
        const std::size_t lineEnd = reply.bytes.find_last_not_of(wire::kReplyEnd) + 1;
        reply.bytes.insert(std::min(found->second.value_or(lineEnd), reply.bytes.size()), 1, '\0');
    }
    if (const auto found = config_.splitReplies.find(kind); found != config_.splitReplies.end()) {
        const std::size_t wanted = found->second == 0 ? reply.bytes.size() / 2 : found->second;
        if (wanted > 0 && wanted < reply.bytes.size()) reply.splitAt = wanted;
    }
    return reply;
}

bool UnitCore::silenced(ReplyKind kind, int occurrence) const {
    return std::any_of(config_.silences.begin(), config_.silences.end(), [&](const Silence& silence) {
        return silence.kind == kind && (silence.occurrence == 0 || silence.occurrence == occurrence);
    });
}

std::string UnitCore::identification() const {
    if (config_.identifyReply) return *config_.identifyReply;
    const Identity& id = config_.identity;
    std::string reply = id.maker + "," + id.family + " " + id.model + "," + id.calibrationDate + "," +
                        id.serialNumber + "," + id.revision;
    const std::size_t plain = reply.size() + wire::kReplyEnd.size();
    if (config_.identifyLength > plain) {
        // A seventh field fills the reply to the requested size.
        reply += ',';
        reply.append(config_.identifyLength - plain - 1, wire::kIdentityFiller);
    }
    reply += wire::kReplyEnd;
    return reply;
}

void UnitCore::setEndpoint(Link link, std::string endpoint) {
    journal_.links[link].endpoint = std::move(endpoint);
    changed();
}

bool UnitCore::linkDown(Link link) const {
    const auto found = journal_.links.find(link);
    return found != journal_.links.end() && found->second.down;
}

void UnitCore::serialPortChanged(bool opened) {
    (opened ? journal_.portOpens : journal_.portCloses) += 1;
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    journal_.portEvents.add({opened, journal_.links[Link::serial].records, journal_.programming,
                             journal_.exits,
                             std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()});
    changed();
}

void UnitCore::serialAdapterReset() {
    ++journal_.adapterResets;
    changed();
}

void UnitCore::replyLostWhilePortClosed() {
    ++journal_.repliesLostWhilePortClosed;
    changed();
}

LanConnection* UnitCore::connection(int id) {
    auto& items = journal_.connections.items;
    const auto found =
        std::find_if(items.rbegin(), items.rend(), [id](const LanConnection& c) { return c.id == id; });
    return found == items.rend() ? nullptr : &*found;
}

void UnitCore::connectionOpened(int id, std::string peer) {
    journal_.connections.add({id, std::move(peer)});
    changed();
}

void UnitCore::connectionClosed(int id) {
    if (LanConnection* lan = connection(id)) lan->open = false;
    if (lockHolder_ == id) {
        // The lock belongs to its connection and ends with it.
        lockHolder_.reset();
        journal_.lockEvents.add({id, "released"});
    }
    changed();
}

void UnitCore::setGpibAddress(int address) { journal_.gpibAddress = address; }

void UnitCore::gpibClientConnected() {
    ++journal_.gpibClients;
    ++journal_.gpibConnected;
    changed();
}

void UnitCore::gpibClientDisconnected() {
    --journal_.gpibConnected;
    changed();
}

void UnitCore::gpibWrite(bool eoi) {
    ++journal_.gpibWrites;
    if (!eoi) ++journal_.gpibWritesWithoutEoi;
    changed();
}

void UnitCore::gpibRead(long long timeoutMs) {
    journal_.gpibReadTimeoutsMs.add(timeoutMs);
    changed();
}

void UnitCore::gpibOutputDiscarded(std::size_t bytes) {
    journal_.gpibUnreadDiscarded += bytes;
    changed();
}

void UnitCore::gpibInterfaceClear() {
    ++journal_.gpibInterfaceClears;
    changed();
}

void UnitCore::gpibNoListener() {
    ++journal_.gpibNoListener;
    changed();
}

void UnitCore::gpibReadTimeout() {
    ++journal_.gpibReadTimeouts;
    changed();
}

}  // namespace orvex::sim
