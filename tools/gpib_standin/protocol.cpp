#include "protocol.h"

namespace standin::protocol {
namespace {

void PutU32(std::byte* target, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) target[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(const std::byte* source) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::to_integer<std::uint32_t>(source[i]) << (8 * i);
    return value;
}

}  // namespace

Header Encode(const Request& request) {
    Header header{};
    header[0] = static_cast<std::byte>(request.op);
    header[1] = static_cast<std::byte>(request.address);
    header[2] = static_cast<std::byte>(request.flags);
    header[3] = std::byte{0};
    PutU32(header.data() + 4, request.length);
    return header;
}

Response DecodeResponse(const Header& header) {
    Response response;
    response.status = std::to_integer<std::uint8_t>(header[0]);
    response.flags = std::to_integer<std::uint8_t>(header[1]);
    response.length = GetU32(header.data() + 4);
    return response;
}

std::array<std::byte, kReadTimeoutSize> EncodeU32(std::uint32_t value) {
    std::array<std::byte, kReadTimeoutSize> bytes{};
    PutU32(bytes.data(), value);
    return bytes;
}

}  // namespace standin::protocol
