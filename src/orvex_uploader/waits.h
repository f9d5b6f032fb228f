// What every bus shares while it waits: the Transmit LED, whose timer paces a
// command and its reply, and the timer of the wrong-password message.
#pragma once

namespace orvex {

// The Transmit LED's timer interval, which is also the pacing pause.
inline constexpr double kTransmitLed_s = 0.06;
// How long the wrong-password message stays on show.
inline constexpr double kPasswordMessage_s = 4.0;

// Lights the Transmit LED; its timer puts it out one interval after the last call.
void handle_tx_timer();
// Waits until the LED timer has put the Transmit LED out (the pacing pause
// between a command and its reply).
void tx_indicator_wait();

int Generic_Timer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int TX_TIMER(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

}  // namespace orvex
