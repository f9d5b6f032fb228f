// The signal handler only counts and writes one byte into a pipe; a socket
// notifier on the pipe's other end calls the program's handler when events are
// processed. A signal that arrives while a step blocks waits in the pipe until
// the step has returned and events are processed again.
#include "stop_signals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

#include "runtime.h"

namespace runtime {
namespace {

constexpr std::array kStopSignals{SIGTERM, SIGHUP, SIGINT};

using StopHandler = void (*)(int signalNumber);

std::atomic<StopHandler> g_handler{nullptr};
std::atomic<int> g_stop_count{0};
static_assert(std::atomic<int>::is_always_lock_free, "counted from a signal handler");
// Read and write ends; -1 until the first handler is set.
std::array<int, 2> g_pipe{-1, -1};
QPointer<QSocketNotifier> g_notifier;

void OnStopSignal(int signalNumber) {
    const int saved_errno = errno;
    g_stop_count.fetch_add(1, std::memory_order_relaxed);
    // Every stop signal number fits one byte. A full pipe drops the byte; the
    // count above still tells a blocking step that a stop was asked.
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved_errno;
}

bool OpenPipe() {
    if (g_pipe[0] >= 0) return true;
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    g_pipe = {ends[0], ends[1]};
    return true;
}

void DeliverPendingStops() {
    std::array<unsigned char, 64> bytes{};
    for (;;) {
        const ssize_t got = ::read(g_pipe[0], bytes.data(), bytes.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        for (ssize_t i = 0; i < got; ++i) {
            // Read once per signal: a handler may clear itself.
            if (const StopHandler handler = g_handler.load()) handler(bytes[std::size_t(i)]);
        }
    }
}

void SetDisposition(void (*action)(int)) {
    struct sigaction setting {};
    setting.sa_handler = action;
    sigemptyset(&setting.sa_mask);
    // Blocking waits resume after the handler instead of failing.
    setting.sa_flags = SA_RESTART;
    for (const int number : kStopSignals) ::sigaction(number, &setting, nullptr);
}

}  // namespace

namespace detail {

void WatchStopSignals() {
    if (g_notifier != nullptr || g_handler.load() == nullptr || g_pipe[0] < 0) return;
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) return;
    g_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, application);
    QObject::connect(g_notifier, &QSocketNotifier::activated, application, [] { DeliverPendingStops(); });
}

}  // namespace detail

void SetStopSignalHandler(void (*handler)(int signalNumber)) {
    if (handler == nullptr) {
        g_handler.store(nullptr);
        SetDisposition(SIG_DFL);
        return;
    }
    if (!OpenPipe()) return;
    g_handler.store(handler);
    SetDisposition(OnStopSignal);
    detail::WatchStopSignals();
}

int StopSignalCount() { return g_stop_count.load(std::memory_order_relaxed); }

}  // namespace runtime
