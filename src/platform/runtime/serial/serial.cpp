// Serial ports "COM1".."COMn" on QSerialPort. Every call blocks the calling
// (user-interface) thread without processing events: a port is only ever
// written and read here, never from the event loop.
#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

#include <termios.h>

#include <cerrno>

#include <array>
#include <memory>
#include <optional>

#include "deadline.h"
#include "paint_pump.h"
#include "failure_detail.h"
#include "low_latency.h"
#include "port_probe.h"
#include "runtime.h"
#include "serial_device.h"

namespace runtime {
namespace {

struct ComPort {
    std::unique_ptr<QSerialPort> device;  // null while the port is closed
    QString label;                        // "/dev/ttyUSB0 (COM3)", for failure details
    double timeout_s = kDefaultComTimeout_s;
    // The far end went away (a hung-up line reads as an endless error): the
    // device is closed, the port stays open for the program until CloseCom.
    bool vanished = false;
    bool close_pending = false;
};

// Index = port number; entry 0 is unused.
std::array<ComPort, kMaxComPort + 1> g_ports;
bool g_cleanup_registered = false;

ComPort* PortEntry(int port) {
    if (port < 1 || port > kMaxComPort) return nullptr;
    return &g_ports[std::size_t(port)];
}

// The result of looking up a port for an operation: the entry, or the error to
// return.
struct OpenPort {
    ComPort* entry = nullptr;
    int error = 0;
};

OpenPort FindOpen(int port) {
    ComPort* entry = PortEntry(port);
    if (entry == nullptr) return {nullptr, kErrPortNumber};
    if (!entry->device) return {nullptr, kErrPortNotOpen};
    return {entry, 0};
}

// Closing also gives up the exclusive claim and the lock file that opening took.
void ReleaseDevice(QSerialPort& device) {
    if (device.isOpen()) device.close();
}

void MarkVanished(ComPort& entry) {
    if (entry.device) ReleaseDevice(*entry.device);
    entry.vanished = true;
    detail::SetFailureDetail(
        QStringLiteral("lost the line to %1: the adapter was unplugged or the far end closed it")
            .arg(entry.label));
}

bool IsLineLost(QSerialPort::SerialPortError error) {
    return error == QSerialPort::ReadError || error == QSerialPort::ResourceError ||
           error == QSerialPort::WriteError;
}

void CloseAllPorts() {
    for (ComPort& entry : g_ports) {
        if (entry.device) ReleaseDevice(*entry.device);
        entry = ComPort{};
    }
    g_cleanup_registered = false;
}

// A line whose far end is gone makes QSerialPort's read notifier fire, fail
// and fire again for as long as the device stays open: one event loop pass
// after the first failure closes it, so waits that process events do not spin.
void WatchForLostLine(int port, QSerialPort& device) {
    QSerialPort* watched = &device;
    QObject::connect(watched, &QSerialPort::errorOccurred, watched,
                     [port, watched](QSerialPort::SerialPortError error) {
                         ComPort& entry = g_ports[std::size_t(port)];
                         if (!IsLineLost(error) || entry.device.get() != watched || entry.close_pending)
                             return;
                         entry.close_pending = true;
                         // Not from inside the notifier that is reporting.
                         QTimer::singleShot(0, watched, [port, watched] {
                             ComPort& current = g_ports[std::size_t(port)];
                             if (current.device.get() == watched) MarkVanished(current);
                         });
                     });
}

std::optional<QSerialPort::Parity> ParityFromCode(int parity) {
    switch (parity) {
        case 0:
            return QSerialPort::NoParity;
        case 1:
            return QSerialPort::OddParity;
        case 2:
            return QSerialPort::EvenParity;
        case 3:
            return QSerialPort::MarkParity;
        case 4:
            return QSerialPort::SpaceParity;
        default:
            return std::nullopt;
    }
}

std::optional<QSerialPort::StopBits> StopBitsFromCount(int stopBits) {
    switch (stopBits) {
        case 1:
            return QSerialPort::OneStop;
        case 2:
            return QSerialPort::TwoStop;
        default:
            return std::nullopt;
    }
}

// The n of "COMn" in the name, else the port's own number.
int ComNumberFor(int port, const char* deviceName) {
    if (deviceName == nullptr) return port;
    return detail::ComNumber(deviceName).value_or(port);
}

// "COMn" through the port links, an empty name as "COM<port>", any other text
// as the device's path.
QString DevicePathFor(int port, const char* deviceName) {
    if (deviceName == nullptr || *deviceName == '\0') return detail::ComDevicePath(port);
    if (const auto number = detail::ComNumber(deviceName)) return detail::ComDevicePath(*number);
    return QString::fromLocal8Bit(deviceName);
}

// Why QSerialPort could not open a device that opens when probed: its lock
// file is held by another program, or the device went away in between.
int SystemErrorOf(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::PermissionError:
            return EBUSY;
        case QSerialPort::DeviceNotFoundError:
            return ENOENT;
        default:
            return EIO;
    }
}

// QSerialPort's software flow control also sets IXANY, under which any byte
// from the unit (an acknowledgment) lifts its XOFF early; only XON should.
bool OnlyXonResumes(QSerialPort& device) {
    termios settings{};
    if (::tcgetattr(device.handle(), &settings) != 0) return false;
    if ((settings.c_iflag & IXANY) == 0) return true;
    settings.c_iflag &= ~tcflag_t(IXANY);
    return ::tcsetattr(device.handle(), TCSANOW, &settings) == 0;
}

double ScaledTimeout_s(const ComPort& entry) { return entry.timeout_s * TimeScale(); }

// Reads into `buffer` until `maxCount` bytes, the terminator (consumed, not
// stored) or the port's time-out. Bytes already taken from the line by an
// earlier call are used first: waitForReadyRead only reports new ones.
int ReadPort(ComPort& entry, char* buffer, int maxCount, std::optional<unsigned char> terminator) {
    if (entry.vanished) return kErrPortRead;
    QSerialPort& device = *entry.device;
    const detail::Deadline deadline(ScaledTimeout_s(entry));
    int stored = 0;
    for (;;) {
        while (stored < maxCount && device.bytesAvailable() > 0) {
            if (!terminator) {
                const qint64 got = device.read(buffer + stored, maxCount - stored);
                if (got <= 0) break;
                stored += int(got);
                continue;
            }
            char byte = 0;
            if (!device.getChar(&byte)) break;
            if (static_cast<unsigned char>(byte) == *terminator) return stored;
            buffer[stored++] = byte;
        }
        if (stored >= maxCount) return stored;

        // One look at the line even when the time is up, so that a time-out
        // of 0 still returns what has arrived.
        const int remaining_ms = deadline.remaining_ms();
        if (device.waitForReadyRead(detail::PaintSlice_ms(remaining_ms))) continue;
        const QSerialPort::SerialPortError error = device.error();
        // A time-out stays set on the device until cleared and would fail the
        // next wait at once.
        device.clearError();
        if (error == QSerialPort::TimeoutError || error == QSerialPort::NoError) {
            if (remaining_ms == 0) return stored;
            detail::KeepPainting();
            continue;
        }
        MarkVanished(entry);
        return stored > 0 ? stored : kErrPortRead;
    }
}

}  // namespace

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits, int stopBits,
                  int inputQueueSize, int outputQueueSize) {
    ComPort* entry = PortEntry(port);
    if (entry == nullptr) return kErrPortNumber;
    if (QCoreApplication::instance() == nullptr) return kErrNoApplication;
    const auto parity_setting = ParityFromCode(parity);
    const auto stop_setting = StopBitsFromCount(stopBits);
    if (baudRate <= 0 || baudRate > long(INT_MAX) || !parity_setting || !stop_setting || dataBits < 5 ||
        dataBits > 8 || inputQueueSize < 0 || outputQueueSize < 0)
        return kErrPortParameter;

    // Failure exits of the upload leave ports open and the next run opens
    // them again: that re-open must work like a first one.
    if (entry->device) CloseCom(port);

    const QString named = DevicePathFor(port, deviceName);
    const QString shown = detail::ShownDevice(named);
    const int com_number = ComNumberFor(port, deviceName);
    const QString path = detail::DeviceToOpen(named);
    if (path.isEmpty()) {
        detail::SetFailureDetail(detail::OpenFailureText(ENOENT, shown, com_number));
        return kErrPortOpen;
    }
    auto device = std::make_unique<QSerialPort>();
    device->setPortName(path);
    if (!device->open(QIODevice::ReadWrite)) {
        // QSerialPort reports a refused open and a port locked by another
        // program alike; the device itself tells them apart.
        const int probed = detail::ProbeOpenError(path);
        const int error = probed != 0 ? probed : SystemErrorOf(device->error());
        detail::SetFailureDetail(detail::OpenFailureText(error, shown, com_number));
        return kErrPortOpen;
    }
    // Queue sizes are left to the system and to QSerialPort, which grow them
    // as needed; 0 asks for exactly that.
    const bool configured = device->setBaudRate(qint32(baudRate)) &&
                            device->setDataBits(QSerialPort::DataBits(dataBits)) &&
                            device->setParity(*parity_setting) && device->setStopBits(*stop_setting) &&
                            device->setFlowControl(QSerialPort::NoFlowControl);
    if (!configured) {
        detail::SetFailureDetail(QStringLiteral("cannot configure %1 (COM%2): %3")
                                     .arg(shown)
                                     .arg(com_number)
                                     .arg(device->errorString()));
        ReleaseDevice(*device);
        return kErrPortOpen;
    }

    // At every opening: the adapter passes each acknowledgment on at once.
    detail::RequestLowLatency(device->handle());
    WatchForLostLine(port, *device);
    *entry = ComPort{};
    entry->device = std::move(device);
    entry->label = QStringLiteral("%1 (COM%2)").arg(shown).arg(com_number);
    if (!g_cleanup_registered) {
        // Ports must not outlive the application object their notifiers need.
        qAddPostRoutine(CloseAllPorts);
        g_cleanup_registered = true;
    }
    return 0;
}

