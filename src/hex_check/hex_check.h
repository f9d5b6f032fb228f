// The firmware file's check before a run: the whole file is read and refused
// when the unit could not take it as it will be streamed, so that no unit is
// erased for a file that would leave it half programmed. Plain C++, no Qt.
#pragma once

#include <cstddef>

namespace orvex::hex {

enum class Verdict { Accepted, CannotOpen, Refused };

struct CheckResult {
    Verdict verdict = Verdict::Accepted;
    int line = 0;           // 1-based; 0 when the refusal concerns the whole file
    int column = 0;         // 1-based; 0 when none
    char detail[256] = {};  // e.g. "firmware.hex line 17, column 42: checksum 0x3C stored, ..."
    char summary[64] = {};  // short, for the Messages field, e.g. "HEX File Refused: line 17"
};

// Reads the file whole, in bounded memory.
CheckResult check_file(const char* path);
// The same rule on bytes already in memory; `name` stands for the file in the detail.
CheckResult check_text(const char* name, const char* data, std::size_t size);

}  // namespace orvex::hex
