#include "batch_progress.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "run_observers.h"

namespace orvex {
namespace {

constexpr int kBarWidth_chars = 30;
constexpr int kPlainStep_percent = 10;  // a plain line every this many percent
constexpr int kFullPercent = 100;

struct ProgressState {
    bool on_terminal = false;
    bool bar_drawn = false;
    int percent = 0;
    int last_plain_percent = -1;
    std::string step;
};
ProgressState g_progress;

void draw_bar() {
    const int filled = g_progress.percent * kBarWidth_chars / kFullPercent;
    const std::string bar = std::string(filled, '#') + std::string(kBarWidth_chars - filled, ' ');
    // "\033[K" clears what a longer step text left behind.
    std::fprintf(stderr, "\r[%s] %3d %%  %s\033[K", bar.c_str(), g_progress.percent, g_progress.step.c_str());
    std::fflush(stderr);
    g_progress.bar_drawn = true;
}

void on_started() {
    g_progress.percent = 0;
    g_progress.last_plain_percent = -1;
    g_progress.step.clear();
}

void on_message(const char* text) {
    if (text == nullptr || g_progress.step == text) return;
    g_progress.step = text;
    if (g_progress.on_terminal) {
        draw_bar();
    } else if (g_progress.step.find_first_not_of(' ') != std::string::npos) {
        std::fprintf(stderr, "%s\n", text);
    }
}

void on_progress(int percent) {
    if (percent == g_progress.percent && g_progress.bar_drawn) return;
    g_progress.percent = percent;
    if (g_progress.on_terminal) {
        draw_bar();
        return;
    }
    const int step = percent / kPlainStep_percent * kPlainStep_percent;
    if (step == g_progress.last_plain_percent) return;
    g_progress.last_plain_percent = step;
    std::fprintf(stderr, "%s %d %%\n", g_progress.step.c_str(), step);
}

}  // namespace

void show_batch_progress(bool on_terminal) {
    g_progress.on_terminal = on_terminal;
    add_run_observer({on_started, on_message, on_progress});
}

void end_batch_progress() {
    if (g_progress.bar_drawn) std::fputc('\n', stderr);
    g_progress.bar_drawn = false;
    std::fflush(stderr);
}

}  // namespace orvex
