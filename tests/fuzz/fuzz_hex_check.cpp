// Any bytes as a firmware file: the check stays inside its buffers, leaves its
// texts terminated, points at a place that exists, and accepts only files whose
// records and code tests the streaming loop sends whole.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "hex_check.h"

namespace {

constexpr std::size_t kPieceBytes = 63;
constexpr char kName[] = "fuzz.hex";

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// The line's bytes with its line end, or an empty view when the file has no such line.
std::string_view lineAt(std::string_view text, long long wanted) {
    for (long long number = 1; !text.empty(); ++number) {
        const std::size_t end = text.find('\n');
        const std::string_view line = end == std::string_view::npos ? text : text.substr(0, end + 1);
        if (number == wanted) return line;
        text.remove_prefix(line.size());
    }
    return {};
}

bool takenForLine(char c) { return c == ':' || c == 'T' || c == 't'; }

// Every piece the streaming loop cuts a line into (63 bytes each) that the
// unit would take for a record or a code test is a whole line.
bool everyRecordPieceIsWhole(std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
        if (length > kPieceBytes) {
            for (std::size_t piece = 0; piece < length; piece += kPieceBytes)
                if (takenForLine(text[piece])) return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const orvex::hex::CheckResult result = orvex::hex::check_text(kName, text.data(), text.size());
    require(strnlen(result.detail, sizeof result.detail) < sizeof result.detail);
    require(strnlen(result.summary, sizeof result.summary) < sizeof result.summary);
    switch (result.verdict) {
        case orvex::hex::Verdict::Accepted:
            require(result.line == 0 && result.column == 0 && result.detail[0] == '\0');
            require(!text.empty() && text.back() == '\n');
            require(text.find('\0') == std::string_view::npos);
            require(everyRecordPieceIsWhole(text));
            require(text.find(":") != std::string_view::npos);
            break;
        case orvex::hex::Verdict::Refused: {
            require(result.summary[0] != '\0');
            require(std::string_view(result.detail).starts_with(kName));
            if (result.line == 0) {
                require(result.column == 0);
                break;
            }
            const std::string_view line = lineAt(text, result.line);
            require(!line.empty());
            require(result.column >= 1 && static_cast<std::size_t>(result.column) <= line.size() + 1);
            break;
        }
        case orvex::hex::Verdict::CannotOpen:
            require(false);  // bytes in memory are always readable
    }
    return 0;
}
