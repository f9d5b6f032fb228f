// Deterministic firmware images in Intel HEX, for the demo, tests and
// benchmarks: the same options always give the same file.
#pragma once

#include <cstdint>
#include <string>

namespace orvex::sim {

struct HexShape {
    int records = 256;       // data records
    int dataBytes = 16;      // data bytes per record, 1 to 255
    std::uint32_t base = 0;  // address of the first byte
    bool crlf = true;        // line end "\r\n", else "\n"
    int testLines = 0;       // code test lines spread over the file
    std::uint32_t seed = 1;
};

std::string generateHex(const HexShape& shape);

}  // namespace orvex::sim
