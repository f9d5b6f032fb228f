// The faults the soak injects, and what each bus must show for each: the
// Messages text and the outcome of the run. Texts come from the bus headers.
#pragma once

#include <QStringList>

#include <optional>
#include <vector>

#include "upload.h"

namespace soak {

enum class BusId { Rs232, Lan, Gpib };
inline constexpr BusId kBuses[] = {BusId::Rs232, BusId::Lan, BusId::Gpib};

struct Expect {
    const char* message;
    orvex::Outcome outcome;
};
using Cell = std::optional<Expect>;  // empty: the fault does not exist on that bus

struct Fault {
    const char* name;
    QStringList unit;  // the simulator's options
    Cell rs232;
    Cell lan;
    Cell gpib;
    const char* password = nullptr;  // typed instead of the unit's own
    bool slow = false;               // replies come late, yet within the bus's time-out

    const Cell& on(BusId bus) const { return bus == BusId::Rs232 ? rs232 : bus == BusId::Lan ? lan : gpib; }
};

// Records and code test lines of the soak's HEX file; faults on the n-th
// record stay well before the first mid-programming re-opening of RS-232.
inline constexpr int kRecords = 30;
inline constexpr int kCodeTests = 2;

const std::vector<Fault>& fault_matrix();

// Delays for the replies a run awaits: `share` of the bus's time-out, in the
// unit's own (unscaled) milliseconds.
QStringList slow_unit_args(double timeout_s, double share);

const char* outcome_name(orvex::Outcome outcome);
const char* bus_name(BusId bus);

}  // namespace soak
