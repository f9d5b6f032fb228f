#include "line_assembler.h"

#include "wire_texts.h"

namespace orvex::sim {

std::string_view withoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

std::vector<AssembledLine> LineAssembler::feed(std::string_view bytes) {
    std::vector<AssembledLine> lines;
    if (!inMessage_ && !bytes.empty()) {
        inMessage_ = true;
        messageMidLine_ = !pending_.empty() || continuesMessage_ || dropping_;
        message_.clear();
    }
    if (messageMidLine_ && message_.size() < kMaxLineBytes) {
        message_.append(bytes.substr(0, kMaxLineBytes - message_.size()));
    }
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view part = end == std::string_view::npos ? bytes : bytes.substr(0, end + 1);
        bytes.remove_prefix(part.size());
        const bool complete = end != std::string_view::npos;
        if (dropping_) {
            if (complete) dropping_ = false;
            continue;
        }
        const std::size_t room = kMaxLineBytes - pending_.size();
        if (part.size() > room) {
            pending_.append(part.substr(0, room));
            lines.push_back({std::move(pending_), AssembledLine::Kind::overlong});
            pending_.clear();
            continuesMessage_ = false;
            dropping_ = !complete;
            continue;
        }
        pending_.append(part);
        if (!complete) continue;
        const auto kind = continuesMessage_ ? AssembledLine::Kind::continuation : AssembledLine::Kind::whole;
        lines.push_back({std::move(pending_), kind});
        pending_.clear();
        continuesMessage_ = false;
    }
    return lines;
}

namespace {

bool startsCodeTest(std::string_view text) {
    return !text.empty() && (text.front() == wire::kCodeTestMark || text.front() == wire::kCodeTestMarkLower);
}

}  // namespace

std::optional<AssembledLine> LineAssembler::endOfMessage() {
    const bool pieceOfLongLine = inMessage_ && messageMidLine_;
    inMessage_ = false;
    if (pieceOfLongLine) {
        if (!startsCodeTest(message_)) return std::nullopt;
        return AssembledLine{std::move(message_), AssembledLine::Kind::messageEnd};
    }
    if (pending_.empty() || continuesMessage_ || !startsCodeTest(pending_)) return std::nullopt;
    AssembledLine line{pending_, AssembledLine::Kind::messageEnd};
    pending_.clear();
    continuesMessage_ = true;
    return line;
}

}  // namespace orvex::sim
