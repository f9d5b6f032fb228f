// Inventory mode: which unit answers at a resource, which revision it runs and
// whether this program would update it. The unit hears its bus's claim, one
// identification query and its release, nothing else: no reset, password,
// erase or record.
#pragma once

#include "cli.h"

namespace orvex {

// Runs --identify RESOURCE; returns the process's exit status: 0 when this
// program would update the unit, 4 when its maker, model or revision rules
// that out, 3 when it was not reached, 64 for a resource it cannot read.
int run_identify(const cli::Options& options);

// The exit status part of --help.
const char* identify_help();

}  // namespace orvex
