// Published values of the GPIB driver API: status word bits, error codes,
// time-out codes, end modes and 488.2 address words.
#pragma once

#include <cstdint>

namespace gpib {

// ---- Status word (ibsta) -----------------------------------------------------
inline constexpr int ERR = 0x8000;   // the call failed; iberr says why
inline constexpr int TIMO = 0x4000;  // the time-out passed
inline constexpr int END = 0x2000;   // EOI or the end-of-string byte ended the read
inline constexpr int SRQI = 0x1000;  // a device requests service
inline constexpr int RQS = 0x0800;   // the device requests service
inline constexpr int CMPL = 0x0100;  // I/O complete
inline constexpr int LOK = 0x0080;   // lockout state
inline constexpr int REM = 0x0040;   // remote state
inline constexpr int CIC = 0x0020;   // controller-in-charge
inline constexpr int ATN = 0x0010;   // attention asserted
inline constexpr int TACS = 0x0008;  // talker
inline constexpr int LACS = 0x0004;  // listener
inline constexpr int DTAS = 0x0002;  // device trigger state
inline constexpr int DCAS = 0x0001;  // device clear state

// ---- Error codes (iberr, valid while ERR is set) ---------------------------------
inline constexpr int EDVR = 0;   // system error; ibcntl holds its code
inline constexpr int ECIC = 1;   // the board is not controller-in-charge
inline constexpr int ENOL = 2;   // no listener on the bus
inline constexpr int EADR = 3;   // the board is not addressed correctly
inline constexpr int EARG = 4;   // invalid argument
inline constexpr int ESAC = 5;   // the board is not system controller
inline constexpr int EABO = 6;   // I/O aborted (time-out)
inline constexpr int ENEB = 7;   // no such board
inline constexpr int EDMA = 8;   // DMA error
inline constexpr int EOIP = 10;  // asynchronous I/O in progress
inline constexpr int ECAP = 11;  // no capability for the operation
inline constexpr int EFSO = 12;  // file system error
inline constexpr int EBUS = 14;  // bus error on a command byte
inline constexpr int ESTB = 15;  // serial poll status bytes lost
inline constexpr int ESRQ = 16;  // SRQ stuck on
inline constexpr int ETAB = 20;  // table problem
inline constexpr int ELCK = 21;  // the interface is locked
inline constexpr int EARM = 22;  // ibnotify could not rearm the callback
inline constexpr int EHDL = 23;  // invalid handle
inline constexpr int EWIP = 26;  // wait already in progress
inline constexpr int ERST = 27;  // the notification was cancelled by a reset
inline constexpr int EPWR = 28;  // the interface lost power

// The binding's own codes, reported in iberr when the driver library cannot be
// used; ibcnt and ibcntl then hold the operating system's error code.
inline constexpr int kLibraryNotLoadable = 201;
inline constexpr int kEntryPointMissing = 203;
inline constexpr int kStatusExportsMissing = 205;
inline constexpr int kIdentityMismatch = 206;
inline constexpr int kLoaderLockFailed = 207;

// ---- Time-out codes (ibtmo, ibdev) -----------------------------------------------
inline constexpr int TNONE = 0;  // wait without limit
inline constexpr int T10us = 1;
inline constexpr int T30us = 2;
inline constexpr int T100us = 3;
inline constexpr int T300us = 4;
inline constexpr int T1ms = 5;
inline constexpr int T3ms = 6;
inline constexpr int T10ms = 7;
inline constexpr int T30ms = 8;
inline constexpr int T100ms = 9;
inline constexpr int T300ms = 10;
inline constexpr int T1s = 11;
inline constexpr int T3s = 12;
inline constexpr int T10s = 13;
inline constexpr int T30s = 14;
inline constexpr int T100s = 15;
inline constexpr int T300s = 16;
inline constexpr int T1000s = 17;

// ---- End modes -------------------------------------------------------------------
inline constexpr int NULLend = 0x00;    // Send: no EOI
inline constexpr int NLend = 0x01;      // Send: a line feed with EOI follows the data
inline constexpr int DABend = 0x02;     // Send: EOI with the last data byte
inline constexpr int STOPend = 0x0100;  // Receive: stop at the byte sent with EOI

// ---- 488.2 address words ---------------------------------------------------------
// Primary address in the low byte, secondary address in the high byte.
using Addr4882_t = std::uint16_t;
inline constexpr Addr4882_t NOADDR = 0xFFFF;  // ends an address list
inline constexpr int NO_SAD = 0;              // no secondary address
inline constexpr int ALL_SAD = -1;            // every secondary address (FindLstn)

// A secondary address of NO_SAD or NOADDR means "none": the word then carries
// the primary address alone, which is what a unit without secondary
// addressing listens to.
constexpr Addr4882_t MakeAddr(int pad, int sad) {
    const auto primary = static_cast<Addr4882_t>(pad & 0xFF);
    if (sad == NO_SAD || sad == NOADDR || sad < 0) return primary;
    return static_cast<Addr4882_t>(primary | ((sad & 0xFF) << 8));
}
constexpr int GetPAD(Addr4882_t address) { return address & 0xFF; }
constexpr int GetSAD(Addr4882_t address) { return (address >> 8) & 0xFF; }

}  // namespace gpib
