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

// A reply wait of a bus: `timer` is started afresh and its tick ends the wait
// (clears run.leavenow); the wait stops the timer when it ends either way.
void begin_reply_wait(int timer);
void end_reply_wait(int timer);
// The tick callback of a reply wait's timer.
void reply_timer_tick(int timer, int event);

int Generic_Timer(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int TX_TIMER(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

}  // namespace orvex
