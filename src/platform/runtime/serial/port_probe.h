// Why a serial device cannot be used, told the way a technician can act on it.
#pragma once

#include <QString>

namespace runtime::detail {

// Why the device at `path` cannot be opened: opens it the way the serial port
// does and closes it again. 0 when it opens and nobody claimed it exclusively
// (TIOCEXCL, which root is not held back by), else the system's error code
// (EBUSY for a claimed one). Only for a port that already failed to open: the
// far end of a line sees every open and close.
int ProbeOpenError(const QString& path);

// The device as a technician knows it: the target of a link (a COMn entry
// pointing at /dev/ttyUSB0), else the path itself.
QString ShownDevice(const QString& path);

// "no such port /dev/ttyUSB0 (COM3)", "no permission to open /dev/ttyUSB0: add
// the user to the dialout group", "port /dev/ttyUSB0 is busy (another program
// has it open)", or the system's words for any other error.
QString OpenFailureText(int systemError, const QString& device, int comNumber);

}  // namespace runtime::detail
