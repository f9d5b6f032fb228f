// Which serial devices this machine has and which "COMn" reaches each: what a
// technician needs to map a USB adapter to the port the program asks for.
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstring>
#include <optional>

#include "low_latency.h"
#include "runtime.h"
#include "serial_device.h"

namespace runtime {
namespace {

// Columns of a device line are separated by two blanks, as in the examples
// technicians are shown.
constexpr char kGap[] = "  ";
constexpr char kSysfs[] = "/sys";

QString Canonical(const QString& path) { return QFileInfo(path).canonicalFilePath(); }

// The first COMn that resolves to the device, if any.
std::optional<int> ComReaching(const QString& device) {
    const QString target = Canonical(device);
    if (target.isEmpty()) return std::nullopt;
    for (int number = 1; number <= kMaxComPort; ++number) {
        if (Canonical(detail::ComDevicePath(number)) == target) return number;
    }
    return std::nullopt;
}

QString Hex4(quint16 value) { return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')); }

QString DeviceLine(const QSerialPortInfo& port) {
    QString line = port.systemLocation();
    if (!port.description().isEmpty()) line += kGap + port.description();
    QString ids;
    if (port.hasVendorIdentifier()) ids += QStringLiteral("vendor %1").arg(Hex4(port.vendorIdentifier()));
    if (port.hasProductIdentifier()) ids += QStringLiteral(" product %1").arg(Hex4(port.productIdentifier()));
    if (!port.serialNumber().isEmpty()) ids += QStringLiteral(" serial %1").arg(port.serialNumber());
    if (!ids.isEmpty()) line += kGap + ids.trimmed();
    const QString adapter = detail::AdapterDetails(kSysfs, port.portName());
    if (!adapter.isEmpty()) line += kGap + adapter;
    const std::optional<int> com = ComReaching(port.systemLocation());
    line += kGap + (com ? QStringLiteral("-> COM%1").arg(*com) : QStringLiteral("-> (no COMn)"));
    return line;
}

// "COMn -> target" for every COMn that has an entry of its own (a link in the
// ports directory); "(missing)" when its device is not there.
QStringList LinkLines() {
    QStringList lines;
    for (int number = 1; number <= kMaxComPort; ++number) {
        const QString path = detail::ComDevicePath(number);
        const QFileInfo entry(path);
        if (!entry.exists() && !entry.isSymLink()) continue;
        if (path.startsWith(QLatin1String("/dev/"))) continue;  // the built-in fallback, not a link
        const QString target = entry.isSymLink() ? entry.symLinkTarget() : path;
        lines << QStringLiteral("COM%1 -> %2%3").arg(number).arg(target, entry.exists() ? "" : " (missing)");
    }
    return lines;
}

}  // namespace

int WriteSerialPortList(std::FILE* out) {
    if (out == nullptr) return -1;
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a.systemLocation() < b.systemLocation(); });
    for (const QSerialPortInfo& port : ports)
        std::fprintf(out, "%s\n", DeviceLine(port).toUtf8().constData());
    if (ports.isEmpty()) std::fprintf(out, "no serial devices found\n");
    for (const QString& line : LinkLines()) std::fprintf(out, "%s\n", line.toUtf8().constData());
    return int(ports.size());
}

int ComPortDeviceText(int port, char* path, std::size_t size) {
    if (port < 1 || port > kMaxComPort) return kErrPortNumber;
    if (path == nullptr || size == 0) return kErrBufferTooSmall;
    const QByteArray device = QFile::encodeName(detail::ComDevicePath(port));
    const std::size_t length = std::min(size - 1, std::size_t(device.size()));
    std::memcpy(path, device.constData(), length);
    path[length] = '\0';
    return length == std::size_t(device.size()) ? 0 : kErrBufferTooSmall;
}

}  // namespace runtime
