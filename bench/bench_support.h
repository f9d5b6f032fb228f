// What every benchmark needs: the process's CPU time and the program's main
// panel, loaded and shown as start-up does.
#pragma once

#include <QtGlobal>

#include <cstdio>
#include <ctime>

#include "runtime.h"
#include "panel_handles.h"
#include "run_state.h"
#include "ui.h"

namespace bench {

inline double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Benchmarks run without a display unless one is asked for.
inline void prefer_offscreen() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
}

// False, with a message naming the benchmark, when the panel cannot be loaded.
inline bool show_program_panel(const char* benchmark) {
    runtime::SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
    if (orvex::start_up() < 0) {
        std::fprintf(stderr, "%s: the panel did not load\n", benchmark);
        return false;
    }
    runtime::DisplayPanel(orvex::update_handle);
    return true;
}

}  // namespace bench
