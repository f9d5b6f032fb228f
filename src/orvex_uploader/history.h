// The update record read back: which firmware went into which unit, and
// when, newest run first. Needs neither a display nor the panel.
#pragma once

#include "cli.h"

namespace orvex {

// Runs --history [SERIAL | RESOURCE]; returns the process's exit status.
int run_history(const cli::Options& options);

// The exit status part of --help.
const char* history_help();

}  // namespace orvex
