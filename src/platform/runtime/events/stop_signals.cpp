// Stop signals turned into events: the signal handler only writes the
// signal's number into a pipe, and the program's handler runs when event
// processing reads it, so it may touch the panels and the buses safely.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "runtime.h"

namespace runtime {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};

int g_pipe[2] = {-1, -1};
std::atomic<int> g_count{0};
void (*g_handler)(int) = nullptr;
std::unique_ptr<QSocketNotifier> g_notifier;

extern "C" void on_stop_signal(int signal_number) {
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    // A full pipe drops the signal's number: the count already says enough.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved_errno;
}

void drain_pipe() {
    unsigned char bytes[16];
    for (;;) {
        const ssize_t count = ::read(g_pipe[0], bytes, sizeof bytes);
        if (count <= 0) return;
        for (ssize_t i = 0; i < count; ++i) {
            g_count.fetch_add(1);
            if (g_handler != nullptr) g_handler(bytes[i]);
        }
    }
}

bool open_pipe() {
    if (g_pipe[0] >= 0) return true;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    return true;
}

}  // namespace

void SetStopSignalHandler(void (*handler)(int signalNumber)) {
    g_handler = handler;
    if (!open_pipe() || QCoreApplication::instance() == nullptr) return;
    if (!g_notifier) {
        g_notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
        QObject::connect(g_notifier.get(), &QSocketNotifier::activated, [] { drain_pipe(); });
        // The notifier must go before the application it belongs to.
        QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [] { g_notifier.reset(); });
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal_number : kStopSignals) ::sigaction(signal_number, &action, nullptr);
}

int StopSignalCount() { return g_count.load(); }

}  // namespace runtime
