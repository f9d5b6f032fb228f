// The 488.2 routines of the stand-in driver. They take a board index and
// report through the status variables.
#include <cstdint>

#include "bus_io.h"
#include "driver_constants.h"
#include "first_call_fault.h"

namespace {

using Addr4882_t = std::uint16_t;

int PrimaryOf(Addr4882_t address) { return address & 0xFF; }

}  // namespace

extern "C" {

// Interface clear: the board becomes controller-in-charge.
__attribute__((visibility("default"))) void SendIFC(int boardIndex) {
    if (!standin::FailAsFirstCall()) standin::ClearInterface(boardIndex);
}

// The secondary address (high byte) is not carried to the simulator: its
// unit listens at one primary address.
__attribute__((visibility("default"))) void Send(int boardIndex, Addr4882_t address, const void* buffer,
                                                 long count, int eotMode) {
    if (standin::FailAsFirstCall()) return;
    standin::WriteBytes(boardIndex, PrimaryOf(address), buffer, count, eotMode, standin::kBoardTimeout);
}

__attribute__((visibility("default"))) void Receive(int boardIndex, Addr4882_t address, void* buffer,
                                                    long count, int termination) {
    if (standin::FailAsFirstCall()) return;
    standin::ReadBytes(boardIndex, PrimaryOf(address), buffer, count, termination, standin::kBoardTimeout);
}

}  // extern "C"
