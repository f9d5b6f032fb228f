#include "intel_hex.h"

#include "line_assembler.h"

#include <algorithm>
#include <cstdio>

namespace orvex::sim {
namespace {

constexpr std::size_t kHeaderBytes = 4;  // count, offset (2), type
constexpr std::size_t kChecksumBytes = 1;
constexpr std::uint32_t kSegmentBytes = 0x10000;
constexpr std::string_view kEndOfFileRecord = ":00000001FF";
constexpr std::string_view kFileLineEnd = "\r\n";
constexpr char kHexDigits[] = "0123456789ABCDEF";

std::optional<std::uint8_t> hexNibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return std::nullopt;
}

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

std::string hexAddress(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Payload size that each non-data type must carry.
std::optional<std::size_t> requiredLength(RecordType type) {
    switch (type) {
        case RecordType::endOfFile:
            return 0;
        case RecordType::extendedSegmentAddress:
        case RecordType::extendedLinearAddress:
            return 2;
        case RecordType::startLinearAddress:
            return 4;
        case RecordType::data:
            return std::nullopt;
    }
    return std::nullopt;
}

bool knownType(std::uint8_t value) {
    return value == 0x00 || value == 0x01 || value == 0x02 || value == 0x04 || value == 0x05;
}

void appendHex(std::string& out, std::uint8_t value) {
    out.push_back(kHexDigits[value >> 4]);
    out.push_back(kHexDigits[value & 0x0F]);
}

}  // namespace

ParsedRecord parseRecord(std::string_view line) {
    if (line.empty() || line.front() != ':') return {std::nullopt, "does not start with ':'"};
    const std::string_view digits = line.substr(1);
    if (digits.size() % 2 != 0)
        return {std::nullopt, "odd number of hex digits (" + std::to_string(digits.size()) + ")"};
    const std::size_t byteCount = digits.size() / 2;
    if (byteCount < kHeaderBytes + kChecksumBytes) {
        return {std::nullopt, "too short: " + std::to_string(digits.size()) + " hex digits"};
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(byteCount);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const auto high = hexNibble(digits[i]);
        const auto low = hexNibble(digits[i + 1]);
        if (!high || !low) {
            return {std::nullopt, "not hexadecimal at column " + std::to_string(i + (high ? 3 : 2))};
        }
        bytes.push_back(static_cast<std::uint8_t>(*high << 4 | *low));
    }
    const std::size_t declared = bytes[0];
    const std::size_t carried = byteCount - kHeaderBytes - kChecksumBytes;
    if (declared != carried) {
        return {std::nullopt, "length: byte count says " + std::to_string(declared) +
                                  " data bytes, line carries " + std::to_string(carried)};
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const unsigned computed = (0x100u - (sum & 0xFFu)) & 0xFFu;
    if (computed != bytes.back()) {
        return {std::nullopt,
                "checksum: stored " + hexByte(bytes.back()) + ", computed " + hexByte(computed)};
    }
    if (!knownType(bytes[3])) return {std::nullopt, "unsupported record type " + hexByte(bytes[3])};
    HexRecord record;
    record.type = static_cast<RecordType>(bytes[3]);
    record.offset = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    record.data.assign(bytes.begin() + kHeaderBytes, bytes.end() - kChecksumBytes);
    if (const auto required = requiredLength(record.type); required && *required != record.data.size()) {
        return {std::nullopt, "record type " + hexByte(bytes[3]) + " must carry " +
                                  std::to_string(*required) + " bytes, carries " +
                                  std::to_string(record.data.size())};
    }
    return {std::move(record), {}};
}

std::optional<std::string> HexLoader::load(const HexRecord& record) {
    if (endSeen_) return "after the end-of-file record";
    switch (record.type) {
        case RecordType::data:
            for (std::size_t i = 0; i < record.data.size(); ++i) {
                // Segment addressing wraps within its 64 KiB segment; linear addressing does not.
                const std::uint32_t address = segmented_
                                                  ? base_ + ((record.offset + i) & (kSegmentBytes - 1))
                                                  : static_cast<std::uint32_t>(base_ + record.offset + i);
                const auto written = flash_.program(address, record.data[i]);
                if (written == FlashImage::Write::full) return "flash full at " + hexAddress(address);
                if (written == FlashImage::Write::reprogrammed) ++reprogrammed_;
            }
            return std::nullopt;
        case RecordType::endOfFile:
            endSeen_ = true;
            return std::nullopt;
        case RecordType::extendedSegmentAddress:
            base_ = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]) << 4;
            segmented_ = true;
            return std::nullopt;
        case RecordType::extendedLinearAddress:
            base_ = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]) << 16;
            segmented_ = false;
            return std::nullopt;
        case RecordType::startLinearAddress:
            return std::nullopt;  // where execution starts; no flash content
    }
    return "unsupported record type";
}

