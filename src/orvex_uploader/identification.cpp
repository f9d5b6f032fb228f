// The unit answers "*IDN?" with six fields: maker, model family, model, date,
// serial number and firmware revision. This file splits that reply and decides
// whether the unit may take new firmware.
#include "identification.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "run_state.h"
#include "runtime.h"

namespace orvex {
namespace {

// Model designations may carry one of these suffixes after a blank; joining
// them with '-' keeps "12-34 ROD" one field instead of shifting every later one.
constexpr const char* kModelSuffixes[] = {" LAN", " ROD"};

constexpr int kFieldCount = 6;
char* const kFields[kFieldCount] = {identity.Make,    identity.Unit,     identity.Model,
                                    identity.CalDate, identity.SerialNo, identity.Rev};

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\r' || c == '\n'; }

// First occurrence of `needle` within the first `length` bytes of `text`.
char* find_within(char* text, std::size_t length, const char* needle) {
    const std::size_t n = std::strlen(needle);
    for (std::size_t at = 0; at + n <= length; ++at) {
        if (std::memcmp(text + at, needle, n) == 0) return text + at;
    }
    return nullptr;
}

}  // namespace

double revision_number(const char* revision) {
    // The first character of a revision ("V8.10") is a letter, never a digit of it.
    if (revision == nullptr || revision[0] == '\0') return 0.0;
    const double value = runtime::ReadDecimal(revision + 1);
    return std::isfinite(value) ? value : 0.0;
}

void extract_info(char* reply, std::size_t capacity) {
    for (char* field : kFields) std::memset(field, 0, kFieldSize);
    run.ok_to_use = 0;
    if (reply == nullptr) return;

    // A reply without a terminator is still read no further than its buffer.
    const std::size_t length = strnlen(reply, capacity);
    for (const char* suffix : kModelSuffixes) {
        if (char* at = find_within(reply, length, suffix)) *at = '-';
    }

    int k = 0;          // the field being filled
    std::size_t m = 0;  // the position within it
    for (std::size_t j = 0; j < length; ++j) {
        const char c = reply[j];
        if (is_separator(c)) {
            ++k;
            m = 0;
            continue;
        }
        // Fields past the sixth are dropped, and so is whatever of a field
        // exceeds 39 characters: each field keeps its terminating zero.
        if (k < kFieldCount && m < kFieldSize - 1) {
            kFields[k][m] = c;
        }
        ++m;
    }

    const double rev = revision_number(identity.Rev);
    for (std::size_t entry = 0; entry < kValidEntries; ++entry) {
        // A family code equal to the entry is one this program must not update.
        if (std::strcmp(valid_models[entry], identity.Unit) == 0) continue;
        run.ok_to_use = 1;
        if (runtime::ReadDecimal(valid_revisions[entry]) > rev) run.ok_to_use = 0;
        break;
    }
}

}  // namespace orvex
