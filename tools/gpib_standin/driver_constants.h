// The published values the stand-in driver reports: status word bits, error
// codes, time-out codes and end modes.
#pragma once

#include <array>
#include <cstdint>

namespace standin {

// Status word.
inline constexpr int kErr = 0x8000;
inline constexpr int kTimo = 0x4000;
inline constexpr int kEnd = 0x2000;
inline constexpr int kCmpl = 0x0100;

// Error codes.
inline constexpr int kEdvr = 0;  // no such descriptor, or the simulator broke the protocol
inline constexpr int kEnol = 2;  // no listener at that address
inline constexpr int kEarg = 4;  // invalid argument
inline constexpr int kEabo = 6;  // I/O aborted by the time-out
inline constexpr int kEneb = 7;  // no such board, or its simulator cannot be reached

// The published names of the error codes, as a fault setting may give them.
struct ErrorName {
    const char* name;
    int code;
};
inline constexpr std::array<ErrorName, 16> kErrorNames = {{
    {"EDVR", 0},
    {"ECIC", 1},
    {"ENOL", 2},
    {"EADR", 3},
    {"EARG", 4},
    {"ESAC", 5},
    {"EABO", 6},
    {"ENEB", 7},
    {"EDMA", 8},
    {"EOIP", 10},
    {"ECAP", 11},
    {"EFSO", 12},
    {"EBUS", 14},
    {"ESTB", 15},
    {"ESRQ", 16},
    {"ETAB", 20},
}};

// Time-out codes: TNONE (0, no limit) to T1000s (17). Boards start at T10s,
// the published default.
inline constexpr int kTimeoutNone = 0;
inline constexpr int kDefaultTimeout = 13;
inline constexpr std::array<std::uint64_t, 18> kTimeoutMicroseconds = {
    0,       10,      30,        100,       300,        1'000,      3'000,       10'000,      30'000,
    100'000, 300'000, 1'000'000, 3'000'000, 10'000'000, 30'000'000, 100'000'000, 300'000'000, 1'000'000'000};
constexpr bool IsTimeoutCode(int code) {
    return code >= 0 && code < static_cast<int>(kTimeoutMicroseconds.size());
}

// End modes of Send and the termination of Receive.
inline constexpr int kNullEnd = 0x00;  // no EOI
inline constexpr int kNlEnd = 0x01;    // a line feed with EOI after the data
inline constexpr int kDabEnd = 0x02;   // EOI with the last data byte
inline constexpr int kStopEnd = 0x0100;

// Boards GPIB0 to GPIB7; their descriptors are their indices.
inline constexpr int kBoardCount = 8;
// Device descriptors handed out by ibdev.
inline constexpr int kFirstDeviceDescriptor = 32;
inline constexpr int kDeviceCount = 256;
// Primary addresses a listener can have.
inline constexpr int kMaxPrimaryAddress = 30;

}  // namespace standin
