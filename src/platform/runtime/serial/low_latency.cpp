#include "low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <QFile>
#include <QFileInfo>

#include <atomic>

namespace runtime::detail {
namespace {

std::atomic<int> g_asked{0};
std::atomic<int> g_granted{0};

}  // namespace

int LowLatencyAsked() { return g_asked.load(); }
int LowLatencyGranted() { return g_granted.load(); }

bool RequestLowLatency(int fd) {
    ++g_asked;
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0) return false;
    if ((settings.flags & ASYNC_LOW_LATENCY) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &settings) != 0) return false;
    }
    ++g_granted;
    return true;
}

QString AdapterDetails(const QString& sysfsRoot, const QString& ttyName) {
    QStringList details;
    const QString driver =
        QFileInfo(sysfsRoot + QStringLiteral("/class/tty/%1/device/driver").arg(ttyName)).symLinkTarget();
    if (!driver.isEmpty()) details << QStringLiteral("driver %1").arg(QFileInfo(driver).fileName());
    QFile timer(sysfsRoot + QStringLiteral("/bus/usb-serial/devices/%1/latency_timer").arg(ttyName));
    if (timer.open(QIODevice::ReadOnly)) {
        bool number = false;
        const int latency_ms = timer.readAll().trimmed().toInt(&number);
        if (number) details << QStringLiteral("latency timer %1 ms").arg(latency_ms);
    }
    return details.join(QStringLiteral("  "));
}

}  // namespace runtime::detail
