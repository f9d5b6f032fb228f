#include "signal_watcher.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvex::sim {
namespace {

// The handler may only write to a pipe; everything else happens on the loop.
volatile std::sig_atomic_t gWriteEnd = -1;

void onSignalArrived(int signal) {
    const int saved = errno;
    const char code = static_cast<char>(signal);
    if (gWriteEnd >= 0) {
        const auto written = ::write(gWriteEnd, &code, 1);
        static_cast<void>(written);  // a full pipe already holds a wake-up
    }
    errno = saved;
}

constexpr int kWatchedSignals[] = {SIGTERM, SIGINT};

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {}

SignalWatcher::~SignalWatcher() {
    for (const int signal : kWatchedSignals) std::signal(signal, SIG_DFL);
    if (gWriteEnd >= 0) ::close(gWriteEnd);
    gWriteEnd = -1;
}

std::optional<std::string> SignalWatcher::install() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        return std::string("socketpair: ") + std::strerror(errno);
    }
    readEnd_ = UniqueFd(ends[0]);
    gWriteEnd = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char code = 0;
        while (::read(readEnd_.get(), &code, 1) == 1) onSignal_(code);
    });
    struct sigaction action {};
    action.sa_handler = onSignalArrived;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kWatchedSignals) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return std::string("sigaction: ") + std::strerror(errno);
    }
    return std::nullopt;
}

}  // namespace orvex::sim
