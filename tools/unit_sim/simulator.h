// One emulated unit on every bus the options name: the UnitCore, its
// transports and the files that record what happened.
#pragma once

#include "sim_options.h"
#include "snapshot_writer.h"
#include "transport.h"
#include "unit_core.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvex::sim {

class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();

    // Opens every endpoint; an error text when one cannot be opened.
    std::optional<std::string> start();
    // "ready serial=... lan=... gpib=..."
    std::string readyLine() const;
    // Writes the files and closes the endpoints (removing the link and socket).
    void shutdown();

private:
    SimOptions options_;
    std::unique_ptr<SnapshotWriter> snapshots_;
    UnitCore core_;
    std::vector<std::unique_ptr<Transport>> transports_;
    bool shutDown_ = false;
};

}  // namespace orvex::sim
