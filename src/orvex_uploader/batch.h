// Batch mode: one update of the unit named on the command line, through the
// very procedure behind START on the panel loaded but never shown, with
// progress on stderr and the result on stdout.
#pragma once

#include <string>

#include "cli.h"
#include "resource.h"

namespace orvex {

// Help text after the options: exit codes and examples.
const char* batch_help_epilogue();

// Runs the update `options` describe; returns the process's exit status.
int run_batch(const cli::Options& options);

// --list-ports: the serial ports and their COMn names on stdout.
int list_serial_ports();

// What the modes that reach a unit without a window share.
// Prints `text` as a usage error; returns the usage exit status.
int usage_error(const std::string& text);
// Loads the panels (never shown) and readies the runtime for a run without a
// window: 0, or the exit status when the panel file cannot be loaded.
int prepare_headless_panel(const cli::Options& options);
// Chooses the bus of `resource` and its port, board and address or IP
// address on the panel, as an operator would.
void arrange_resource(const Resource& resource);

}  // namespace orvex
