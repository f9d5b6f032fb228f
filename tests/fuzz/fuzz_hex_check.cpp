// Any bytes as a firmware file: the check stays inside its buffers, leaves its
// texts terminated, points at a place that exists, and accepts only files whose
// records and code tests the streaming loop sends whole.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "hex_check.h"

namespace {

constexpr char kName[] = "fuzz.hex";

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// Over the lines, each with its line end: whether no piece the streaming loop
// cuts a long line into (63 bytes each) begins as a record or a code test
// would, and the size of line `wanted` (0: the file has no such line).
std::pair<bool, std::size_t> walk(std::string_view text, long long wanted) {
    bool piecesSafe = true;
    std::size_t wantedSize = 0;
    for (long long number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        const std::size_t size = end == std::string_view::npos ? text.size() : end + 1;
        for (std::size_t piece = 0; size > 63 && piece < size; piece += 63)
            piecesSafe = piecesSafe && text[piece] != ':' && text[piece] != 'T' && text[piece] != 't';
        if (number == wanted) wantedSize = size;
        text.remove_prefix(size);
    }
    return {piecesSafe, wantedSize};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const orvex::hex::CheckResult result = orvex::hex::check_text(kName, text.data(), text.size());
    require(strnlen(result.detail, sizeof result.detail) < sizeof result.detail);
    require(strnlen(result.summary, sizeof result.summary) < sizeof result.summary);
    const auto [piecesSafe, lineSize] = walk(text, result.line);
    switch (result.verdict) {
        case orvex::hex::Verdict::Accepted:
            require(result.line == 0 && result.column == 0 && result.detail[0] == '\0');
            require(!text.empty() && text.back() == '\n' && text.find('\0') == std::string_view::npos);
            require(piecesSafe && text.find(':') != std::string_view::npos);
            break;
        case orvex::hex::Verdict::Refused:
            require(result.summary[0] != '\0' && std::string_view(result.detail).starts_with(kName));
            if (result.line == 0) require(result.column == 0);
            if (result.line != 0)
                require(lineSize > 0 && result.column >= 1 && std::size_t(result.column) <= lineSize + 1);
            break;
        case orvex::hex::Verdict::CannotOpen:
            require(false);  // bytes in memory are always readable
    }
    return 0;
}
