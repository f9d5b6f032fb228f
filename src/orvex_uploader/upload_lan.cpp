// Updating a unit over its network interface: one TCP connection to port 5025,
// opened with a lock request; replies arrive through ClientCallback.
#include <cstring>

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

constexpr int kUnitPort = 5025;
constexpr unsigned kConnectTimeout_ms = 5000;
constexpr unsigned kCommandWriteTimeout_ms = 1000;  // from the lock request to "ERASE"
constexpr unsigned kPieceWriteTimeout_ms = 200;
constexpr unsigned kLateWriteTimeout_ms = 500;  // "EXIT" and the second "*IDN?"
constexpr unsigned kCallbackReadTimeout_ms = 1000;
constexpr double kResetPause_s = 1.0;
constexpr double kErasePause_s = 5.0;
constexpr double kExitPause_s = 12.0;  // the unit restarts with its new firmware

// The lock request: DC2 and a line feed.
constexpr char kLockRequest[] = {0x12, 0x0A};
constexpr const char* kLockDenied = "<DENIED LOCK>\r\n";

// Program mode is acknowledged by a reply of this many characters, line end included.
constexpr int kProgramModeReplyMin = 6;
constexpr int kProgramModeReplyMax = 7;

constexpr std::size_t kReceiveBlockSize = 256;
// Text that came before a command is read off the connection in blocks of the
// receive block's size; a unit that babbles on cannot hold the run here.
constexpr int kMaxStaleBlocks = 64;

constexpr const char* kMsgNoConnection = "Failed To Connect";
constexpr const char* kMsgNoLock = "Unable to Get a LOCK";
constexpr const char* kMsgIdentificationFailed = "Identification Failed";
constexpr const char* kMsgPasswordFailed = "Password Failed";
constexpr const char* kMsgNotInProgramMode = "Not In Program Mode";
constexpr const char* kMsgDataToFlashFailed = "Data to Flash Failed";
constexpr const char* kMsgCodeTestFailed = "Code Test Failed";
constexpr const char* kMsgSecondIdentificationFailed = "Second Identification Failed";
constexpr const char* kReadErrorTitle = "TCP Client";
constexpr const char* kReadErrorMessage = "TCP read error!";

bool read_error_shown = false;

void send(const char* data, int count, unsigned timeout_ms) {
    handle_tx_timer();
    ClientTCPWrite(lan_handle, data, count, timeout_ms);
}

// Puts the command into wrtbuffer and sends it with its exact length.
void send_command(const char* command, unsigned timeout_ms) {
    put_command(command);
    send(wrtbuffer, StringLength(wrtbuffer), timeout_ms);
}

// Before a command whose reply is judged: drops what the unit sent before it
// (text that arrived during a pause, the late end of an earlier reply) so that
// only the answer to this command can reach rdbuffer. A fast answer that
// comes while the Transmit LED is still lit is kept.
void discard_earlier_text() {
    char stale[kReceiveBlockSize];
    for (int block = 0; block < kMaxStaleBlocks; ++block) {
        if (ClientTCPRead(lan_handle, stale, static_cast<int>(sizeof stale), 0) <= 0) break;
    }
    clear(rdbuffer);
}

bool await_reply() {
    comresult = get_tcpread();
    return comresult != 0;
}

// One piece of the HEX file; false when the unit did not answer it.
bool send_piece() {
    clear(rdbuffer);
    if (piece_is_record()) {
        // A record is acknowledged at once: no pacing pause, the reply is the pace.
        send(wrtBuf, lg, kPieceWriteTimeout_ms);
        if (!await_reply()) {
            fail_with(kMsgDataToFlashFailed);
            return false;
        }
    } else if (piece_is_code_test()) {
        send(wrtBuf, lg, kPieceWriteTimeout_ms);
        tx_indicator_wait();
        if (!await_reply()) {
            fail_with(kMsgCodeTestFailed);
            return false;
        }
    }
    // Other pieces (blank lines, continuations of long lines) are not sent.
    return true;
}

