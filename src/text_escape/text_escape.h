// Byte texts on the command line and in the record file: "\r", "\n", "\t",
// "\\" and "\xNN" stand for the bytes a shell argument cannot carry easily.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvex::text {

// Decodes the escapes; nullopt when an escape is malformed.
std::optional<std::string> unescapeBytes(std::string_view text);

// The reverse, for showing received bytes: control and non-ASCII bytes become
// escapes, so a record file stays valid UTF-8 whatever the uploader sent.
std::string printableBytes(std::string_view bytes);

}  // namespace orvex::text
