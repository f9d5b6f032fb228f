// The messages between the stand-in GPIB driver and the emulated unit on a
// Unix stream socket, one socket per board, and where that socket is. The
// driver (tools/gpib_standin) and the simulator (tools/unit_sim) both include
// this header, so the two sides cannot drift. All numbers little-endian.
//
// Request: u8 op, u8 primary address, u8 flags, u8 0, u32 length, payload.
//   'W' write:  payload = `length` data bytes; flags bit 0 = EOI with the last byte.
//   'R' read:   `length` = most bytes wanted; payload = u32 time-out in ms (0: no limit).
//   'I' interface clear: length 0.
// Response: u8 status, u8 flags, u16 0, u32 length, payload.
//   'K' done: for 'W' length = bytes accepted, no payload; for 'R' payload =
//       data, flags bit 0 = END (the last byte carried EOI); for 'I' length 0.
//   'N' no listener at that primary address (length 0).
//   'T' the read found nothing within its time-out (length 0).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace gpib_wire {

inline constexpr std::size_t kHeaderBytes = 8;
inline constexpr std::size_t kReadTimeoutBytes = 4;
inline constexpr std::uint8_t kFlagEoi = 0x01;  // request: EOI sent; response: END received
// One write carries at most a piece of a HEX file or a command; anything far
// larger is a broken peer.
inline constexpr std::uint32_t kMaxWriteBytes = 1u << 20;
inline constexpr std::string_view kBoardPlaceholder = "%d";

enum class Op : std::uint8_t { write = 'W', read = 'R', interfaceClear = 'I' };
enum class Status : std::uint8_t { ok = 'K', noListener = 'N', timeout = 'T' };

using Header = std::array<std::uint8_t, kHeaderBytes>;

inline void putU32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t getU32(const std::uint8_t* in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

struct Request {
    Op op = Op::write;
    std::uint8_t address = 0;
    std::uint8_t flags = 0;
    std::uint32_t length = 0;
};

struct Response {
    Status status = Status::ok;
    std::uint8_t flags = 0;
    std::uint32_t length = 0;
};

inline Header encode(const Request& request) {
    Header header{static_cast<std::uint8_t>(request.op), request.address, request.flags, 0};
    putU32(header.data() + 4, request.length);
    return header;
}

inline Header encode(const Response& response) {
    Header header{static_cast<std::uint8_t>(response.status), response.flags, 0, 0};
    putU32(header.data() + 4, response.length);
    return header;
}

inline Request decodeRequest(const std::uint8_t* header) {
    return {static_cast<Op>(header[0]), header[1], header[2], getU32(header + 4)};
}

inline Response decodeResponse(const std::uint8_t* header) {
    return {static_cast<Status>(header[0]), header[1], getU32(header + 4)};
}

// The socket path of a board: the pattern (the driver's setting
// ORVEX_GPIB_SIM, or the simulator's --gpib) with every "%d" replaced by the
// board number, so "/run/gpib%d/board%d.sock" names one directory per board
// too. A pattern without "%d" names one socket for every board. Replacement
// text is never scanned again.
inline std::string socketPathFor(std::string_view pattern, int board) {
    const std::string number = std::to_string(board);
    std::string path;
    for (std::size_t from = 0;;) {
        const std::size_t at = pattern.find(kBoardPlaceholder, from);
        path.append(pattern.substr(from, at - from));
        if (at == std::string_view::npos) return path;
        path.append(number);
        from = at + kBoardPlaceholder.size();
    }
}

}  // namespace gpib_wire
