// The program has no threads: every wait for the unit loops on event
// processing, and a timer of the main panel ends it by clearing a flag or
// putting the Transmit LED out.
#include "waits.h"

#include <chrono>
#include <cstring>

#include "runtime.h"
#include "state.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

// A reply may reach us in several TCP segments; once its first bytes are in,
// the rest of the line is given this long to follow before the wait ends.
constexpr std::chrono::milliseconds kReplyLineGrace{30};

bool reply_has_line_end() {
    return std::memchr(rdbuffer, '\n', strnlen(rdbuffer, sizeof rdbuffer)) != nullptr;
}

}  // namespace

void handle_tx_timer() {
    SetCtrlVal(update_handle, ids::UPDATE_TX, 1);
    ResetTimer(update_handle, ids::UPDATE_TXTIMER);
    SetCtrlAttribute(update_handle, ids::UPDATE_TXTIMER, ATTR_ENABLED, 1);
}

void tx_indicator_wait() {
    // The LED going out doubles as the pause between a command and its reply.
    temp_flag = 1;
    do {
        ProcessSystemEvents();
        // A panel that cannot be read has no LED to wait for.
        if (GetCtrlVal(update_handle, ids::UPDATE_TX, &rdch) < 0) rdch = 0;
        if (rdch == 0) temp_flag = 0;
    } while (temp_flag != 0);
}

int get_tcpread() {
    ResetTimer(update_handle, ids::UPDATE_LANTIMER);
    SetCtrlAttribute(update_handle, ids::UPDATE_LANTIMER, ATTR_ENABLED, 1);
    leavenow = 1;
    std::chrono::steady_clock::time_point first_text{};
    while (leavenow != 0) {
        // The client callback fills rdbuffer while events are processed.
        if (rdbuffer[0] == '\0') {
            ProcessSystemEvents();
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (first_text == std::chrono::steady_clock::time_point{}) first_text = now;
        if (reply_has_line_end() || now - first_text >= kReplyLineGrace) {
            leavenow = 0;
        } else {
            ProcessSystemEvents();
        }
    }
    SetCtrlAttribute(update_handle, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0);
    return static_cast<int>(strnlen(rdbuffer, sizeof rdbuffer - 1));
}

int get_result_from_unit() {
    ResetTimer(update_handle, ids::UPDATE_COMTIMER);
    SetCtrlAttribute(update_handle, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
    leavenow = 1;
    while (leavenow != 0) {
        // Each read blocks up to the port's own time-out; the Com timer can
        // only end the wait between reads.
        comresult = ComRd(COMPort, rdbuffer, 1);
        if (comresult != 0) {
            leavenow = 0;
        } else {
            ProcessSystemEvents();
        }
    }
    SetCtrlAttribute(update_handle, ids::UPDATE_COMTIMER, ATTR_ENABLED, 0);
    return comresult;
}

int LanTimer(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        leavenow = 0;
        SetCtrlAttribute(update_handle, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0);
    }
    return 0;
}

int ComTimer(int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) {
        leavenow = 0;
        SetCtrlAttribute(update_handle, ids::UPDATE_COMTIMER, ATTR_ENABLED, 0);
    }
    return 0;
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
