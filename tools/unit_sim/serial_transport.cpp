#include "serial_transport.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <vector>

namespace orvex::sim {
namespace {

constexpr std::size_t kReadChunkBytes = 4096;
// Bounds one wake-up's work; the notifier fires again for the rest.
constexpr int kMaxReadsPerWakeup = 64;
constexpr std::size_t kMaxOutputBytes = 64 * 1024;
constexpr std::size_t kInotifyBufferBytes = 4096;
// Flow-control bytes of the uploader's side: a unit that honours XON/XOFF
// does not take them as data.
constexpr char kXon = '\x11';
constexpr char kXoff = '\x13';
// How long a reset RS-232 adapter is gone before its new device appears; the
// adapter's own time, not the unit's, so the time scale leaves it alone.
constexpr std::chrono::milliseconds kAdapterAbsence{100};

std::string systemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

SerialTransport::SerialTransport(UnitCore& core, std::filesystem::path directory, int comNumber,
                                 SerialDrop drop, std::chrono::milliseconds splitGap)
    : core_(core),
      link_(std::filesystem::absolute(directory / ("COM" + std::to_string(comNumber))).lexically_normal()),
      dropMode_(drop),
      replies_([this](std::string_view bytes) { send(bytes); }, [this] { dropLink(); }, splitGap) {
    adapterBack_.setSingleShot(true);
    QObject::connect(&adapterBack_, &QTimer::timeout, this, [this] {
        if (auto error = publishLink()) std::fprintf(stderr, "orvex-unit-sim: %s\n", error->c_str());
    });
}

SerialTransport::~SerialTransport() { close(); }

std::optional<std::string> SerialTransport::open() {
    if (auto error = openPty()) return error;
    std::error_code error;
    std::filesystem::create_directories(link_.parent_path(), error);
    // A link left by a simulator that was killed is replaced; anything else stays.
    const auto existing = std::filesystem::symlink_status(link_, error);
    if (std::filesystem::exists(existing) && !std::filesystem::is_symlink(existing)) {
        return link_.string() + " exists and is not a link";
    }
    if (auto failed = publishLink()) return failed;
    core_.setEndpoint(Link::serial, link_.string());
    return std::nullopt;
}

std::optional<std::string> SerialTransport::openPty() {
    master_ = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master_.valid()) return systemError("posix_openpt");
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) return systemError("unlockpt");
    char name[128];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) return systemError("ptsname");
    slavePath_ = name;
    // Raw mode from the start: no echo and no line editing, even before the
    // uploader sets its own port settings.
    termios settings{};
    if (::tcgetattr(master_.get(), &settings) != 0) return systemError("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(master_.get(), TCSANOW, &settings) != 0) return systemError("tcsetattr");

    watch_ = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch_.valid()) return systemError("inotify_init1");
    if (::inotify_add_watch(watch_.get(), slavePath_.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) <
        0) {
        return systemError("inotify_add_watch");
    }

    reader_ = std::make_unique<QSocketNotifier>(master_.get(), QSocketNotifier::Read);
    QObject::connect(reader_.get(), &QSocketNotifier::activated, this, [this] { onReadable(); });
    writer_ = std::make_unique<QSocketNotifier>(master_.get(), QSocketNotifier::Write);
    writer_->setEnabled(false);
    QObject::connect(writer_.get(), &QSocketNotifier::activated, this, [this] { flushOutput(); });
    watcher_ = std::make_unique<QSocketNotifier>(watch_.get(), QSocketNotifier::Read);
    QObject::connect(watcher_.get(), &QSocketNotifier::activated, this, [this] { onPortEvents(); });
    return std::nullopt;
}

// Points the link at the current pty in one step: whoever opens it meanwhile
// finds either the old target or the new one, never no link.
std::optional<std::string> SerialTransport::publishLink() {
    std::filesystem::path fresh = link_;
    fresh += ".new";
    std::error_code error;
    std::filesystem::remove(fresh, error);
    std::filesystem::create_symlink(slavePath_, fresh, error);
    if (!error) std::filesystem::rename(fresh, link_, error);
    if (error) return "cannot create " + link_.string() + ": " + error.message();
    return std::nullopt;
}

void SerialTransport::closePty() {
    reader_.reset();
    writer_.reset();
    watcher_.reset();
    watch_.reset();
    master_.reset();
    slaveOpens_ = 0;
}

std::string SerialTransport::endpoint() const { return "serial=" + link_.string(); }

void SerialTransport::close() {
    replies_.clear();
    adapterBack_.stop();
    closePty();
    std::error_code error;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link_, error))) {
        std::filesystem::remove(link_, error);
    }
}

