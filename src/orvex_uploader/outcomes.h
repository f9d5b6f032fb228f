// How each outcome of an update is named in records and JSON, and the status
// a batch run ends with for it.
#pragma once

#include <string>

#include "upload.h"

namespace orvex {

inline constexpr int kExitUsage = 64;  // the command line itself is wrong
inline constexpr int kExitInterrupted = 130;

struct OutcomeInfo {
    Outcome outcome;
    const char* name;     // in records and JSON
    int exit_code;        // of a batch run
    const char* meaning;  // for --help
    // The result to report when the run left Messages empty.
    const char* quiet_result;
    // Another run from the start may end better (a link that dropped, a unit
    // slow to come back); the other outcomes would only repeat, and a refused
    // password tried again could lock the unit out.
    bool another_run_may_mend = false;
};

const OutcomeInfo& outcome_info(Outcome outcome);
// "  0  updated ..." lines for --help, one per exit code.
const char* exit_code_help();
// One such line, for the other modes' exit codes.
std::string exit_code_line(int exit_code, const char* meaning);

}  // namespace orvex
