// Every text the emulated unit recognises or sends, in one place.
#pragma once

#include <string_view>

namespace orvex::sim::wire {

// Commands, compared without their line end and without regard to case (the
// unit's command keywords are case-insensitive; a password is not).
inline constexpr std::string_view kReset = "*RST";
inline constexpr std::string_view kIdentify = "*IDN?";
inline constexpr std::string_view kUnlockPrefix = ":SYST:PASS:CEN ";
inline constexpr std::string_view kPasswordState = ":SYST:PASS:STAT?";
inline constexpr std::string_view kProgrammingMode = "DIAG:PRG";
inline constexpr std::string_view kErase = "ERASE";
inline constexpr std::string_view kLeaveProgramming = "EXIT";
inline constexpr std::string_view kLocalOperation = "SYST:REM 0";

// Line starts that select how a line is treated.
inline constexpr char kRecordMark = ':';
inline constexpr char kCodeTestMark = 'T';
inline constexpr char kCodeTestMarkLower = 't';
// A LAN connection asks for the unit's lock with DC2 and a line feed.
inline constexpr char kLockRequest = '\x12';

// Replies.
inline constexpr std::string_view kReplyUnlocked = "1\r\n";
inline constexpr std::string_view kReplyLocked = "0\r\n";
inline constexpr std::string_view kReplyReady = "READY\r\n";
// Programming mode refused while the unit is locked: 7 bytes before the line
// feed, so an uploader that counts them stops.
inline constexpr std::string_view kReplyNotUnlocked = "LOCKED\r\n";
inline constexpr std::string_view kReplyEraseDone = "0\r\n";
inline constexpr std::string_view kReplyEraseRefused = "1\r\n";
inline constexpr std::string_view kReplyTestPassed = "PASS\r\n";
inline constexpr std::string_view kReplyLockGranted = "<LOCK GRANTED>\r\n";
inline constexpr std::string_view kReplyLockDenied = "<DENIED LOCK>\r\n";
inline constexpr std::string_view kReplyEnd = "\r\n";

// A record over the serial link is acknowledged by one byte. ACK and NAK are
// used because XON (0x11) and XOFF (0x13) would be swallowed by flow control.
inline constexpr char kSerialRecordAck = '\x06';
inline constexpr char kSerialRecordNak = '\x15';
// Over the LAN a record is acknowledged by a short text line.
inline constexpr std::string_view kLanRecordAck = "OK\r\n";
inline constexpr std::string_view kLanRecordNak = "ERR\r\n";

// Identity of a unit fresh from the factory.
inline constexpr std::string_view kMaker = "ORVEX";
inline constexpr std::string_view kFamily = "ZRA";
inline constexpr std::string_view kModel = "12-34";
inline constexpr std::string_view kCalibrationDate = "01/01/2010";
inline constexpr std::string_view kSerialNumber = "A123";
inline constexpr std::string_view kRevision = "V8.10";
inline constexpr std::string_view kNewRevision = "V8.20";
inline constexpr std::string_view kPassword = "MORVANTE";
// Fills a deliberately long identification reply.
inline constexpr char kIdentityFiller = 'X';

}  // namespace orvex::sim::wire
