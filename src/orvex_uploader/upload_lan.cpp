// Updating a unit over its network interface.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "display.h"
#include "hex_stream.h"
#include "lan_bus.h"
#include "panel_handles.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex::lan {

using namespace runtime;

namespace {

char serverName[256] = {};
std::uint32_t lan_handle = 0;
std::uint32_t gHandle = 0;
bool read_error_shown = false;
bool exit_sent = false;  // "EXIT" went out in this run

// True when the whole of `data` went out.
bool send(const char* data, int count, unsigned timeout_ms) {
    handle_tx_timer();
    return ClientTCPWrite(lan_handle, data, count, timeout_ms) == count;
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
    clear(exchange.rdbuffer);
}

bool await_reply(ReplyEnd end = ReplyEnd::LineEnd) {
    run.comresult = get_tcpread(end);
    return run.comresult != 0;
}

bool reply_has_line_end() {
    return std::memchr(exchange.rdbuffer, '\n', strnlen(exchange.rdbuffer, sizeof exchange.rdbuffer)) !=
           nullptr;
}

// Whether the text in rdbuffer (not empty) completes the reply; `first_text`
// is when the wait first saw it.
bool reply_complete(ReplyEnd end, std::chrono::steady_clock::time_point& first_text) {
    if (end == ReplyEnd::FirstByte) return true;
    const auto now = std::chrono::steady_clock::now();
    if (first_text == std::chrono::steady_clock::time_point{}) first_text = now;
    return reply_has_line_end() || now - first_text >= kReplyLineGrace;
}

bool open() {
    GetCtrlVal(update_handle, ids::UPDATE_IPADDR, serverName);
    run.comresult =
        ConnectToTCPServer(&lan_handle, kUnitPort, serverName, ClientCallback, nullptr, kConnectTimeout_ms);
    if (run.comresult != 0) return false;
    exit_sent = false;
    ProcessDrawEvents();
    return true;
}

// The unit serves one client at a time: it grants the connection a lock, or
// refuses it in its own words, which are shown as they are.
bool claim() {
    clear(exchange.wrtbuffer);
    clear(exchange.rdbuffer);
    std::memcpy(exchange.wrtbuffer, kLockRequest, sizeof kLockRequest);
    send(exchange.wrtbuffer, static_cast<int>(sizeof kLockRequest), kCommandWriteTimeout_ms);
    ProcessSystemEvents();
    const bool lock_answered = await_reply();
    if (lock_answered && std::strcmp(exchange.rdbuffer, kLockDenied) != 0) return true;
    fail_with(lock_answered ? exchange.rdbuffer : kMsgNoLock);
    show_detail(lock_answered ? kDetailLockDenied : kDetailNoLockAnswer);
    ProcessDrawEvents();
    ProcessSystemEvents();
    return false;
}

bool command(const char* text) {
    // From "EXIT" on, the unit is about to restart: a write that cannot go
    // out is given up sooner.
    if (std::strcmp(text, kCmdExit) == 0) exit_sent = true;
    clear(exchange.wrtbuffer);
    std::strncpy(exchange.wrtbuffer, text, sizeof exchange.wrtbuffer - 1);
    send(exchange.wrtbuffer, StringLength(exchange.wrtbuffer),
         exit_sent ? kLateWriteTimeout_ms : kCommandWriteTimeout_ms);
    return true;
}

Answer query(const char* text, AnswerKind kind) {
    discard_earlier_text();
    command(text);
    tx_indicator_wait();
    // The unit erases before it answers.
    if (kind == AnswerKind::Erase) Delay(kErasePause_s);
    await_reply();
    return Answer{run.comresult, exchange.rdbuffer};
}

// Records and code tests are sent and answered; other pieces (blank lines,
// continuations of long lines) are not sent.
bool send_piece(Piece piece) {
    clear(exchange.rdbuffer);
    if (piece_is_record(piece)) {
        // A record is acknowledged at once: no pacing pause, the reply is the
        // pace. One that did not go out whole must not wait for a stray answer.
        if (!send(piece.data, piece.length, kPieceWriteTimeout_ms) || !await_reply(ReplyEnd::FirstByte)) {
            fail_with(kMsgDataToFlashFailed);
            return false;
        }
    } else if (piece_is_code_test(piece)) {
        const bool sent = send(piece.data, piece.length, kPieceWriteTimeout_ms);
        tx_indicator_wait();
        if (!sent || !await_reply()) {
            fail_with(kMsgCodeTestFailed);
            return false;
        }
    }
    return true;
}

// The connection's own failure, or else the unit's silence on it.
void explain(char* text, std::size_t size) {
    if (GetFailureDetailText(text, size) > 0 && text[0] != '\0') return;
    // Written without the locale, which may put a comma in a fraction.
    char wait[16] = {};
    std::to_chars(wait, wait + sizeof wait - 1, kReplyWait_s);
    std::snprintf(text, size, "the unit at %s did not answer within %s s", serverName, wait);
}

// Every exit gives the connection up: an abandoned one would keep the unit's
// lock and feed stale text into the next run.
void close() { run.comresult = DisconnectFromTCPServer(lan_handle); }

}  // namespace

const Bus bus = {
    .open = open,
    .command = command,
    .query = query,
    .send_piece = send_piece,
    // The unit must grant this connection its lock before any command.
    .claim = claim,
    // Closing the connection releases the lock, whatever happened.
    .close = close,
    .explain = explain,
    .open_failed = kMsgNoConnection,
    .bus_error = kMsgNoConnection,
    .silence = {.identity = kMsgIdentificationFailed,
                .password_state = kMsgPasswordFailed,
                .program_mode = kMsgNotInProgramMode,
                .second_identity = kMsgSecondIdentificationFailed},
    .reset_pause_s = kResetPause_s,
    .exit_pause_s = kExitPause_s,
    .program_mode_min = kProgramModeReplyMin,
    .program_mode_max = kProgramModeReplyMax,
    .program_mode_refusal_releases = false,
    .checks_maker = true,
    .refusal_sets_failure = false,
};

int get_tcpread(ReplyEnd end) {
    begin_reply_wait(ids::UPDATE_LANTIMER);
    std::chrono::steady_clock::time_point first_text{};
    while (run.leavenow != 0) {
        // The client callback fills rdbuffer while events are processed.
        if (exchange.rdbuffer[0] != '\0' && reply_complete(end, first_text)) {
            run.leavenow = 0;
        } else {
            ProcessSystemEvents();
        }
    }
    end_reply_wait(ids::UPDATE_LANTIMER);
    return static_cast<int>(strnlen(exchange.rdbuffer, sizeof exchange.rdbuffer - 1));
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
            show_popup(kReadErrorTitle, kReadErrorMessage);
            read_error_shown = false;
        }
        return 0;
    }
    // A reply may come in several blocks: each is added to what is there, up
    // to the first zero byte, and rdbuffer stays a terminated text.
    const std::size_t used = strnlen(exchange.rdbuffer, sizeof exchange.rdbuffer - 1);
    const std::size_t text = strnlen(block, static_cast<std::size_t>(received));
    const std::size_t room = sizeof exchange.rdbuffer - 1 - used;
    const std::size_t copied = text < room ? text : room;
    std::memcpy(exchange.rdbuffer + used, block, copied);
    exchange.rdbuffer[used + copied] = '\0';
    return 0;
}

int LanTimer(int, int, int event, void*, int, int) {
    reply_timer_tick(ids::UPDATE_LANTIMER, event);
    return 0;
}

}  // namespace orvex::lan
