// Updating a unit on a serial port.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "display.h"
#include "hex_stream.h"
#include "panel_handles.h"
#include "rs232_bus.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex::rs232 {

using namespace runtime;

namespace {

static_assert(kLineReadMax <= int(kCommandSize), "a whole reply line fits the read buffer");

int COMPort = 1;
char deviceName[20] = {};
int reopen_stage = 0;  // mid-programming re-openings done in this run

int open_port() {
    return OpenComConfig(COMPort, deviceName, kBaudRate, kParityNone, kDataBits, kStopBits, kDefaultQueueSize,
                         kDefaultQueueSize);
}

// Puts `text` into the command buffer, lights the LED and writes it with its
// exact length.
int write_command(const char* text) {
    clear(exchange.wrtbuffer);
    std::strncpy(exchange.wrtbuffer, text, sizeof exchange.wrtbuffer - 1);
    handle_tx_timer();
    return ComWrt(COMPort, exchange.wrtbuffer, StringLength(exchange.wrtbuffer));
}

// Reads one reply line and keeps it in rdbuffer as a terminated text. The
// port is read with the full count, so a reply of 255 bytes still has its
// line feed taken with it; of a reply of 256 bytes the last one is left out
// of the text, to keep room for the terminator. A port error (the unit
// vanished) counts as no reply.
int read_line(int max_count) {
    char line[kCommandSize + 1];
    const int count = ComRdTerm(COMPort, line, max_count, kLineFeed);
    if (count <= 0) {
        exchange.rdbuffer[0] = '\0';
        return 0;
    }
    const int kept = count < int(sizeof exchange.rdbuffer) ? count : int(sizeof exchange.rdbuffer) - 1;
    std::memcpy(exchange.rdbuffer, line, std::size_t(kept));
    exchange.rdbuffer[kept] = '\0';
    return count;
}

int read_limit(AnswerKind kind) {
    switch (kind) {
        case AnswerKind::PasswordState:
            return kPasswordReadMax;
        case AnswerKind::ProgramMode:
            return kProgramModeReadMax;
        case AnswerKind::Erase:
            return kEraseReadMax;
        case AnswerKind::Identity:
            break;
    }
    return kLineReadMax;
}

bool open() {
    GetCtrlVal(update_handle, ids::UPDATE_COMPORTS, &COMPort);
    Fmt(deviceName, "%s<COM%d", COMPort);
    show_progress_text(kMsgBlank);
    if (open_port() != 0) return false;
    reopen_stage = 0;
    FlushOutQ(COMPort);
    // A line end first, so that the unit starts the first command afresh.
    handle_tx_timer();
    ComWrtByte(COMPort, kCarriageReturn);
    ComWrtByte(COMPort, kLineFeed);
    SetXMode(COMPort, kXonXoff);
    handle_tx_timer();
    tx_indicator_wait();
    return true;
}

bool command(const char* text) {
    write_command(text);
    return true;
}

// Every answer comes after the pacing pause, as one line.
Answer query(const char* text, AnswerKind kind) {
    clear(exchange.rdbuffer);
    write_command(text);
    tx_indicator_wait();
    const int count = read_line(read_limit(kind));
    return Answer{count, exchange.rdbuffer};
}

// A port error (an adapter that reset, a unit that vanished) ends the loop
// like silence does: a record that did not go out, or whose acknowledgment
// was not read, must never count as written.
bool fail_piece() {
    if (run.comresult < 0) {
        char detail[96] = {};
        Fmt(detail, "%s<the serial port failed while programming (error %d)", run.comresult);
        show_detail(detail);
    }
    run.comresult = 0;
    fail_with(kMsgNoResponse);
    return false;
}

// Each piece is written whole; a record is acknowledged by one byte, a code
// test by a line of text.
bool send_piece(Piece piece) {
    handle_tx_timer();
    run.comresult = ComWrt(COMPort, piece.data, piece.length);
    Delay(kPiecePause_s);
    for (int attempt = 0; run.comresult == 0 && attempt < kExtraAttempts; ++attempt)
        run.comresult = ComWrt(COMPort, piece.data, piece.length);
    if (run.comresult <= 0) return fail_piece();

    clear(exchange.rdbuffer);
    if (piece_is_record(piece)) {
        // Any byte acknowledges the record, whatever its value.
        run.comresult = get_result_from_unit(COMPort);
        for (int attempt = 0; run.comresult == 0 && attempt < kExtraAttempts; ++attempt)
            run.comresult = get_result_from_unit(COMPort);
        if (run.comresult <= 0) return fail_piece();
    } else if (piece_is_code_test(piece)) {
        tx_indicator_wait();
        run.comresult = read_line(kLineReadMax);
        if (run.comresult == 0) return fail_piece();
        // Some test answers come as two lines; the second may be empty.
        if (StringLength(exchange.rdbuffer) < kShortCodeTestReply) read_line(kLineReadMax);
    }
    return true;
}

// The unit expects its port to be closed and opened again while it
// programs, when the progress first passes 33 % and again 67 %.
bool reopen_if_due(int percent) {
    const bool due = (percent > kSecondReopenPercent && reopen_stage < 2) ||
                     (percent > kFirstReopenPercent && reopen_stage == 0);
    if (!due) return true;
    reopen_stage = percent > kSecondReopenPercent ? 2 : 1;
    CloseCom(COMPort);
    Delay(kReopenPause_s);
    run.comresult = open_port();
    Delay(kReopenPause_s);
    if (run.comresult != 0) {
        fail_with(kMsgNoPort);
        return false;
    }
    return true;
}

// The port's own failure, or else the unit's silence on it.
void explain(char* text, std::size_t size) {
    if (GetFailureDetailText(text, size) > 0 && text[0] != '\0') return;
    char device[kCommandSize] = {};
    ComPortDevice(COMPort, device);
    std::snprintf(text, size, "the unit on %s (%s) did not answer", deviceName, device);
}

void describe_loop_failure() { show_message(run.comresult == 0 ? kMsgNoResponse : kMsgIncorrectResponse); }

// The unit restarts with its new firmware while its port is closed.
bool await_restart() {
    CloseCom(COMPort);
    Delay(kExitPortClosed_s);
    show_message("");
    const int reopened = open_port();
    Delay(kAfterExitReopen_s);
    clear(exchange.wrtbuffer);
    return reopened == 0;
}

void release() {
    // Back to local operation, so the front panel is not left locked out.
    ComWrt(COMPort, kCmdRelease, StringLength(kCmdRelease));
    Delay(kReleasePause_s);
    CloseCom(COMPort);
}

}  // namespace

