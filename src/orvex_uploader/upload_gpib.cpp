// Updating a unit on a GPIB board: the program is controller-in-charge, sends
// every command with EOI on its last byte and reads answers ended by EOI.
#include <algorithm>
#include <cstring>

#include "gpib.h"
#include "identification.h"
#include "runtime.h"
#include "sequences.h"
#include "state.h"
#include "upload.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex {

using namespace runtime;

namespace {

constexpr int kRemoteEnable = 1;
constexpr int kBoardOffline = 0;
constexpr int kMaxAnswer = 255;        // bytes one read may store
constexpr double kExitPause_s = 10.0;  // the unit restarts with its new firmware
constexpr const char* kMsgNotResponding = "Unit Not Responding";
constexpr const char* kFmtPasswordState = "%s<:syst:pass:stat?\n";

gpib::Addr4882_t unit_address() { return gpib::MakeAddr(gpib_addr, gpib::NO_SAD); }

bool driver_failed() { return (gpib::ibsta & gpib::ERR) != 0; }

// Releases the board: interface clear, then offline.
void release_board() {
    gpib::SendIFC(board_nu);
    gpib::ibonl(board_nu, kBoardOffline);
}

void fail_not_responding() { fail_with(kMsgNotResponding); }

}  // namespace

int OX_Rcv(char* reply, std::size_t size) {
    if (reply == nullptr || size == 0) return 1;
    // Whatever the previous answer left must not survive into this one.
    std::memset(reply, 0, strnlen(reply, size));
    const std::size_t limit = std::min<std::size_t>(kMaxAnswer, size - 1);
    gpib::Receive(board_nu, unit_address(), reply, limit, gpib::STOPend);
    const long received = gpib::ibcntl;
    reply[received > 0 ? std::min<std::size_t>(static_cast<std::size_t>(received), limit) : 0] = '\0';
    // The first line feed ends the answer; a carriage return before it stays.
    if (char* line_feed = std::strchr(reply, '\n')) *line_feed = '\0';
    return driver_failed() ? 1 : 0;
}

int OX_Send(const char* command, char* reply, std::size_t size) {
    handle_tx_timer();
    gpib::Send(board_nu, unit_address(), command, std::strlen(command), gpib::DABend);
    if (driver_failed()) return 1;
    // Only a query is answered; any "?" makes the command one.
    if (std::strchr(command, '?') == nullptr) return 0;
    return OX_Rcv(reply, size);
}

namespace {

// A command of the sequence, with its answer in buf when it is a query; false
// (with the message shown) when the driver reported an error.
bool sent(const char* command) {
    if (OX_Send(command, buf) == 0) return true;
    fail_not_responding();
    return false;
}

// One answer into buf; false (with the message shown) on a driver error.
bool received() {
    if (OX_Rcv(buf) == 0) return true;
    fail_not_responding();
    return false;
}

// Each piece goes out exactly as read, line end included; only a code test
// is answered.
bool send_piece() {
    bool ok = OX_Send(wrtBuf, buf) == 0;
    if (ok && piece_is_code_test()) {
        tx_indicator_wait();
        ok = OX_Rcv(rdBuf) == 0;
    }
    if (!ok) fail_not_responding();
    return ok;
}

// Every step until the release; returns false when the run ends without it.
bool run_to_release(const char* password) {
    Cls();
    GetCtrlVal(update_handle, ids::UPDATE_GPIBBOARDS, &board_nu);
    gpib::SendIFC(board_nu);
    gpib::ibsre(board_nu, kRemoteEnable);
    GetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION_2, &gpib_addr);

    if (!sent(kCmdReset)) {
        // The one early failure that gives the board up: it may not work at all.
        release_board();
        return false;
    }
    ProcessSystemEvents();
    tx_indicator_wait();
    gpib::ibtmo(board_nu, gpib::T10s);

    if (!sent(kCmdIdentify)) return false;
    ProcessSystemEvents();
    tx_indicator_wait();
    extract_info(buf);
    show_first_identification();
    if (std::strcmp(Make, kMakerName) != 0) {
        fail_with(kMsgUnknownUnit);
        return false;
    }
    if (ok_to_use == 0) {
        fail_with(kMsgWrongModel);
        return false;
    }

    ProcessDrawEvents();
    ProcessSystemEvents();
    clear(wrtBuf);
    Fmt(wrtBuf, kFmtUnlock, password);
    if (!sent(wrtBuf)) return false;
    tx_indicator_wait();

    clear(wrtBuf);
    Fmt(wrtBuf, kFmtPasswordState);
    if (!sent(wrtBuf)) return false;
    if (buf[0] == '0') {
        show_password_refused();
        return false;
    }

    restore_password_field();
    if (!open_hex_file()) return false;
    measure_hex_file();

    show_message(kMsgSettingUp);
    ProcessDrawEvents();
    ProcessSystemEvents();
    if (!sent(kCmdProgramMode)) return false;
    tx_indicator_wait();
    if (!received()) return false;

    show_message(kMsgErasing);
    ProcessDrawEvents();
    ProcessSystemEvents();
    if (!sent(kCmdErase)) return false;
    ProcessSystemEvents();
    tx_indicator_wait();
    if (!received()) return false;
    if (buf[0] == '\0') {
        fail_with(kMsgEraseFailed);
        return false;
    }
    show_progress_text(kMsgProgramming);

    if (buf[0] == '0') {
        stream_hex_file(send_piece);
        close_hex_file();
    }
    tx_indicator_wait();
    // A failure in the loop leaves the unit in programming mode, but the board
    // is still released.
    if (failure == 1) return true;

    if (!sent(kCmdExit)) return false;
    ProcessSystemEvents();
    show_progress_text(kMsgLoopDone);
    tx_indicator_wait();
    Delay(kExitPause_s);

    if (!sent(kCmdIdentify)) return false;
    tx_indicator_wait();
    extract_info(buf);
    show_second_identification();
    return true;
}

}  // namespace

void gpib_sequence(const char* password) {
    if (!run_to_release(password)) return;
    release_board();
    if (failure == 0) show_message("");
    show_result();
    ProcessDrawEvents();
}

}  // namespace orvex
