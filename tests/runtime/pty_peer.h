// The far end of a serial line in tests: a pseudo-terminal master, with a
// "COMn" link to its slave side in the directory ORVEX_SERIAL_DIR names.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

class PtyPeer {
public:
    PtyPeer(const QString& directory, int number)
        : link_(QDir(directory).filePath(QStringLiteral("COM%1").arg(number))),
          master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            linked_ = QFile::link(QString::fromLocal8Bit(::ptsname(master_)), link_);
    }
    ~PtyPeer() {
        CloseMaster();
        QFile::remove(link_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return linked_; }
    bool Write(std::string_view bytes) {
        return ::write(master_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }
    // What the port sent, until `count` bytes or a pause of `timeout_ms`.
    std::string Read(std::size_t count, int timeout_ms = 5000) {
        std::string got;
        pollfd entry{master_, POLLIN, 0};
        char chunk[4096];
        ssize_t n = 1;
        while (got.size() < count && n > 0 && ::poll(&entry, 1, timeout_ms) > 0 &&
               (entry.revents & POLLIN) != 0) {
            n = ::read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n > 0) got.append(chunk, std::size_t(n));
        }
        return got;
    }
    // The slave side's line settings (a master reports those of its slave).
    termios Settings() const {
        termios settings{};
        ::tcgetattr(master_, &settings);
        return settings;
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    QString link_;
    int master_;
    bool linked_ = false;
};
