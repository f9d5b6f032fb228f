// Bus operations of a board, carried out by the simulator: interface clear,
// writing to a listener, reading from a talker. Each reports its outcome
// (see status.h) and returns the status word.
#pragma once

namespace standin {

// Time-out code meaning "the board's own time-out".
inline constexpr int kBoardTimeout = -1;

int ClearInterface(int board);
int WriteBytes(int board, int pad, const void* data, long count, int eotMode, int timeoutCode);
// termination: kStopEnd (stop at the byte sent with EOI) or an end-of-string
// byte 0..255 (stop after that byte, or at EOI).
int ReadBytes(int board, int pad, void* buffer, long count, int termination, int timeoutCode);

}  // namespace standin
