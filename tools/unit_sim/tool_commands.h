// The simulator's two helper commands: "verify" compares a flash image with a
// HEX file, "make-hex" writes a deterministic firmware file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvex::sim {

inline constexpr int kExitMatch = 0;
inline constexpr int kExitMismatch = 1;
inline constexpr int kExitUsage = 2;

struct VerifyOutcome {
    int exitCode = kExitUsage;
    std::string message;
};

// Both texts are Intel HEX; they match when they program the same bytes at
// the same addresses, and nothing else.
VerifyOutcome verifyImage(std::string_view flashText, std::string_view hexText);

// Each takes the arguments after its command word and returns the exit code.
int runVerify(const std::vector<std::string>& args);
int runMakeHex(const std::vector<std::string>& args);

}  // namespace orvex::sim
