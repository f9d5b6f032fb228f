// The unit's flash: a sparse 32-bit address space of programmed bytes. An
// erased cell reads as "not programmed", so an image compares exactly with the
// data of a HEX file, gaps included.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvex::sim {

class FlashImage {
public:
    static constexpr std::size_t kPageBytes = 256;
    // Far above any firmware of the family; keeps a runaway upload bounded.
    static constexpr std::size_t kMaxProgrammedBytes = 64u * 1024u * 1024u;

    enum class Write { programmed, reprogrammed, full };

    Write program(std::uint32_t address, std::uint8_t value);
    std::optional<std::uint8_t> read(std::uint32_t address) const;
    void erase();
    std::size_t programmedBytes() const { return programmed_; }

    // Contiguous programmed runs in address order.
    struct Run {
        std::uint32_t address = 0;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Run> runs() const;

    // The lowest address at which the two images differ, with a description.
    struct Difference {
        std::uint32_t address = 0;
        std::string description;
    };
    std::optional<Difference> firstDifference(const FlashImage& other) const;

private:
    struct Page {
        std::array<std::uint8_t, kPageBytes> bytes{};
        std::bitset<kPageBytes> programmed;
    };
    std::map<std::uint32_t, Page> pages_;  // key: page number
    std::size_t programmed_ = 0;
};

}  // namespace orvex::sim
