// orvex-unit-sim: one emulated unit of the family on RS-232, LAN and GPIB, for
// tests, benchmarks and the demo. See usageText() for the command line.
#include "signal_watcher.h"
#include "sim_options.h"
#include "simulator.h"
#include "tool_commands.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kExitEndpointFailed = 3;

}  // namespace

int main(int argc, char** argv) {
    using namespace orvex::sim;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "verify") return runVerify({args.begin() + 1, args.end()});
    if (!args.empty() && args.front() == "make-hex") return runMakeHex({args.begin() + 1, args.end()});

    std::optional<std::string> gpibFromEnvironment;
    if (const char* pattern = std::getenv(kGpibEnvironmentVariable)) gpibFromEnvironment = pattern;
    ParsedOptions parsed = parseOptions(args, gpibFromEnvironment);
    if (parsed.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "orvex-unit-sim: %s\n(see --help)\n", parsed.error.c_str());
        return kExitUsage;
    }

    // A peer that vanishes mid-write must not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Simulator simulator(std::move(*parsed.options));
    SignalWatcher stopSignals([](int) { QCoreApplication::quit(); });
    if (auto error = stopSignals.install()) {
        std::fprintf(stderr, "orvex-unit-sim: %s\n", error->c_str());
        return kExitEndpointFailed;
    }
    if (auto error = simulator.start()) {
        std::fprintf(stderr, "orvex-unit-sim: %s\n", error->c_str());
        simulator.shutdown();
        return kExitEndpointFailed;
    }
    std::printf("%s\n", simulator.readyLine().c_str());
    std::fflush(stdout);
    QCoreApplication::exec();
    simulator.shutdown();
    // Sockets closed at shutdown were handed to deleteLater(); the loop is gone.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
