// LAN: one TCP connection to port 5025 of the unit, opened with a lock
// request; replies arrive through ClientCallback. Every wire text, timing and
// message of this bus is here.
#pragma once

#include <chrono>
#include <cstddef>

#include "bus.h"

namespace orvex::lan {

inline constexpr int kUnitPort = 5025;
inline constexpr unsigned kConnectTimeout_ms = 5000;
inline constexpr unsigned kCommandWriteTimeout_ms = 1000;  // from the lock request to "ERASE"
inline constexpr unsigned kPieceWriteTimeout_ms = 200;
inline constexpr unsigned kLateWriteTimeout_ms = 500;  // "EXIT" and the second "*IDN?"
inline constexpr unsigned kCallbackReadTimeout_ms = 1000;
inline constexpr double kResetPause_s = 1.0;
inline constexpr double kErasePause_s = 5.0;
inline constexpr double kExitPause_s = 12.0;  // the unit restarts with its new firmware
// How long a reply is awaited (the LAN timer's interval).
inline constexpr double kReplyWait_s = 4.0;
// A reply may reach us in several TCP segments; once its first bytes are in,
// the rest of the line is given this long to follow before the wait ends.
inline constexpr std::chrono::milliseconds kReplyLineGrace{30};

// The lock request: DC2 and a line feed.
inline constexpr char kLockRequest[] = {0x12, 0x0A};
inline constexpr const char* kLockDenied = "<DENIED LOCK>\r\n";

// Program mode is acknowledged by a reply of this many characters, line end included.
inline constexpr int kProgramModeReplyMin = 6;
inline constexpr int kProgramModeReplyMax = 7;

inline constexpr std::size_t kReceiveBlockSize = 256;
// Text that came before a command is read off the connection in blocks of the
// receive block's size; a unit that babbles on cannot hold the run here.
inline constexpr int kMaxStaleBlocks = 64;

inline constexpr const char* kMsgNoConnection = "Failed To Connect";
inline constexpr const char* kMsgNoLock = "Unable to Get a LOCK";
inline constexpr const char* kMsgIdentificationFailed = "Identification Failed";
inline constexpr const char* kMsgPasswordFailed = "Password Failed";
inline constexpr const char* kMsgNotInProgramMode = "Not In Program Mode";
inline constexpr const char* kMsgDataToFlashFailed = "Data to Flash Failed";
inline constexpr const char* kMsgCodeTestFailed = "Code Test Failed";
inline constexpr const char* kMsgSecondIdentificationFailed = "Second Identification Failed";
inline constexpr const char* kDetailLockDenied = "the unit refused the lock: another client holds it";
inline constexpr const char* kDetailNoLockAnswer = "the unit did not answer the lock request";
inline constexpr const char* kReadErrorTitle = "TCP Client";
inline constexpr const char* kReadErrorMessage = "TCP read error!";

extern const Bus bus;

// Waits for text in the reply buffer; its length, or 0 when the LAN timer ran out.
int get_tcpread();

// The TCP client callback: collects received text in the reply buffer.
int ClientCallback(unsigned handle, int xType, int errCode, void* callbackData);
int LanTimer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

}  // namespace orvex::lan
