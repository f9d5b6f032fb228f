// The procedure behind START: prepares the panel, runs the steps of an update
// on the chosen bus and gives the panel back, whatever the outcome.
#pragma once

#include "bus.h"

namespace orvex {

int start_update(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

// Every step of one update on `bus`, from opening it to the result, with each
// outcome shown on the panel. The panel must already be prepared for a run.
void run_update(const Bus& bus, const char* password);

}  // namespace orvex
