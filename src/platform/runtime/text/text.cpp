// Formatting and number reading, independent of the user's locale. Nothing
// here needs the application object, so it also builds on its own (fuzzing).
#include <charconv>
#include <cstdio>
#include <cstring>

#include "runtime.h"

namespace runtime {

int StringLength(const char* text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

double ReadDecimal(const char* text) {
    if (text == nullptr) return 0.0;
    // Skip leading white space as atof does; from_chars accepts no '+'.
    const char* first = text;
    while (*first == ' ' || *first == '\t' || *first == '\n' || *first == '\r' || *first == '\f' ||
           *first == '\v')
        ++first;
    if (*first == '+') ++first;
    const char* last = first + std::strlen(first);
    double value = 0.0;
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) return 0.0;
    if (result.ec != std::errc()) {
        // from_chars refuses ".5"-less forms like "5." only in some versions and
        // refuses a bare "." prefix; atof reads ".10" as 0.1, so try once more
        // with a leading zero.
        if (*first == '.' || (*first == '-' && first[1] == '.')) {
            char widened[64] = {};
            const bool negative = *first == '-';
            const char* digits = negative ? first + 1 : first;
            std::snprintf(widened, sizeof widened, "%s0%s", negative ? "-" : "", digits);
            const auto again =
                std::from_chars(widened, widened + std::strlen(widened), value, std::chars_format::general);
            return again.ec == std::errc() ? value : 0.0;
        }
        return 0.0;
    }
    return value;
}

int FmtInto(char* target, std::size_t size, const char* format, std::span<const FmtArg> args) {
    if (target == nullptr || size == 0 || format == nullptr) return -1;
    target[0] = '\0';
    // Only the "write into a string" form is supported: "%s<" then the pattern.
    if (std::strncmp(format, "%s<", 3) != 0) return -1;
    const char* p = format + 3;
    std::size_t out = 0;
    std::size_t next_arg = 0;
    bool cut = false;
    auto put = [&](char c) {
        if (out + 1 < size) {
            target[out++] = c;
        } else {
            cut = true;
        }
    };
    while (*p != '\0') {
        if (*p != '%') {
            put(*p++);
            continue;
        }
        const char conversion = p[1];
        if (conversion == '%') {
            put('%');
            p += 2;
            continue;
        }
        if ((conversion != 's' && conversion != 'd') || next_arg >= args.size()) {
            target[out] = '\0';
            return -1;
        }
        const FmtArg& arg = args[next_arg++];
        if (conversion == 's') {
            if (arg.kind != FmtArg::Kind::Text) {
                target[out] = '\0';
                return -1;
            }
            for (const char* t = arg.text != nullptr ? arg.text : ""; *t != '\0'; ++t) put(*t);
        } else {
            if (arg.kind != FmtArg::Kind::Int) {
                target[out] = '\0';
                return -1;
            }
            char digits[16] = {};
            const auto r = std::to_chars(digits, digits + sizeof digits - 1, arg.number);
            for (const char* t = digits; t < r.ptr; ++t) put(*t);
        }
        p += 2;
    }
    target[out] = '\0';
    return cut ? -1 : static_cast<int>(out);
}

}  // namespace runtime