void HexLoader::restart() {
    base_ = 0;
    segmented_ = false;
    endSeen_ = false;
    reprogrammed_ = 0;
}

DecodedHex decodeHexText(std::string_view text) {
    DecodedHex decoded;
    HexLoader loader(decoded.image);
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view raw = end == std::string_view::npos ? text : text.substr(0, end + 1);
        text.remove_prefix(raw.size());
        const std::string_view line = withoutLineEnd(raw);
        if (line.empty() || line.front() != ':') continue;
        const ParsedRecord parsed = parseRecord(line);
        std::optional<std::string> error;
        if (!parsed.record) {
            error = parsed.error;
        } else {
            error = loader.load(*parsed.record);
        }
        if (error) {
            decoded.error = "line " + std::to_string(lineNumber) + ": " + *error;
            break;
        }
        ++decoded.records;
    }
    decoded.endSeen = loader.endSeen();
    return decoded;
}

std::string formatRecord(RecordType type, std::uint16_t offset, std::span<const std::uint8_t> data) {
    std::string line(1, ':');
    const auto count = static_cast<std::uint8_t>(data.size());
    const auto high = static_cast<std::uint8_t>(offset >> 8);
    const auto low = static_cast<std::uint8_t>(offset & 0xFF);
    const auto kind = static_cast<std::uint8_t>(type);
    unsigned sum = count + high + low + kind;
    appendHex(line, count);
    appendHex(line, high);
    appendHex(line, low);
    appendHex(line, kind);
    for (const std::uint8_t byte : data) {
        appendHex(line, byte);
        sum += byte;
    }
    appendHex(line, static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu));
    return line;
}

std::string encodeHex(const FlashImage& image, std::size_t dataBytesPerRecord) {
    std::string out;
    std::uint32_t upper = 0;  // upper 16 address bits in force; a file starts at 0
    for (const auto& run : image.runs()) {
        std::size_t done = 0;
        while (done < run.bytes.size()) {
            const std::uint32_t address = static_cast<std::uint32_t>(run.address + done);
            if (upper != (address >> 16)) {
                upper = address >> 16;
                const std::uint8_t base[2] = {static_cast<std::uint8_t>(upper >> 8),
                                              static_cast<std::uint8_t>(upper)};
                out += formatRecord(RecordType::extendedLinearAddress, 0, base);
                out += kFileLineEnd;
            }
            // A record never crosses a 64 KiB boundary: its offset is 16 bits wide.
            const std::size_t toBoundary = kSegmentBytes - (address & (kSegmentBytes - 1));
            const std::size_t take = std::min({dataBytesPerRecord, run.bytes.size() - done, toBoundary});
            out += formatRecord(RecordType::data, static_cast<std::uint16_t>(address & 0xFFFF),
                                std::span(run.bytes).subspan(done, take));
            out += kFileLineEnd;
            done += take;
        }
    }
    out += kEndOfFileRecord;
    out += kFileLineEnd;
    return out;
}

}  // namespace orvex::sim
