// How the address text of a connection is read.
#pragma once

#include <cstdint>
#include <string_view>

namespace runtime::detail {

enum class AddressForm {
    Dotted,     // four decimal groups 0..255: `ipv4` holds the address
    Malformed,  // empty, or only digits and dots but not four such groups
    HostName,   // anything else: left to the resolver
};

struct ServerAddress {
    AddressForm form;
    std::uint32_t ipv4;     // host byte order, 192.168.1.10 is 0xC0A8010A
    std::string_view name;  // the text without surrounding blanks
};

// Groups are decimal with up to three digits, so "192.168.001.010" is
// 192.168.1.10 (the C library and Qt would read a leading 0 as octal).
ServerAddress ReadServerAddress(std::string_view text);

}  // namespace runtime::detail
