// Intel HEX records: checking one line, following an image's address records,
// decoding a whole file and writing an image back as HEX text.
#pragma once

#include "flash_image.h"
#include "hex_record.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::sim {

// The unit takes every type but 03 (a segment start address).
using RecordType = hex::RecordKind;

struct HexRecord {
    RecordType type = RecordType::data;
    std::uint16_t offset = 0;
    std::vector<std::uint8_t> data;  // at most 255 bytes, as the byte count allows
};

// A record, or why the line is none.
struct ParsedRecord {
    std::optional<HexRecord> record;
    std::string error;
};

// `line` is one record without its line end.
ParsedRecord parseRecord(std::string_view line);

// Programs the data records of one image into a flash, following its
// extended address records, and refuses anything after the end-of-file record.
class HexLoader {
public:
    explicit HexLoader(FlashImage& flash) : flash_(flash) {}

    // Empty when the record was taken, else why not.
    std::optional<std::string> load(const HexRecord& record);
    // Starts a new image: addresses from 0 again, no end-of-file seen.
    void restart();

    bool endSeen() const { return endSeen_; }
    std::size_t reprogrammedBytes() const { return reprogrammed_; }

private:
    FlashImage& flash_;
    std::uint32_t base_ = 0;
    bool segmented_ = false;
    bool endSeen_ = false;
    std::size_t reprogrammed_ = 0;
};

struct DecodedHex {
    FlashImage image;
    std::size_t records = 0;
    bool endSeen = false;
    std::string error;  // "line N: why"; empty when the whole text decoded
};

// Lines that are not records (code tests, blank lines) carry no flash data and
// are passed over.
DecodedHex decodeHexText(std::string_view text);

inline constexpr std::size_t kDefaultRecordDataBytes = 16;

// One record as text, without line end.
std::string formatRecord(RecordType type, std::uint16_t offset, std::span<const std::uint8_t> data);

// The image as a HEX file with "\r\n" line ends and a closing end-of-file record.
std::string encodeHex(const FlashImage& image, std::size_t dataBytesPerRecord = kDefaultRecordDataBytes);

}  // namespace orvex::sim
