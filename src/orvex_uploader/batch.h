// Batch mode: one update of the unit named on the command line, through the
// very procedure behind START on the panel loaded but never shown, with
// progress on stderr and the result on stdout.
#pragma once

#include "cli.h"

namespace orvex {

// Help text after the options: exit codes and examples.
const char* batch_help_epilogue();

// Runs the update `options` describe; returns the process's exit status.
int run_batch(const cli::Options& options);

// --list-ports: the serial ports and their COMn names on stdout.
int list_serial_ports();

}  // namespace orvex
