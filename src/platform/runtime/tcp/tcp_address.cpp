// Reading the unit's network address as the operator types it.
#include "tcp_address.h"

namespace runtime::detail {
namespace {

constexpr int kGroups = 4;
constexpr int kMaxGroupDigits = 3;
constexpr int kMaxGroupValue = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

ServerAddress ReadServerAddress(std::string_view text) {
    const std::string_view name = Trimmed(text);
    if (name.empty()) return {AddressForm::Malformed, 0, name};
    for (const char c : name) {
        if (!IsDigit(c) && c != '.') return {AddressForm::HostName, 0, name};
    }

    // Only digits and dots: it is meant as an address, so it never goes to a
    // resolver, which might take "1.2.3" for 1.2.0.3 or ask a name server.
    std::uint32_t address = 0;
    int groups = 0;
    int digits = 0;
    int value = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (digits == 0 || ++groups > kGroups) return {AddressForm::Malformed, 0, name};
            address = (address << 8) | std::uint32_t(value);
            digits = 0;
            value = 0;
            continue;
        }
        if (++digits > kMaxGroupDigits) return {AddressForm::Malformed, 0, name};
        value = value * 10 + (name[i] - '0');
        if (value > kMaxGroupValue) return {AddressForm::Malformed, 0, name};
    }
    if (groups != kGroups) return {AddressForm::Malformed, 0, name};
    return {AddressForm::Dotted, address, name};
}

}  // namespace runtime::detail
