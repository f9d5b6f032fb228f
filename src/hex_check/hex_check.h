// The firmware file's check before a run: the whole file is read and refused
// when the unit could not take it as it will be streamed, so that no unit is
// erased for a file that would leave it half programmed. Plain C++, no Qt.
#pragma once

#include <cstddef>
#include <vector>

namespace orvex::hex {

enum class Verdict { Accepted, CannotOpen, Refused };

struct CheckResult {
    Verdict verdict = Verdict::Accepted;
    int line = 0;                // 1-based; 0 when the refusal concerns the whole file
    int column = 0;              // 1-based; 0 when none
    char detail[256] = {};       // e.g. "firmware.hex line 17, column 42: checksum 0x3C stored, ..."
    char summary[64] = {};       // short, for the Messages field, e.g. "HEX File Refused: line 17"
    bool wholeFileRead = false;  // load_file: the bytes are the whole file, as it was read
};

// Files larger than this are no firmware of this family; they are refused
// before more of them is read.
inline constexpr std::size_t kMaxFileBytes = std::size_t{16} * 1024 * 1024;

// Reads the whole file into `bytes`, once, and checks those bytes: what a run
// streams is then exactly what was checked. `bytes` is left empty when the
// file cannot be opened, read to its end, or is larger than kMaxFileBytes.
CheckResult load_file(const char* path, std::vector<char>& bytes);
// The same rule on bytes already in memory; `name` stands for the file in the detail.
CheckResult check_text(const char* name, const char* data, std::size_t size);

}  // namespace orvex::hex
