// Steps that an update and an inventory take alike on any bus: reporting a
// bus's failure with its cause, judging an answer, and the rules of the first
// identification.
#pragma once

#include "bus.h"
#include "upload.h"

namespace orvex {

// Shows `message` and, on the detail line, what the bus knows of the cause.
void fail_on(const Bus& bus, const char* message);

// Whether a query brought what the run needs to go on; when not, its
// failure is shown. `silence` is the message for no answer at all, or
// nullptr where the bus goes on without one.
bool answered(const Bus& bus, const Answer& answer, const char* silence);

// Asks for the unit's identity, shows it, and applies the maker, model and
// revision rules of that bus: Updated when the unit may be updated, else
// NotReached or WrongUnit with the failure shown.
Outcome identify_first(const Bus& bus);

}  // namespace orvex
