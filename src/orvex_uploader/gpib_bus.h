// GPIB: the program is controller-in-charge of the board, sends every command
// with EOI on its last byte and reads answers ended by EOI. Every wire text,
// timing and message of this bus is here.
#pragma once

#include <cstddef>

#include "bus.h"

namespace orvex::gpib_bus {

inline constexpr int kRemoteEnable = 1;
inline constexpr int kBoardOffline = 0;
inline constexpr int kMaxAnswer = 255;        // bytes one read may store
inline constexpr double kExitPause_s = 10.0;  // the unit restarts with its new firmware
inline constexpr const char* kMsgNotResponding = "Unit Not Responding";

// Where the Linux GPIB library looks for its configuration, and the device
// file of a board, by its index.
inline constexpr const char* kConfigurationVariable = "IB_CONFIG";
inline constexpr const char* kDefaultConfigurationFile = "/etc/gpib.conf";
inline constexpr const char* kDeviceFileFormat = "/dev/gpib%d";

// The detail line for each driver error a run can meet, in the order of the
// arguments each format takes.
inline constexpr const char* kDetailNoConfiguration =  // the configuration file
    "the GPIB library could not open its configuration file %s (EARG): create it, or name another in "
    "IB_CONFIG";
inline constexpr const char* kDetailNamedConfiguration =  // the configuration file
    "the GPIB library could not open its configuration file %s, named by IB_CONFIG (EARG)";
inline constexpr const char* kDetailNoDeviceFile =  // the device file, the errno's text
    "%s: %s (EDVR): load the GPIB kernel module and run gpib_config";
inline constexpr const char* kDetailDeviceRefused =  // the device file, the errno's text
    "%s: %s (EDVR): the user needs access to it, usually as a member of the gpib group";
inline constexpr const char* kDetailDeviceFailed = "%s: %s (EDVR)";  // the device file, the errno's text
inline constexpr const char* kDetailSystemError = "the GPIB driver reported a system error on GPIB%d (EDVR)";
inline constexpr const char* kDetailNotController =  // the board, the error's name
    "GPIB%d cannot control its bus (%s): it must be the bus's system controller";
inline constexpr const char* kDetailNoBoard =  // the board
    "no GPIB board GPIB%d (ENEB): is it configured, and has gpib_config run?";
inline constexpr const char* kDetailNoListener =  // the address, the board
    "no listener at address %d on GPIB%d (ENOL): check the unit's address, power and cable";
inline constexpr const char* kDetailNoAnswer =  // the address, the board, the error's name
    "the unit at address %d on GPIB%d did not answer in time (%s)";
inline constexpr const char* kDetailOtherError = "the GPIB driver reported %s on GPIB%d";  // name, board

extern const Bus bus;

// GPIB messages: a command containing "?" is a query and is followed by a
// read of its answer into `reply`. 0 on success, 1 when the driver reported
// an error. Answers stay terminated within `size` bytes.
int OX_Send(const char* command, char* reply, std::size_t size);
int OX_Rcv(char* reply, std::size_t size);
template <std::size_t N>
int OX_Send(const char* command, char (&reply)[N]) {
    return OX_Send(command, reply, N);
}
template <std::size_t N>
int OX_Rcv(char (&reply)[N]) {
    return OX_Rcv(reply, N);
}

// A driver call that failed, kept for the detail line.
struct DriverFailure {
    bool first_call = false;  // the run's first call: the interface clear
    int status = 0;           // ibsta
    int error = 0;            // iberr
    long count = 0;           // ibcntl: for EDVR the errno of the device file's open
};

// What the detail line says of `failure` on board `board` with the unit at
// `address`; empty when the call did not fail.
void describe_driver_failure(const DriverFailure& failure, int board, int address, char* text,
                             std::size_t size);

// The last answer read by the sequence (its buffer `buf`).
const char* last_answer();
std::size_t last_answer_capacity();

}  // namespace orvex::gpib_bus
