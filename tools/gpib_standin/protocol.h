// The wire protocol between the stand-in driver and the unit simulator, one
// Unix stream socket per board. All numbers little-endian.
//
// Request:  u8 op, u8 primary address, u8 flags, u8 0, u32 length, then
//   'W' write:           `length` data bytes; flags bit 0 = EOI with the last byte
//   'R' read:            `length` = most bytes wanted; then u32 time-out in ms (0 = no limit)
//   'I' interface clear: length 0
// Response: u8 status, u8 flags, u16 0, u32 length, then
//   'K' ok:          'W': length = bytes accepted, no payload
//                    'R': `length` data bytes (at most the maximum); flags bit 0 = END
//                    'I': length 0
//   'N' no listener at that address (no payload)
//   'T' time-out: a read got no data in time (no payload)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace standin::protocol {

inline constexpr std::uint8_t kOpWrite = 'W';
inline constexpr std::uint8_t kOpRead = 'R';
inline constexpr std::uint8_t kOpInterfaceClear = 'I';

inline constexpr std::uint8_t kStatusOk = 'K';
inline constexpr std::uint8_t kStatusNoListener = 'N';
inline constexpr std::uint8_t kStatusTimeout = 'T';

inline constexpr std::uint8_t kFlagEoi = 0x01;  // request: EOI with the last byte; response: END

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kReadTimeoutSize = 4;

using Header = std::array<std::byte, kHeaderSize>;

struct Request {
    std::uint8_t op = 0;
    std::uint8_t address = 0;
    std::uint8_t flags = 0;
    std::uint32_t length = 0;
};

struct Response {
    std::uint8_t status = 0;
    std::uint8_t flags = 0;
    std::uint32_t length = 0;
};

Header Encode(const Request& request);
Response DecodeResponse(const Header& header);
std::array<std::byte, kReadTimeoutSize> EncodeU32(std::uint32_t value);

}  // namespace standin::protocol
