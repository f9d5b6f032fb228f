// The command line of orvex-uploader. Plain C++ on the outside; Qt's command
// line parser behind it. Parsing needs no application object, so the program
// can choose its Qt platform from the result before one exists.
#pragma once

#include <optional>
#include <string>

namespace cli {

enum class Mode {
    Window,     // no mode option: the panel
    Batch,      // --batch RESOURCE FILE
    Identify,   // --identify RESOURCE
    History,    // --history [SERIAL | RESOURCE]
    ListPorts,  // --list-ports
    Version,    // --version
    Help,       // --help
    UsageError,
};

// Batch retries: at most this many more runs after the first.
inline constexpr int kMaxRetries = 9;
inline constexpr double kDefaultRetryPause_s = 5.0;
// A longer pause is a typing error, not a plan for the night.
inline constexpr double kMaxRetryPause_s = 3600.0;

struct Options {
    Mode mode = Mode::Window;
    std::string resource;  // Batch, Identify
    std::string file;      // Batch
    std::string unit;      // History: a serial number or a resource; empty for every unit
    int retries = 0;       // Batch
    double retry_pause_s = kDefaultRetryPause_s;
    bool json = false;
    std::optional<std::string> record_path;
    std::optional<std::string> password_file;
    std::optional<double> time_scale;  // hidden, for tests
    // Help: the whole help text; Version: the version line; UsageError: what
    // was wrong.
    std::string text;
};

// Reads argv. `version` goes into --version; `epilogue` (exit codes and
// examples) is appended to --help.
Options Parse(int argc, char** argv, const char* version, const char* epilogue);

// Qt draws nowhere, and keeps its notes about that platform off stderr: for
// the modes that need no window, before the application object exists.
void UseHeadlessPlatform();

}  // namespace cli
