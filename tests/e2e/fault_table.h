// The one table of faults, across the buses.
#pragma once

#include <vector>

#include "fixture.h"

namespace orvex::test {

// Records and code tests of the table's HEX file: faults on the fifth record
// stay well before RS-232's first re-opening while programming.
inline constexpr int kTableRecords = 30;
inline constexpr int kTableCodeTests = 2;

const std::vector<FaultRow>& fault_table();

}  // namespace orvex::test
