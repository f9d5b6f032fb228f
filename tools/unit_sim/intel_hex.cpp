#include "intel_hex.h"

#include "hex_record.h"
#include "line_assembler.h"

#include <algorithm>
#include <cstdio>

namespace orvex::sim {
namespace {

constexpr std::size_t kProblemTextBytes = 128;
constexpr std::uint32_t kSegmentBytes = 0x10000;
constexpr std::string_view kEndOfFileRecord = ":00000001FF";
constexpr std::string_view kFileLineEnd = "\r\n";
constexpr char kHexDigits[] = "0123456789ABCDEF";

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

void appendHex(std::string& out, std::uint8_t value) {
    out.push_back(kHexDigits[value >> 4]);
    out.push_back(kHexDigits[value & 0x0F]);
}

}  // namespace

ParsedRecord parseRecord(std::string_view line) {
    if (line.empty() || line.front() != hex::kRecordMark) return {std::nullopt, "does not start with ':'"};
    hex::Record parsed;
    if (const hex::RecordProblem problem = hex::parse_record(line, parsed)) {
        char what[kProblemTextBytes];
        hex::describe(problem, what, sizeof what);
        return {std::nullopt, "column " + std::to_string(problem.column) + ": " + what};
    }
    // The unit's loader takes no segment start address (x86 CS:IP): files for it never carry one.
    if (parsed.kind == RecordType::startSegmentAddress) {
        return {std::nullopt, "unsupported record type " + hexByte(static_cast<unsigned>(parsed.kind))};
    }
    HexRecord record;
    record.type = parsed.kind;
    record.offset = parsed.offset;
    record.data.assign(parsed.data.begin(), parsed.data.begin() + parsed.count);
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
        case RecordType::startSegmentAddress:
            break;
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
