// The longest gap between two paints of the program's window while a step
// blocks the user-interface thread (goal: under 100 ms), and the CPU share the
// painting costs. Prints one line per step.
//   bench_paint
#include <QEvent>
#include <QTemporaryDir>
#include <QWidget>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "../bench_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "panel_handles.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr double kGapGoal_ms = 100.0;
constexpr int kComPort = 1;
constexpr double kReadTimeout_s = 10.0;

class PaintTimes final : public QObject {
public:
    std::vector<Clock::time_point> times;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) times.push_back(Clock::now());
        return QObject::eventFilter(watched, event);
    }
};

// The longest stretch without a paint between `begun` and `ended`, both ends
// counted as edges.
double LongestGap_ms(const std::vector<Clock::time_point>& times, Clock::time_point begun,
                     Clock::time_point ended) {
    Clock::time_point previous = begun;
    double longest = 0.0;
    for (const Clock::time_point t : times) {
        if (t < begun || t > ended) continue;
        longest = std::max(longest, std::chrono::duration<double, std::milli>(t - previous).count());
        previous = t;
    }
    return std::max(longest, std::chrono::duration<double, std::milli>(ended - previous).count());
}

void Measure(const char* name, PaintTimes& paints, const std::function<void()>& step) {
    runtime::ProcessDrawEvents();
    paints.times.clear();
    const double cpu_before = bench::cpu_seconds();
    const auto begun = Clock::now();
    step();
    const auto ended = Clock::now();
    const double cpu = bench::cpu_seconds() - cpu_before;
    const double wall = std::chrono::duration<double>(ended - begun).count();
    const double gap = LongestGap_ms(paints.times, begun, ended);
    std::printf("  %-28s %6.2f s  %5zu paints  longest gap %7.1f ms (goal < %.0f ms: %s)  CPU %5.2f %%\n",
                name, wall, paints.times.size(), gap, kGapGoal_ms, gap < kGapGoal_ms ? "met" : "MISSED",
                100.0 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
    bench::prefer_offscreen();
    runtime::Startup startup(argc, argv);
    if (!bench::show_program_panel("bench_paint")) return 1;
    runtime::ProcessSystemEvents();
    PaintTimes paints;
    runtime::PanelWindow(orvex::update_handle)->installEventFilter(&paints);

    // A silent far end: a pseudo-terminal whose master never writes.
    QTemporaryDir dir;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::symlink(::ptsname(master), qPrintable(dir.filePath("COM1"))) != 0) {
        std::fprintf(stderr, "bench_paint: no pseudo-terminal\n");
        return 1;
    }
    qputenv("ORVEX_SERIAL_DIR", dir.path().toLocal8Bit());
    if (runtime::OpenComConfig(kComPort, "COM1", 38400, 0, 8, 1, 512, 512) != 0) {
        std::fprintf(stderr, "bench_paint: the port did not open\n");
        return 1;
    }
    runtime::SetComTime(kComPort, kReadTimeout_s);

    std::printf("Painting while a step blocks\n");
    Measure("Delay(2 s)", paints, [] { runtime::Delay(2.0); });
    Measure("serial read time-out (10 s)", paints, [] {
        char line[16] = {};
        runtime::ComRdTerm(kComPort, line, sizeof line, '\n');
    });
    Measure("worker call (1 s)", paints,
            [] { runtime::WhilePainting([] { std::this_thread::sleep_for(std::chrono::seconds(1)); }); });
    runtime::CloseCom(kComPort);
    ::close(master);
    return 0;
}
