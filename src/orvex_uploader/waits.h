// The timers of the main panel, the Transmit indicator and the reply waits.
#pragma once

namespace orvex {

// Lights the Transmit LED; its timer puts it out one interval after the last call.
void handle_tx_timer();
// Waits until the LED timer has put the Transmit LED out (the pacing pause
// between a command and its reply).
void tx_indicator_wait();
// Waits for text in rdbuffer; its length, or 0 when the LAN timer ran out.
int get_tcpread();
// Waits for one byte from COMPort into rdbuffer[0]: 1, a negative port error,
// or 0 when the Com timer ran out.
int get_result_from_unit();

int LanTimer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int ComTimer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int Generic_Timer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int TX_TIMER(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

}  // namespace orvex
