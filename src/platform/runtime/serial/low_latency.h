// USB serial adapters hold each received byte up to their latency timer
// (16 ms on FTDI adapters, whose driver no longer asks for less by default)
// before passing it on; an upload that awaits one acknowledgment byte per
// record pays that on every record. Drivers that know ASYNC_LOW_LATENCY use
// a 1 ms timer instead.
#pragma once

#include <QString>

namespace runtime::detail {

// Asks the driver of the open port `fd` for low latency; true when it took
// the request. Pseudo-terminals, native UARTs and ports the user may not
// reconfigure refuse it, and the port then works as before.
bool RequestLowLatency(int fd);
// How often that was asked, and taken, in this process.
int LowLatencyAsked();
int LowLatencyGranted();

// "driver ftdi_sio  latency timer 16 ms" for the serial device `ttyName`
// ("ttyUSB0") as the kernel describes it under `sysfsRoot` ("/sys"); only
// what the kernel offers, empty when it offers neither.
QString AdapterDetails(const QString& sysfsRoot, const QString& ttyName);

}  // namespace runtime::detail
