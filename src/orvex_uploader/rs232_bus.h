// RS-232: 38400 baud 8N1 with XON/XOFF, paced by fixed pauses and by one
// acknowledgment byte per HEX record. Every wire text, timing and message of
// this bus is here.
#pragma once

#include "bus.h"

namespace orvex::rs232 {

// Port settings, the same at every opening.
inline constexpr long kBaudRate = 38400;
inline constexpr int kParityNone = 0;
inline constexpr int kDataBits = 8;
inline constexpr int kStopBits = 1;
inline constexpr int kDefaultQueueSize = 0;
inline constexpr int kXonXoff = 1;
inline constexpr int kLineFeed = 10;
inline constexpr int kCarriageReturn = 13;

// Pauses.
inline constexpr double kResetPause_s = 1.0;
inline constexpr double kPiecePause_s = 0.015;
inline constexpr double kReopenPause_s = 0.5;      // before and after each mid-programming re-opening
inline constexpr double kExitPortClosed_s = 10.0;  // the unit restarts with its new firmware
inline constexpr double kAfterExitReopen_s = 2.0;
inline constexpr double kReleasePause_s = 1.0;
// How long a record's acknowledgment is awaited (the Com timer's interval);
// each read within it blocks up to the port's own time-out.
inline constexpr double kAckWait_s = 5.0;

// Reads, as counts of bytes taken from the line before its line feed.
inline constexpr int kLineReadMax = 256;
inline constexpr int kPasswordReadMax = 64;
inline constexpr int kProgramModeReadMax = 7;
inline constexpr int kProgramModeReplyLength = 6;  // "READY\r" before the line feed
inline constexpr int kEraseReadMax = 64;
inline constexpr int kShortCodeTestReply = 5;  // a shorter answer is followed by one more line

// A piece is written, and a record's acknowledgment awaited, at most this
// many more times before the loop gives up.
inline constexpr int kExtraAttempts = 4;

// The mid-programming re-openings happen when the progress first passes these.
inline constexpr int kFirstReopenPercent = 33;
inline constexpr int kSecondReopenPercent = 67;

inline constexpr const char* kMsgBlank = "            ";  // 12 blanks
inline constexpr const char* kMsgNoPort = "Failed To Get Com Port";
inline constexpr const char* kMsgNoResponse = "Unit Failed To Respond";
inline constexpr const char* kMsgIncorrectResponse = "Incorrect Unit Response";
inline constexpr const char* kCmdRelease = "syst:rem 0\n";

extern const Bus bus;

// Waits for one byte from `port` into the reply buffer: 1, a negative port
// error, or 0 when the Com timer ran out.
int get_result_from_unit(int port);

int ComTimer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

}  // namespace orvex::rs232