int CloseCom(int port) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    ReleaseDevice(*found.entry->device);
    *found.entry = ComPort{};
    return 0;
}

int ComWrt(int port, const char* buffer, int count) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (count < 0 || (buffer == nullptr && count > 0)) return kErrPortParameter;
    if (count == 0) return 0;
    ComPort& entry = *found.entry;
    if (entry.vanished) return kErrPortWrite;
    QSerialPort& device = *entry.device;

    if (device.write(buffer, count) != count) return kErrPortWrite;
    // QSerialPort hands bytes to the system only from its event loop or a
    // wait; the caller expects them gone when the call returns. The port's
    // read time-out bounds this wait too.
    const detail::Deadline deadline(ScaledTimeout_s(entry));
    while (device.bytesToWrite() > 0) {
        const int remaining_ms = deadline.remaining_ms();
        if (remaining_ms == 0) {
            // The line is held (XOFF) or stuck: what is left stays queued and
            // follows when it moves on, unless FlushOutQ discards it.
            detail::SetFailureDetail(
                QStringLiteral("%1 took no data for %2 s: the unit holds the line (XOFF) "
                               "or the cable lacks its handshake wires")
                    .arg(entry.label)
                    .arg(ScaledTimeout_s(entry)));
            return kErrPortWrite;
        }
        if (device.waitForBytesWritten(detail::PaintSlice_ms(remaining_ms))) continue;
        const QSerialPort::SerialPortError error = device.error();
        device.clearError();
        if (error != QSerialPort::TimeoutError && error != QSerialPort::NoError) {
            MarkVanished(entry);
            return kErrPortWrite;
        }
        detail::KeepPainting();
    }
    return count;
}

