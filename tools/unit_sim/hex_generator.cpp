#include "hex_generator.h"

#include "intel_hex.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace orvex::sim {
namespace {

constexpr std::uint32_t kSegmentBytes = 0x10000;
constexpr std::string_view kTestLinePrefix = "TEST ";

// xorshift32: small, fast and the same on every platform.
class ByteSource {
public:
    // Small seeds are spread first; xorshift alone starts them with near-zero bytes.
    explicit ByteSource(std::uint32_t seed) : state_((seed * 0x9E3779B9u) ^ 0xA5A5A5A5u) {
        if (state_ == 0) state_ = 1;
    }
    std::uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<std::uint8_t>(state_ >> 24);
    }

private:
    std::uint32_t state_;
};

}  // namespace

std::string generateHex(const HexShape& shape) {
    const std::string lineEnd = shape.crlf ? "\r\n" : "\n";
    ByteSource bytes(shape.seed);
    std::string out;
    std::uint32_t address = shape.base;
    std::uint32_t upper = 0;  // upper 16 address bits in force; a file starts at 0
    int testsWritten = 0;
    for (int record = 0; record < shape.records; ++record) {
        if (upper != (address >> 16)) {
            upper = address >> 16;
            const std::uint8_t base[2] = {static_cast<std::uint8_t>(upper >> 8),
                                          static_cast<std::uint8_t>(upper)};
            out += formatRecord(RecordType::extendedLinearAddress, 0, base) + lineEnd;
        }
        // A record never crosses a 64 KiB boundary: its offset is 16 bits wide.
        const std::uint32_t toBoundary = kSegmentBytes - (address & (kSegmentBytes - 1));
        const auto count = std::min<std::uint32_t>(static_cast<std::uint32_t>(shape.dataBytes), toBoundary);
        std::vector<std::uint8_t> data(count);
        std::generate(data.begin(), data.end(), [&] { return bytes.next(); });
        out += formatRecord(RecordType::data, static_cast<std::uint16_t>(address & 0xFFFF), data) + lineEnd;
        address += count;
        // Spread the code tests evenly between the records.
        while (testsWritten < shape.testLines &&
               static_cast<long long>(record + 1) * (shape.testLines + 1) >=
                   static_cast<long long>(testsWritten + 1) * shape.records) {
            ++testsWritten;
            out += std::string(kTestLinePrefix) + std::to_string(testsWritten) + lineEnd;
        }
    }
    out += formatRecord(RecordType::endOfFile, 0, {}) + lineEnd;
    return out;
}

}  // namespace orvex::sim
