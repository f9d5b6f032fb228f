// Where "COMn" leads: the technician's links or the machine's own serial lines.
#include "serial_device.h"

#include <QDir>
#include <QFileInfo>

#include <array>
#include <charconv>

#include "runtime.h"

namespace runtime::detail {
namespace {

constexpr char kSerialDirVariable[] = "ORVEX_SERIAL_DIR";
constexpr char kPortsDirUnderHome[] = ".config/orvex-uploader/ports";
constexpr char kPseudoTerminalDir[] = "/dev/pts/";

// Devices named for this process alone (a batch run given a device path);
// they win over every other way of finding "COMn".
std::array<QString, kMaxComPort + 1>& processDevices() {
    static std::array<QString, kMaxComPort + 1> devices;
    return devices;
}

}  // namespace

bool SetProcessComDevice(int number, const char* path) {
    if (number < 1 || number > kMaxComPort) return false;
    processDevices()[number] = path != nullptr ? QString::fromLocal8Bit(path) : QString();
    return true;
}

std::optional<int> ComNumber(std::string_view name) {
    if (name.size() < 4) return std::nullopt;
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(name[0]) != 'c' || lower(name[1]) != 'o' || lower(name[2]) != 'm') return std::nullopt;
    const std::string_view digits = name.substr(3);
    if (digits.front() < '1' || digits.front() > '9') return std::nullopt;  // no sign, no padding
    int number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (number < 1 || number > kMaxComPort) return std::nullopt;
    return number;
}

QString ComDevicePath(int number) {
    if (number >= 1 && number <= kMaxComPort && !processDevices()[number].isEmpty())
        return processDevices()[number];
    const QString name = QStringLiteral("COM%1").arg(number);
    const QString serial_dir = qEnvironmentVariable(kSerialDirVariable);
    if (!serial_dir.isEmpty()) return QDir(serial_dir).filePath(name);

    const QString configured = QDir(QDir::home().filePath(kPortsDirUnderHome)).filePath(name);
    const QFileInfo entry(configured);
    // A link whose adapter is unplugged still counts: opening it fails, where
    // falling back to a built-in line would talk to the wrong port.
    if (entry.exists() || entry.isSymLink()) return configured;

    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

QString DeviceToOpen(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    if (target.isEmpty()) return target;
    return target.startsWith(QLatin1String(kPseudoTerminalDir)) ? path : target;
}

}  // namespace runtime::detail
