#include "flash_image.h"

#include <cstdio>

namespace orvex::sim {
namespace {

std::string describeCell(std::optional<std::uint8_t> cell) {
    if (!cell) return "nothing";
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(*cell));
    return text;
}

std::uint32_t pageAddress(std::uint32_t page, std::size_t offset) {
    return static_cast<std::uint32_t>(page * FlashImage::kPageBytes + offset);
}

}  // namespace

FlashImage::Write FlashImage::program(std::uint32_t address, std::uint8_t value) {
    const std::uint32_t pageNumber = address / kPageBytes;
    const std::size_t offset = address % kPageBytes;
    auto found = pages_.find(pageNumber);
    if (found == pages_.end()) {
        if (programmed_ >= kMaxProgrammedBytes) return Write::full;
        found = pages_.emplace(pageNumber, Page{}).first;
    }
    Page& page = found->second;
    page.bytes[offset] = value;
    if (page.programmed.test(offset)) return Write::reprogrammed;
    page.programmed.set(offset);
    ++programmed_;
    return Write::programmed;
}

std::optional<std::uint8_t> FlashImage::read(std::uint32_t address) const {
    const auto found = pages_.find(address / kPageBytes);
    if (found == pages_.end()) return std::nullopt;
    const std::size_t offset = address % kPageBytes;
    if (!found->second.programmed.test(offset)) return std::nullopt;
    return found->second.bytes[offset];
}

void FlashImage::erase() {
    pages_.clear();
    programmed_ = 0;
}

std::vector<FlashImage::Run> FlashImage::runs() const {
    std::vector<Run> result;
    for (const auto& [number, page] : pages_) {
        for (std::size_t offset = 0; offset < kPageBytes; ++offset) {
            if (!page.programmed.test(offset)) continue;
            const std::uint32_t address = pageAddress(number, offset);
            const bool continues =
                !result.empty() && result.back().address + result.back().bytes.size() == address;
            if (!continues) result.push_back(Run{address, {}});
            result.back().bytes.push_back(page.bytes[offset]);
        }
    }
    return result;
}

std::optional<FlashImage::Difference> FlashImage::firstDifference(const FlashImage& other) const {
    // Walk the union of both page sets in address order.
    auto mine = pages_.begin();
    auto theirs = other.pages_.begin();
    const Page empty{};
    while (mine != pages_.end() || theirs != other.pages_.end()) {
        std::uint32_t number = 0;
        const Page* left = &empty;
        const Page* right = &empty;
        if (theirs == other.pages_.end() || (mine != pages_.end() && mine->first < theirs->first)) {
            number = mine->first;
            left = &(mine++)->second;
        } else if (mine == pages_.end() || theirs->first < mine->first) {
            number = theirs->first;
            right = &(theirs++)->second;
        } else {
            number = mine->first;
            left = &(mine++)->second;
            right = &(theirs++)->second;
        }
        for (std::size_t offset = 0; offset < kPageBytes; ++offset) {
            const auto a = left->programmed.test(offset) ? std::optional<std::uint8_t>(left->bytes[offset])
                                                         : std::nullopt;
            const auto b = right->programmed.test(offset) ? std::optional<std::uint8_t>(right->bytes[offset])
                                                          : std::nullopt;
            if (a != b) {
                return Difference{pageAddress(number, offset),
                                  "holds " + describeCell(a) + " where the other holds " + describeCell(b)};
            }
        }
    }
    return std::nullopt;
}

}  // namespace orvex::sim
