#include "resource.h"

#include <algorithm>
#include <charconv>

namespace orvex {
namespace {

constexpr int kMaxComPortOnPanel = 9;
constexpr int kMaxGpibBoard = 7;
constexpr int kMinGpibAddress = 1;
constexpr int kMaxGpibAddress = 30;
constexpr int kIpv4Groups = 4;
constexpr int kMaxIpv4Group = 255;
constexpr std::size_t kMaxIpv4GroupDigits = 3;
constexpr std::string_view kSeparator = "::";

// Instrument addresses ignore the case of their keywords.
bool starts_with_keyword(std::string_view text, std::string_view keyword) {
    return text.size() >= keyword.size() && same_ignoring_case(text.substr(0, keyword.size()), keyword);
}

bool ends_with_keyword(std::string_view text, std::string_view keyword) {
    return text.size() >= keyword.size() &&
           starts_with_keyword(text.substr(text.size() - keyword.size()), keyword);
}

// A whole decimal number within [low, high], digits only (no sign, no space).
std::optional<int> number_in(std::string_view text, int low, int high) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// The address as one number, or nothing when it is no dotted decimal IPv4 address.
std::optional<unsigned long> ipv4_value(std::string_view text) {
    constexpr unsigned long kGroupBase = kMaxIpv4Group + 1;
    unsigned long value = 0;
    int groups = 0;
    for (;;) {
        const std::size_t dot = text.find('.');
        const std::string_view group = text.substr(0, dot);
        const auto number =
            group.size() <= kMaxIpv4GroupDigits ? number_in(group, 0, kMaxIpv4Group) : std::optional<int>();
        if (!number) return std::nullopt;
        value = value * kGroupBase + static_cast<unsigned long>(*number);
        ++groups;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    if (groups != kIpv4Groups) return std::nullopt;
    return value;
}

bool is_ipv4(std::string_view text) { return ipv4_value(text).has_value(); }

std::optional<Resource> parse_serial(std::string_view body) {
    Resource resource;
    if (!body.empty() && body.front() == '/') {
        if (body.find(kSeparator) != std::string_view::npos) return std::nullopt;
        resource.device_path = std::string(body);
        return resource;
    }
    const auto port = number_in(body, 1, kMaxComPortOnPanel);
    if (!port) return std::nullopt;
    resource.com_port = *port;
    return resource;
}

std::optional<Resource> parse_gpib(std::string_view body) {
    const std::size_t separator = body.find(kSeparator);
    if (separator == std::string_view::npos) return std::nullopt;
    const auto board = number_in(body.substr(0, separator), 0, kMaxGpibBoard);
    const auto address =
        number_in(body.substr(separator + kSeparator.size()), kMinGpibAddress, kMaxGpibAddress);
    if (!board || !address) return std::nullopt;
    Resource resource;
    resource.kind = Resource::Kind::Gpib;
    resource.board = *board;
    resource.address = *address;
    return resource;
}

// After "TCPIP": an optional board number, then "::host" and an optional "::5025".
std::optional<Resource> parse_lan(std::string_view body) {
    const std::size_t first = body.find(kSeparator);
    if (first == std::string_view::npos) return std::nullopt;
    if (first > 0 && !number_in(body.substr(0, first), 0, kMaxGpibBoard)) return std::nullopt;
    std::string_view rest = body.substr(first + kSeparator.size());
    const std::size_t port_at = rest.find(kSeparator);
    if (port_at != std::string_view::npos) {
        const auto port = number_in(rest.substr(port_at + kSeparator.size()), 0, 65535);
        if (!port || *port != kUnitLanPort) return std::nullopt;
        rest = rest.substr(0, port_at);
    }
    if (!is_ipv4(rest)) return std::nullopt;
    Resource resource;
    resource.kind = Resource::Kind::Lan;
    resource.host = std::string(rest);
    return resource;
}

struct Form {
    std::string_view prefix;
    std::string_view suffix;
    std::optional<Resource> (*parse)(std::string_view body);
};

constexpr Form kForms[] = {
    {"ASRL", "::INSTR", parse_serial},
    {"GPIB", "::INSTR", parse_gpib},
    {"TCPIP", "::SOCKET", parse_lan},
};

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == upper(y); });
}

std::optional<Resource> parse_resource(std::string_view text) {
    for (const Form& form : kForms) {
        if (!starts_with_keyword(text, form.prefix) || !ends_with_keyword(text, form.suffix)) continue;
        if (text.size() < form.prefix.size() + form.suffix.size()) return std::nullopt;
        return form.parse(
            text.substr(form.prefix.size(), text.size() - form.prefix.size() - form.suffix.size()));
    }
    return std::nullopt;
}

bool same_resource(const Resource& a, const Resource& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Resource::Kind::Serial:
            return a.com_port == b.com_port && a.device_path == b.device_path;
        case Resource::Kind::Gpib:
            return a.board == b.board && a.address == b.address;
        case Resource::Kind::Lan:
            return ipv4_value(a.host) == ipv4_value(b.host);
    }
    return false;
}

}  // namespace orvex