int ComWrtByte(int port, int byte) {
    const char value = static_cast<char>(static_cast<unsigned char>(byte & 0xFF));
    return ComWrt(port, &value, 1);
}

int ComRd(int port, char* buffer, int count) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (count < 0 || (buffer == nullptr && count > 0)) return kErrPortParameter;
    if (count == 0) return 0;
    return ReadPort(*found.entry, buffer, count, std::nullopt);
}

int ComRdTerm(int port, char* buffer, int maxCount, int terminationByte) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (maxCount < 0 || (buffer == nullptr && maxCount > 0)) return kErrPortParameter;
    if (maxCount == 0) return 0;
    // A value that is not a byte cannot occur on the line: read to the count.
    std::optional<unsigned char> terminator;
    if (terminationByte >= 0 && terminationByte <= 0xFF)
        terminator = static_cast<unsigned char>(terminationByte);
    return ReadPort(*found.entry, buffer, maxCount, terminator);
}

int FlushOutQ(int port) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (found.entry->vanished) return kErrPortWrite;
    return found.entry->device->clear(QSerialPort::Output) ? 0 : kErrPortWrite;
}

int FlushInQ(int port) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (found.entry->vanished) return kErrPortRead;
    return found.entry->device->clear(QSerialPort::Input) ? 0 : kErrPortRead;
}

int SetXMode(int port, int mode) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (found.entry->vanished) return kErrPortRead;
    QSerialPort& device = *found.entry->device;
    const auto flow = mode != 0 ? QSerialPort::SoftwareControl : QSerialPort::NoFlowControl;
    if (!device.setFlowControl(flow)) return kErrPortOpen;
    return OnlyXonResumes(device) ? 0 : kErrPortOpen;
}

int SetComTime(int port, double timeout_s) {
    const OpenPort found = FindOpen(port);
    if (found.entry == nullptr) return found.error;
    if (!(timeout_s >= 0.0)) return kErrPortParameter;
    found.entry->timeout_s = timeout_s;
    return 0;
}

int SetComPortDevice(int port, const char* path) {
    return detail::SetProcessComDevice(port, path) ? 0 : kErrPortNumber;
}

}  // namespace runtime
