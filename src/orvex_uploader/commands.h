// What every bus says to the unit and what every bus shows the operator.
#pragma once

namespace orvex {

// Commands; each ends in a line feed.
inline constexpr const char* kCmdReset = "*RST\n";
inline constexpr const char* kCmdIdentify = "*IDN?\n";
inline constexpr const char* kFmtUnlock = "%s<:SYST:PASS:CEN %s\n";
inline constexpr const char* kCmdPasswordState = ":syst:pass:stat?\n";
inline constexpr const char* kCmdProgramMode = "DIAG:PRG\n";
inline constexpr const char* kCmdErase = "ERASE\n";
inline constexpr const char* kCmdExit = "EXIT\n";

// A password state or erase answer starting with this character means
// "refused" and "erased" respectively.
inline constexpr char kAnswerZero = '0';

inline constexpr const char* kMakerName = "ORVEX";

// The password field is written back to this after every start.
inline constexpr const char* kDefaultPassword = "MORVANTE";

// Texts of the Messages field that every bus shows.
inline constexpr const char* kMsgWrongModel = "Wrong Model/Revision";
inline constexpr const char* kMsgUnknownUnit = "Unknown Unit";
inline constexpr const char* kMsgSettingUp = "Setting Up - Please Wait";
inline constexpr const char* kMsgErasing = "Erasing";
inline constexpr const char* kMsgEraseFailed = "Erase Failed";
inline constexpr const char* kMsgProgramming = "Programming";
inline constexpr const char* kMsgLoopDone = "...";
inline constexpr const char* kOkTest = "OK TEST";

}  // namespace orvex