// Every step of the run while connected. The caller closes the connection.
void run_connected(const char* password) {
    clear(wrtbuffer);
    clear(rdbuffer);
    std::memcpy(wrtbuffer, kLockRequest, sizeof kLockRequest);
    send(wrtbuffer, static_cast<int>(sizeof kLockRequest), kCommandWriteTimeout_ms);
    ProcessSystemEvents();
    const bool lock_answered = await_reply();
    if (!lock_answered || std::strcmp(rdbuffer, kLockDenied) == 0) {
        // A refusal is shown as the unit worded it.
        fail_with(lock_answered ? rdbuffer : kMsgNoLock);
        ProcessDrawEvents();
        ProcessSystemEvents();
        return;
    }

    send_command(kCmdReset, kCommandWriteTimeout_ms);
    tx_indicator_wait();
    Delay(kResetPause_s);

    discard_earlier_text();
    send_command(kCmdIdentify, kCommandWriteTimeout_ms);
    tx_indicator_wait();
    if (!await_reply()) return fail_with(kMsgIdentificationFailed);
    extract_info(rdbuffer);
    show_first_identification();
    if (std::strcmp(Make, kMakerName) != 0) return fail_with(kMsgUnknownUnit);
    if (ok_to_use == 0) return fail_with(kMsgWrongModel);

    ProcessDrawEvents();
    clear(wrtbuffer);
    Fmt(wrtbuffer, kFmtUnlock, password);
    send(wrtbuffer, StringLength(wrtbuffer), kCommandWriteTimeout_ms);
    tx_indicator_wait();

    discard_earlier_text();
    send_command(kCmdPasswordState, kCommandWriteTimeout_ms);
    tx_indicator_wait();
    if (!await_reply()) return fail_with(kMsgPasswordFailed);
    if (rdbuffer[0] == '0') return show_password_refused();

    restore_password_field();
    if (!open_hex_file()) return;

    discard_earlier_text();
    show_progress_text(kMsgSettingUp);
    send_command(kCmdProgramMode, kCommandWriteTimeout_ms);
    tx_indicator_wait();
    if (!await_reply()) return fail_with(kMsgNotInProgramMode);
    if (comresult < kProgramModeReplyMin || comresult > kProgramModeReplyMax) return;

    measure_hex_file();
    show_progress_text(kMsgErasing);
    // Emptied before the command, not after the pacing pause: a fast unit's
    // answer may already be in by then and must not be thrown away.
    discard_earlier_text();
    send_command(kCmdErase, kCommandWriteTimeout_ms);
    tx_indicator_wait();
    Delay(kErasePause_s);
    if (!await_reply()) return fail_with(kMsgEraseFailed);
    show_progress_text(kMsgProgramming);

    if (rdbuffer[0] == '0') {
        stream_hex_file(send_piece);
        close_hex_file();
        if (failure == 0) show_message(kMsgLoopDone);
        ProcessDrawEvents();
        tx_indicator_wait();
        if (failure == 1) return;
    }

    send_command(kCmdExit, kLateWriteTimeout_ms);
    tx_indicator_wait();
    Delay(kExitPause_s);

    // The same for the identification after the restart.
    discard_earlier_text();
    send_command(kCmdIdentify, kLateWriteTimeout_ms);
    tx_indicator_wait();
    if (!await_reply()) return fail_with(kMsgSecondIdentificationFailed);
    extract_info(rdbuffer);
    show_second_identification();
    show_message("");
    show_result();
}

}  // namespace

void lan_sequence(const char* password) {
    GetCtrlVal(update_handle, ids::UPDATE_IPADDR, serverName);
    comresult =
        ConnectToTCPServer(&lan_handle, kUnitPort, serverName, ClientCallback, nullptr, kConnectTimeout_ms);
    if (comresult != 0) {
        fail_with(kMsgNoConnection);
        return;
    }
    ProcessDrawEvents();
    run_connected(password);
    // Every exit gives the connection up: an abandoned one would keep the
    // unit's lock and feed stale text into the next run.
    comresult = DisconnectFromTCPServer(lan_handle);
}

int ClientCallback(unsigned handle, int xType, int, void*) {
    gHandle = handle;
    if (xType != TCP_DATAREADY) return 0;
    char block[kReceiveBlockSize] = {};
    const int received =
        ClientTCPRead(gHandle, block, static_cast<int>(sizeof block), kCallbackReadTimeout_ms);
    if (received < 0) {
        // One error, one pop-up: errors while it is open are not stacked on it.
        if (!read_error_shown) {
            read_error_shown = true;
            MessagePopup(kReadErrorTitle, kReadErrorMessage);
            read_error_shown = false;
        }
        return 0;
    }
    // A reply may come in several blocks: each is added to what is there, up
    // to the first zero byte, and rdbuffer stays a terminated text.
    const std::size_t used = strnlen(rdbuffer, sizeof rdbuffer - 1);
    const std::size_t text = strnlen(block, static_cast<std::size_t>(received));
    const std::size_t room = sizeof rdbuffer - 1 - used;
    const std::size_t copied = text < room ? text : room;
    std::memcpy(rdbuffer + used, block, copied);
    rdbuffer[used + copied] = '\0';
    return 0;
}

}  // namespace orvex
