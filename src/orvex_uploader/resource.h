// The unit a batch run updates, written as an instrument address:
//   ASRL1::INSTR                          COM1
//   ASRL/dev/ttyUSB0::INSTR               a serial device by its path
//   GPIB0::6::INSTR                       GPIB board 0, primary address 6
//   TCPIP0::192.168.1.10::5025::SOCKET    LAN (TCPIP::192.168.1.10::SOCKET too)
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvex {

// The forms a resource may take, for a usage error.
inline constexpr const char* kResourceForms =
    "ASRL<n>::INSTR (COM1..COM9), ASRL<device path>::INSTR, GPIB<board>::<address>::INSTR "
    "(board 0..7, address 1..30), TCPIP[<n>]::<IPv4 address>[::5025]::SOCKET";

// The unit's port on LAN; the only one it listens on.
inline constexpr int kUnitLanPort = 5025;

struct Resource {
    enum class Kind { Serial, Gpib, Lan };
    Kind kind = Kind::Serial;
    int com_port = 0;         // Serial: 1..9, 0 when given by device path
    std::string device_path;  // Serial by path
    int board = 0;            // Gpib
    int address = 0;          // Gpib
    std::string host;         // Lan: dotted decimal IPv4 address as written
};

// Whether `a` and `b` are the same text, the case of ASCII letters aside: as
// people write keywords and serial numbers.
bool same_ignoring_case(std::string_view a, std::string_view b);

// The resource `text` names, or nothing when it has none of the accepted forms.
std::optional<Resource> parse_resource(std::string_view text);

// Whether `a` and `b` name the same port, board and address, or IP address,
// however each was written ("TCPIP::192.168.001.010::SOCKET" is
// "TCPIP0::192.168.1.10::5025::SOCKET").
bool same_resource(const Resource& a, const Resource& b);

}  // namespace orvex
