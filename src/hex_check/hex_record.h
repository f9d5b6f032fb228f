// One Intel HEX record read from its text: the syntax every reader of a
// firmware file shares (hex digits, byte count, checksum, record type and the
// payload size each type carries). No allocation, no Qt: the uploader checks
// whole files with it before touching a unit, the simulator takes records
// off the wire with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvex::hex {

inline constexpr std::size_t kMaxRecordDataBytes = 255;  // the byte count is one byte
inline constexpr char kRecordMark = ':';

enum class RecordKind : std::uint8_t {
    data = 0x00,
    endOfFile = 0x01,
    extendedSegmentAddress = 0x02,
    startSegmentAddress = 0x03,
    extendedLinearAddress = 0x04,
    startLinearAddress = 0x05,
};

struct Record {
    RecordKind kind = RecordKind::data;
    std::uint16_t offset = 0;
    std::uint8_t count = 0;  // data bytes in use
    std::array<std::uint8_t, kMaxRecordDataBytes> data{};
};

enum class RecordFault {
    none,
    noByteCount,    // the text ends inside the byte count
    notHexDigit,    // `found` holds the byte
    countMismatch,  // `stored` the byte count, `expected` the characters it asks for, `found` those present
    checksum,       // `stored` the checksum in the text, `expected` the one its bytes call for
    unknownKind,    // `stored` the record type
    kindLength,     // `stored` the type, `expected` its payload size, `found` the byte count
};

struct RecordProblem {
    RecordFault fault = RecordFault::none;
    int column = 0;  // 1-based in the line, the ':' being column 1
    unsigned stored = 0;
    unsigned expected = 0;
    unsigned found = 0;

    explicit operator bool() const { return fault != RecordFault::none; }
};

// `text` is one line without its line end and begins with ':'. Fills
// `record` when the text is a well-formed record of types 00 to 05.
RecordProblem parse_record(std::string_view text, Record& record);

// What is wrong, in a few words for the operator, always terminated:
// e.g. "checksum 0x41 stored, 0x40 computed from the record's bytes".
void describe(const RecordProblem& problem, char* out, std::size_t size);

}  // namespace orvex::hex
