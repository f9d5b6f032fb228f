// Boards and device descriptors of the stand-in driver. Boards GPIB0..GPIB7
// have the descriptors 0..7; ibdev hands out device descriptors from 32 on.
#pragma once

#include <mutex>
#include <optional>

#include "sim_link.h"

namespace standin {

struct Board {
    std::mutex mutex;  // one exchange with the simulator at a time
    SimLink link;
    int timeout = 0;  // time-out code
    bool remoteEnable = false;
};

struct Device {
    int board = 0;
    int pad = 0;  // above 30: an address-less device
    int sad = 0;
    int timeout = 0;  // time-out code
    int eot = 1;      // EOI with the last byte written
};

// The board of an index or board descriptor, or null.
Board* FindBoard(int index);

// A copy of a device descriptor's settings, or nothing for an unknown one.
std::optional<Device> FindDevice(int ud);
// The new device's descriptor, or -1 when every descriptor is taken.
int AddDevice(const Device& device);
bool RemoveDevice(int ud);
bool SetDeviceTimeout(int ud, int timeout);

// Back to the published defaults: T10s, remote enable off, link closed.
void ResetBoard(Board& board);

}  // namespace standin
