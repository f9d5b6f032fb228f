// The executable: reads the command line (before any Qt application exists,
// so that the modes without a window need no display), then the runtime's
// start-up, the program or a batch run, and the GPIB driver's clean-up. The
// history only reads a file and needs none of that.
#include <cstdio>

#include "batch.h"
#include "cli.h"
#include "gpib.h"
#include "history.h"
#include "identify.h"
#include "outcomes.h"
#include "runtime.h"
#include "ui.h"
#include "update_record.h"

namespace {

constexpr const char* kVersion = ORVEX_VERSION;

int run(const cli::Options& options, int argc, char* argv[]) {
    switch (options.mode) {
        case cli::Mode::Batch:
            return orvex::run_batch(options);
        case cli::Mode::Identify:
            return orvex::run_identify(options);
        case cli::Mode::ListPorts:
            return orvex::list_serial_ports();
        default:
            if (options.record_path) orvex::set_record_path(*options.record_path);
            return orvex::main(argc, argv);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const cli::Options options = cli::Parse(argc, argv, kVersion, orvex::batch_help_epilogue());
    switch (options.mode) {
        case cli::Mode::Help:
        case cli::Mode::Version:
            std::printf("%s\n", options.text.c_str());
            return 0;
        case cli::Mode::UsageError:
            std::fprintf(stderr, "orvex-uploader: %s\nTry 'orvex-uploader --help'.\n", options.text.c_str());
            return orvex::kExitUsage;
        case cli::Mode::History:
            // Reading the record needs no application, let alone a display.
            return orvex::run_history(options);
        case cli::Mode::Window:
            runtime::SetNoDisplayHandler(orvex::report_no_display);
            break;
        default:
            cli::UseHeadlessPlatform();
            break;
    }
    runtime::Startup startup(argc, argv);
    runtime::SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
    const int status = run(options, argc, argv);
    gpib::__GPIBRunStateCallback(gpib::kRunStateStop);
    return status;
}
