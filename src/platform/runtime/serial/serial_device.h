// Which device a "COMn" name stands for on this machine.
#pragma once

#include <QString>

#include <optional>
#include <string_view>

namespace runtime::detail {

// n of a "COMn" name (n = 1..kMaxComPort, letters in any case), or nothing.
std::optional<int> ComNumber(std::string_view name);

// Makes "COMn" stand for `path` in this process (nullptr or "" forgets it);
// false for a number out of range.
bool SetProcessComDevice(int number, const char* path);

// The path that "COMn" stands for: the device set for this process, if any;
// else COMn inside $ORVEX_SERIAL_DIR when that is
// set; else the entry COMn of ~/.config/orvex-uploader/ports/ when there is one
// (usually a link to the real device); else /dev/ttyS<n-1>.
QString ComDevicePath(int number);

// The name to open the device at `path` by (QSerialPort locks the device under
// it): the link's target, so that every name of one device shares one lock
// and other programs find it under the device's own name; but a
// pseudo-terminal by its link, since its number passes to the next one as
// soon as its master closes and would be locked against an unrelated
// successor while a stale holder lingers. Empty when nothing is there.
QString DeviceToOpen(const QString& path);

}  // namespace runtime::detail