const Bus bus = {
    .open = open,
    .command = command,
    .query = query,
    .send_piece = send_piece,
    .release = release,
    // The port is re-opened twice while the unit programs.
    .before_progress = reopen_if_due,
    // What failed last decides the message: a silent unit, or a port lost.
    .describe_loop_failure = describe_loop_failure,
    // The port stays closed while the unit restarts.
    .await_restart = await_restart,
    .explain = explain,
    .open_failed = kMsgNoPort,
    .bus_error = kMsgNoResponse,
    .silence = {.identity = kMsgNoResponse,
                .password_state = kMsgNoResponse,
                .program_mode = nullptr,
                .second_identity = kMsgNoResponse},
    .reset_pause_s = kResetPause_s,
    .program_mode_min = kProgramModeReplyLength,
    .program_mode_max = kProgramModeReplyLength,
    // A unit that does not enter programming mode is still given back.
    .program_mode_refusal_releases = true,
    // Only the family code and revision are checked over a serial port.
    .checks_maker = false,
    .refusal_sets_failure = true,
};

int get_result_from_unit(int port) {
    begin_reply_wait(ids::UPDATE_COMTIMER);
    while (run.leavenow != 0) {
        // Each read blocks up to the port's own time-out; the Com timer can
        // only end the wait between reads.
        run.comresult = ComRd(port, exchange.rdbuffer, 1);
        if (run.comresult != 0) {
            run.leavenow = 0;
        } else {
            ProcessSystemEvents();
        }
    }
    end_reply_wait(ids::UPDATE_COMTIMER);
    return run.comresult;
}

int ComTimer(int, int, int event, void*, int, int) {
    reply_timer_tick(ids::UPDATE_COMTIMER, event);
    return 0;
}

}  // namespace orvex::rs232
