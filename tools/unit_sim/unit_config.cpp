#include "unit_config.h"

#include <array>
#include <utility>

namespace orvex::sim {
namespace {

constexpr std::array<std::pair<ReplyKind, const char*>, 7> kReplyKindNames{{
    {ReplyKind::lock, "lock"},
    {ReplyKind::identify, "idn"},
    {ReplyKind::passwordState, "stat"},
    {ReplyKind::programmingMode, "prg"},
    {ReplyKind::erase, "erase"},
    {ReplyKind::record, "record"},
    {ReplyKind::codeTest, "test"},
}};

}  // namespace

const char* replyKindName(ReplyKind kind) {
    for (const auto& [candidate, name] : kReplyKindNames) {
        if (candidate == kind) return name;
    }
    return "?";
}

std::optional<ReplyKind> replyKindFromName(std::string_view name) {
    for (const auto& [kind, candidate] : kReplyKindNames) {
        if (name == candidate) return kind;
    }
    return std::nullopt;
}

const char* linkName(Link link) {
    switch (link) {
        case Link::serial:
            return "serial";
        case Link::lan:
            return "lan";
        case Link::gpib:
            return "gpib";
    }
    return "?";
}

}  // namespace orvex::sim
