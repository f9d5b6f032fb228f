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

void handle_tx_timer() {
    SetCtrlVal(update_handle, ids::UPDATE_TX, 1);
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

int Generic_Timer(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        SetCtrlAttribute(update_handle, ids::UPDATE_PASSMSG, ATTR_VISIBLE, 0);
        SetCtrlAttribute(update_handle, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
    }
    return 0;
}

int TX_TIMER(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        SetCtrlVal(update_handle, ids::UPDATE_TX, 0);
        SetCtrlAttribute(update_handle, ids::UPDATE_TXTIMER, ATTR_ENABLED, 0);
    }
    return 0;
}

}  // namespace orvex