SerialTransport::SlaveState SerialTransport::drain() {
    char buffer[kReadChunkBytes];
    for (int i = 0; i < kMaxReadsPerWakeup && master_.valid(); ++i) {
        const ssize_t count = ::read(master_.get(), buffer, sizeof buffer);
        if (count > 0) {
            deliver(std::string_view(buffer, static_cast<std::size_t>(count)));
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == EAGAIN) return SlaveState::open;
        // EIO: no slave fd is open. Bytes written before the close were read
        // above: the master hands them out before it reports the close.
        return SlaveState::closed;
    }
    return SlaveState::open;
}

void SerialTransport::deliver(std::string_view bytes) {
    std::string data;
    data.reserve(bytes.size());
    for (const char c : bytes) {
        if (c != kXon && c != kXoff) data.push_back(c);
    }
    for (const AssembledLine& line : lines_.feed(data)) {
        if (!replies_.push(core_.onLine({Link::serial, 0}, line))) core_.replyLostWhilePortClosed();
        if (!master_.valid()) return;  // the link was dropped by this line
    }
}

void SerialTransport::onReadable() {
    // The open that let these bytes in may not have been seen yet; replies to
    // them must not be taken for replies into a closed port.
    onPortEvents();
    if (!master_.valid()) return;
    if (drain() == SlaveState::closed && reader_) {
        // Until the next open, the master would report POLLHUP on every poll.
        reader_->setEnabled(false);
    }
}

void SerialTransport::onPortEvents() {
    alignas(inotify_event) char buffer[kInotifyBufferBytes];
    const ssize_t count = ::read(watch_.get(), buffer, sizeof buffer);
    if (count <= 0) return;
    std::vector<bool> opens;  // true: an open, false: a close, in the order they happened
    for (ssize_t offset = 0; offset < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_OPEN) {
            opens.push_back(true);
        } else if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            opens.push_back(false);
        }
    }
    for (std::size_t i = 0; i < opens.size(); ++i) {
        if (opens[i]) {
            ++slaveOpens_;
            core_.serialPortChanged(true);
            if (reader_) reader_->setEnabled(true);
        } else {
            slaveOpens_ = std::max(0, slaveOpens_ - 1);
            // Take what was written before the close first, so the record count of
            // the close includes it; replies to it go nowhere, the port is shut. When
            // the port was opened again at once, what the master holds may already
            // belong to the new session: it is read once that open is counted.
            const bool reopened = std::find(opens.begin() + static_cast<std::ptrdiff_t>(i) + 1, opens.end(),
                                            true) != opens.end();
            if (!reopened && drain() == SlaveState::closed && reader_) reader_->setEnabled(false);
            core_.serialPortChanged(false);
        }
        if (!watch_.valid()) return;
    }
    if (slaveOpens_ > 0 && master_.valid() && drain() == SlaveState::closed && reader_) {
        reader_->setEnabled(false);
    }
}

void SerialTransport::send(std::string_view bytes) {
    // Like a real serial line: what the unit sends while nobody listens is gone.
    if (slaveOpens_ == 0 || !master_.valid()) {
        core_.replyLostWhilePortClosed();
        return;
    }
    if (output_.size() + bytes.size() > kMaxOutputBytes) {
        core_.replyLostWhilePortClosed();  // the uploader stopped reading an open port
        return;
    }
    output_.append(bytes);
    flushOutput();
}

void SerialTransport::flushOutput() {
    while (!output_.empty() && master_.valid()) {
        const ssize_t written = ::write(master_.get(), output_.data(), output_.size());
        if (written > 0) {
            output_.erase(0, static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            writer_->setEnabled(true);
            return;
        }
        output_.clear();  // the port went away under the write
    }
    if (writer_) writer_->setEnabled(false);
}

void SerialTransport::dropLink() {
    // Deferred: this runs inside the read notifier's own handler.
    switch (dropMode_) {
        case SerialDrop::silent:
            return;  // the unit just stops answering
        case SerialDrop::closePort:
            // The port disappears, as when the unit's interface dies.
            QTimer::singleShot(0, this, [this] { close(); });
            return;
        case SerialDrop::adapterReset:
            QTimer::singleShot(0, this, [this] { resetAdapter(); });
            return;
    }
}

void SerialTransport::resetAdapter() {
    if (!master_.valid()) return;
    // The new pty is made while the old one still exists, so that it gets a
    // device of its own, as a re-enumerated USB adapter does.
    UniqueFd old = std::move(master_);
    closePty();
    if (auto error = openPty()) {
        std::fprintf(stderr, "orvex-unit-sim: adapter reset: %s\n", error->c_str());
        closePty();
    }
    old.reset();  // hangs up the old device under whoever holds it open
    // What was on its way through the old adapter is gone with it.
    replies_.clear();
    output_.clear();
    lines_ = LineAssembler{};
    core_.serialAdapterReset();
    if (master_.valid()) adapterBack_.start(kAdapterAbsence);
}

}  // namespace orvex::sim
