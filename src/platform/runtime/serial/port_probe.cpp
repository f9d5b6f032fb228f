#include "port_probe.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace runtime::detail {

int ProbeOpenError(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking: a modem line without carrier would otherwise hold the open.
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    int exclusive = 0;
    const bool claimed = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return claimed ? EBUSY : 0;
}

QString ShownDevice(const QString& path) {
    const QFileInfo entry(path);
    return entry.isSymLink() ? entry.symLinkTarget() : path;
}

QString OpenFailureText(int systemError, const QString& device, int comNumber) {
    switch (systemError) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return QStringLiteral("no such port %1 (COM%2)").arg(device).arg(comNumber);
        case EACCES:
        case EPERM:
            return QStringLiteral("no permission to open %1: add the user to the dialout group").arg(device);
        case EBUSY:
            return QStringLiteral("port %1 is busy (another program has it open)").arg(device);
        default:
            return QStringLiteral("cannot open %1 (COM%2): %3")
                .arg(device)
                .arg(comNumber)
                .arg(QString::fromLocal8Bit(std::strerror(systemError)));
    }
}

}  // namespace runtime::detail
