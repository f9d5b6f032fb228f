// Module-level state of the uploader. Everything lives for the whole process and
// is shared by the callbacks, the waits and the bus sequences, which all run on
// the one user-interface thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace orvex {

// Buffer sizes.
inline constexpr std::size_t kCommandSize = 256;    // wrtbuffer, rdbuffer, wrtBuf, buf
inline constexpr std::size_t kAckBufferSize = 512;  // rdBuf
inline constexpr std::size_t kPathSize = 260;       // filename
inline constexpr std::size_t kFieldSize = 40;       // one identity field
inline constexpr std::size_t kUnitModelSize = 80;   // Unit, a space, Model
inline constexpr std::size_t kBusTextSize = 20;
inline constexpr std::size_t kPasswordSize = 20;
inline constexpr std::size_t kDeviceNameSize = 20;
inline constexpr std::size_t kServerNameSize = 256;

// Panels.
inline int update_handle = 0;
inline int file_handle = 0;

// Procedure flags.
inline int programming = 0;
inline int failure = 0;
inline int temp_flag = 0;
inline int rdch = 0;
inline int ok_to_use = 0;
inline int leavenow = 1;
inline int comresult = 0;

// Buffers shared by the sequences.
inline char wrtbuffer[kCommandSize] = {};
inline char rdbuffer[kCommandSize] = {};
inline char wrtBuf[kCommandSize] = {};
inline char buf[kCommandSize] = {};
inline char rdBuf[kAckBufferSize] = {};
inline char filename[kPathSize] = {};

// HEX streaming. Sizes and offsets are 64-bit so that the percentage never
// overflows, whatever the size of the file.
inline std::FILE* fileprg = nullptr;
inline std::int64_t f_lg = 0;
inline std::int64_t ii = 0;
inline int lg = 0;
inline int k = 0;
inline char* ret = nullptr;

// Identification parser positions (k doubles as the progress percentage).
inline int j = 0;
inline int m = 0;

// Unit identity.
inline char Make[kFieldSize] = {};
inline char Unit[kFieldSize] = {};
inline char Model[kFieldSize] = {};
inline char CalDate[kFieldSize] = {};
inline char SerialNo[kFieldSize] = {};
inline char Rev[kFieldSize] = {};
inline char UnitModel[kUnitModelSize] = {};
inline char Oldrev[kFieldSize] = {};
inline char Newrev[kFieldSize] = {};

// RS-232.
inline int COMPort = 1;
inline char deviceName[kDeviceNameSize] = {};

// GPIB.
inline int board_nu = 0;
inline int gpib_addr = 0;

// LAN.
inline char serverName[kServerNameSize] = {};
inline std::uint32_t lan_handle = 0;
inline std::uint32_t gHandle = 0;

}  // namespace orvex
