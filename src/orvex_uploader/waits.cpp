// The program has no threads: every wait for the unit loops on event
// processing, and a timer of the main panel ends it by clearing a flag or
// putting the Transmit LED out.
#include "waits.h"

#include "panel_handles.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

// The Transmit LED as this file last set it, on which panel: while records
// stream it stays lit, and setting it again for each would be wasted work.
// A panel loaded anew starts with its own LED state, so it is written again.
struct TxLed {
    int panel = 0;
    int lit = 0;
};
TxLed tx_led;

void set_tx_led(int lit) {
    if (tx_led.panel == update_handle && tx_led.lit == lit) return;
    if (SetCtrlVal(update_handle, ids::UPDATE_TX, lit) == 0) tx_led = {update_handle, lit};
}

}  // namespace

void handle_tx_timer() {
    set_tx_led(1);
    ResetTimer(update_handle, ids::UPDATE_TXTIMER);
    SetCtrlAttribute(update_handle, ids::UPDATE_TXTIMER, ATTR_ENABLED, 1);
}

void tx_indicator_wait() {
    // The LED going out doubles as the pause between a command and its reply.
    run.temp_flag = 1;
    do {
        ProcessSystemEvents();
        // A panel that cannot be read has no LED to wait for.
        if (GetCtrlVal(update_handle, ids::UPDATE_TX, &run.rdch) < 0) run.rdch = 0;
        if (run.rdch == 0) run.temp_flag = 0;
    } while (run.temp_flag != 0);
}

void begin_reply_wait(int timer) {
    ResetTimer(update_handle, timer);
    SetCtrlAttribute(update_handle, timer, ATTR_ENABLED, 1);
    run.leavenow = 1;
}

void end_reply_wait(int timer) { SetCtrlAttribute(update_handle, timer, ATTR_ENABLED, 0); }

void reply_timer_tick(int timer, int event) {
    if (event != EVENT_TIMER_TICK) return;
    run.leavenow = 0;
    end_reply_wait(timer);
}

int Generic_Timer(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        SetCtrlAttribute(update_handle, ids::UPDATE_PASSMSG, ATTR_VISIBLE, 0);
        SetCtrlAttribute(update_handle, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
    }
    return 0;
}

int TX_TIMER(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        set_tx_led(0);
        SetCtrlAttribute(update_handle, ids::UPDATE_TXTIMER, ATTR_ENABLED, 0);
    }
    return 0;
}

}  // namespace orvex
