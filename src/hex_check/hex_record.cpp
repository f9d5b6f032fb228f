#include "hex_record.h"

#include <cstdio>
#include <optional>

namespace orvex::hex {
namespace {

constexpr std::size_t kFramingBytes = 5;  // count, offset (2), type, checksum
constexpr int kCountColumn = 2;
constexpr int kKindColumn = 8;
constexpr unsigned kHighestKind = 0x05;

std::optional<std::uint8_t> nibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

// Two digits known to be hex.
std::uint8_t byteAt(std::string_view digits, std::size_t index) {
    return static_cast<std::uint8_t>(*nibble(digits[2 * index]) << 4 | *nibble(digits[2 * index + 1]));
}

// Payload each type other than data must carry.
std::optional<unsigned> payloadOf(RecordKind kind) {
    switch (kind) {
        case RecordKind::endOfFile:
            return 0;
        case RecordKind::extendedSegmentAddress:
        case RecordKind::extendedLinearAddress:
            return 2;
        case RecordKind::startSegmentAddress:
        case RecordKind::startLinearAddress:
            return 4;
        case RecordKind::data:
            break;
    }
    return std::nullopt;
}

}  // namespace

RecordProblem parse_record(std::string_view text, Record& record) {
    const std::string_view digits = text.substr(1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (!nibble(digits[i])) {
            return {RecordFault::notHexDigit, static_cast<int>(i) + 2, 0, 0,
                    static_cast<unsigned char>(digits[i])};
        }
    }
    if (digits.size() < 2) return {RecordFault::noByteCount, kCountColumn, 0, 0, 0};
    const unsigned count = byteAt(digits, 0);
    const std::size_t wanted = 1 + 2 * (kFramingBytes + count);
    if (text.size() != wanted) {
        return {RecordFault::countMismatch, kCountColumn, count, static_cast<unsigned>(wanted),
                static_cast<unsigned>(text.size())};
    }
    const std::size_t bytes = kFramingBytes + count;
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes; ++i) sum += byteAt(digits, i);
    const unsigned stored = byteAt(digits, bytes - 1);
    const unsigned computed = (0x100u - (sum & 0xFFu)) & 0xFFu;
    if (stored != computed) {
        return {RecordFault::checksum, static_cast<int>(text.size()) - 1, stored, computed, 0};
    }
    const unsigned kind = byteAt(digits, 3);
    if (kind > kHighestKind) return {RecordFault::unknownKind, kKindColumn, kind, 0, 0};
    record.kind = static_cast<RecordKind>(kind);
    if (const auto payload = payloadOf(record.kind); payload && *payload != count) {
        return {RecordFault::kindLength, kCountColumn, kind, *payload, count};
    }
    record.offset = static_cast<std::uint16_t>(byteAt(digits, 1) << 8 | byteAt(digits, 2));
    record.count = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i) record.data[i] = byteAt(digits, 4 + i);
    return {};
}

void describe(const RecordProblem& p, char* out, std::size_t size) {
    if (size == 0) return;
    switch (p.fault) {
        case RecordFault::none:
            out[0] = '\0';
            return;
        case RecordFault::noByteCount:
            std::snprintf(out, size, "the record ends before its byte count");
            return;
        case RecordFault::notHexDigit:
            if (p.found > ' ' && p.found < 0x7F) {
                std::snprintf(out, size, "'%c' is not a hex digit", static_cast<char>(p.found));
            } else {
                std::snprintf(out, size, "byte 0x%02X is not a hex digit", p.found);
            }
            return;
        case RecordFault::countMismatch:
            std::snprintf(out, size, "byte count 0x%02X makes a record of %u characters, this one has %u",
                          p.stored, p.expected, p.found);
            return;
        case RecordFault::checksum:
            std::snprintf(out, size, "checksum 0x%02X stored, 0x%02X computed from the record's bytes",
                          p.stored, p.expected);
            return;
        case RecordFault::unknownKind:
            std::snprintf(out, size, "record type 0x%02X is not one of 00 to 05", p.stored);
            return;
        case RecordFault::kindLength:
            std::snprintf(out, size, "a record of type 0x%02X carries %u data bytes, this one %u", p.stored,
                          p.expected, p.found);
            return;
    }
    out[0] = '\0';
}

}  // namespace orvex::hex
