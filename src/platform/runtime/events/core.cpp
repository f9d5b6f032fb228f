// Start-up, pauses (which keep the windows painted) and the time scale.
#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include <sys/prctl.h>

#include "no_display.h"
#include "paint_pump.h"
#include "runtime.h"

namespace runtime {
namespace {

// Shorter pauses sleep in one piece: they are the pacing between pieces of
// an upload and must stay precise, and no one sees a window miss a repaint
// for that long.
constexpr double kPaintFreeDelay_s = 0.05;

std::atomic<double> g_time_scale{1.0};
std::atomic<int> g_standalone{1};

// Argument storage for an application the runtime creates itself: QApplication
// keeps references to argc and argv for its whole life.
int g_argc = 0;
char** g_argv = nullptr;
std::unique_ptr<QApplication> g_application;

}  // namespace

Startup::Startup(int& argc, char** argv) {
    if (QCoreApplication::instance() == nullptr) {
        // Qt's own event dispatcher: the waits process events once per reply,
        // and it dispatches a socket event with fewer system calls than glib's.
        if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
        g_argc = argc;
        g_argv = argv;
        const detail::DisplayWatch watch;
        g_application = std::make_unique<QApplication>(g_argc, g_argv);
        owns_application_ = true;
    }
}

Startup::~Startup() {
    if (owns_application_) g_application.reset();
}

int DisableBreakOnLibraryErrors() {
    // Errors always come back as return values here; there is nothing to switch.
    return 0;
}

int InStandaloneExecutable() { return g_standalone.load(); }

void SetStandaloneExecutable(int standalone) { g_standalone.store(standalone != 0 ? 1 : 0); }

void Cls() {
    // There is no standard output window to clear.
}

void SetTimeScale(double scale) {
    if (scale > 0.0) g_time_scale.store(scale);
}

double TimeScale() { return g_time_scale.load(); }

void Delay(double seconds) {
    if (!(seconds > 0.0)) return;
    // Short pauses are often repeated thousands of times in a row: the
    // kernel's default 50 us of timer slack per sleep would add up.
    static const bool precise_sleeps = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)precise_sleeps;
    const auto duration = std::chrono::duration<double>(seconds * TimeScale());
    if (duration.count() < kPaintFreeDelay_s) {
        std::this_thread::sleep_for(duration);
        return;
    }
    // Slices end on the clock, not by adding up sleeps, so that the time
    // spent painting between them does not lengthen the pause.
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration);
    const auto slice = std::chrono::milliseconds(detail::PaintSlice_ms(INT_MAX));
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        std::this_thread::sleep_until(std::min(now + slice, end));
        if (Clock::now() < end) detail::KeepPainting();
    }
}

}  // namespace runtime
