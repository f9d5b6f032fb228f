// The three bus sequences. Each runs one whole upload on its bus, reporting
// every outcome on the panel, and returns to the procedure's closing step.
#pragma once

namespace orvex {

void rs232_sequence(const char* password);
void gpib_sequence(const char* password);
void lan_sequence(const char* password);

// The TCP client callback of the LAN sequence.
int ClientCallback(unsigned handle, int xType, int errCode, void* callbackData);

}  // namespace orvex
