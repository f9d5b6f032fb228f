// Updating a unit on a serial port: 38400 baud 8N1 with XON/XOFF, paced by
// fixed pauses and by one acknowledgment byte per HEX record.
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

// Port settings, the same at every opening.
constexpr long kBaudRate = 38400;
constexpr int kParityNone = 0;
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
constexpr int kDefaultQueueSize = 0;
constexpr int kXonXoff = 1;
constexpr int kLineFeed = 10;
constexpr int kCarriageReturn = 13;

// Pauses.
constexpr double kResetPause_s = 1.0;
constexpr double kPiecePause_s = 0.015;
constexpr double kReopenPause_s = 0.5;      // before and after each mid-programming re-opening
constexpr double kExitPortClosed_s = 10.0;  // the unit restarts with its new firmware
constexpr double kAfterExitReopen_s = 2.0;
constexpr double kReleasePause_s = 1.0;

// Reads, as counts of bytes taken from the line before its line feed.
constexpr int kLineReadMax = 256;
constexpr int kPasswordReadMax = 64;
constexpr int kProgramModeReadMax = 7;
constexpr int kProgramModeReplyLength = 6;  // "READY\r" before the line feed
constexpr int kEraseReadMax = 64;
constexpr int kShortCodeTestReply = 5;  // a shorter answer is followed by one more line
static_assert(kLineReadMax <= int(kCommandSize), "a whole reply line fits the read buffer");

// A piece is written, and a record's acknowledgment awaited, at most this
// many more times before the loop gives up.
constexpr int kExtraAttempts = 4;

// The mid-programming re-openings happen when the progress first passes these.
constexpr int kFirstReopenPercent = 33;
constexpr int kSecondReopenPercent = 67;

constexpr const char* kMsgBlank = "            ";  // 12 blanks
constexpr const char* kMsgNoPort = "Failed To Get Com Port";
constexpr const char* kMsgNoResponse = "Unit Failed To Respond";
constexpr const char* kMsgIncorrectResponse = "Incorrect Unit Response";
constexpr const char* kCmdRelease = "syst:rem 0\n";

int open_port() {
    return OpenComConfig(COMPort, deviceName, kBaudRate, kParityNone, kDataBits, kStopBits, kDefaultQueueSize,
                         kDefaultQueueSize);
}

// Lights the LED and writes the command in wrtbuffer with its exact length.
int send_command() {
    handle_tx_timer();
    return ComWrt(COMPort, wrtbuffer, StringLength(wrtbuffer));
}

// Puts `command` into wrtbuffer, sends it and waits out the pacing pause.
void send_paced(const char* command) {
    put_command(command);
    send_command();
    tx_indicator_wait();
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
        rdbuffer[0] = '\0';
        return 0;
    }
    const int kept = count < int(sizeof rdbuffer) ? count : int(sizeof rdbuffer) - 1;
    std::memcpy(rdbuffer, line, std::size_t(kept));
    rdbuffer[kept] = '\0';
    return count;
}

// "*IDN?" and its reply parsed into the unit identity; false (with the
// message shown) when the unit does not answer.
bool identify() {
    send_paced(kCmdIdentify);
    if (read_line(kLineReadMax) == 0) {
        fail_with(kMsgNoResponse);
        return false;
    }
    extract_info(rdbuffer);
    return true;
}

// Step taken when the progress first passes 33 % and again 67 %: the unit
// expects its port to be closed and opened again while it programs.
bool reopen_if_due(int& reopen_stage) {
    const bool due =
        (k > kSecondReopenPercent && reopen_stage < 2) || (k > kFirstReopenPercent && reopen_stage == 0);
    if (!due) return true;
    reopen_stage = k > kSecondReopenPercent ? 2 : 1;
    CloseCom(COMPort);
    Delay(kReopenPause_s);
    comresult = open_port();
    Delay(kReopenPause_s);
    if (comresult != 0) {
        fail_with(kMsgNoPort);
        return false;
    }
    return true;
}

bool fail_piece() {
    fail_with(kMsgNoResponse);
    return false;
}

// Sends the piece in wrtBuf and waits for what the unit answers to it.
bool send_piece() {
    handle_tx_timer();
    comresult = ComWrt(COMPort, wrtBuf, lg);
    Delay(kPiecePause_s);
    for (int attempt = 0; comresult == 0 && attempt < kExtraAttempts; ++attempt)
        comresult = ComWrt(COMPort, wrtBuf, lg);
    if (comresult == 0) return fail_piece();

    clear(rdbuffer);
    if (piece_is_record()) {
        // Any byte acknowledges the record, whatever its value.
        comresult = get_result_from_unit();
        for (int attempt = 0; comresult == 0 && attempt < kExtraAttempts; ++attempt)
            comresult = get_result_from_unit();
        if (comresult == 0) return fail_piece();
    } else if (piece_is_code_test()) {
        tx_indicator_wait();
        comresult = read_line(kLineReadMax);
        if (comresult == 0) return fail_piece();
        // Some test answers come as two lines; the second may be empty.
        if (StringLength(rdbuffer) < kShortCodeTestReply) read_line(kLineReadMax);
    }
    return true;
}

void programming_loop() {
    int reopen_stage = 0;
    stream_hex_file(send_piece, [&reopen_stage] { return reopen_if_due(reopen_stage); });
}

void release() {
    // Back to local operation, so the front panel is not left locked out.
    ComWrt(COMPort, kCmdRelease, StringLength(kCmdRelease));
    Delay(kReleasePause_s);
    CloseCom(COMPort);
}

// Steps up to the second identification; returns false when the run ends
// without the release.
bool run_to_release(const char* password) {
    GetCtrlVal(update_handle, ids::UPDATE_COMPORTS, &COMPort);
    Fmt(deviceName, "%s<COM%d", COMPort);
    show_progress_text(kMsgBlank);

    if (open_port() != 0) {
        fail_with(kMsgNoPort);
        return false;
    }
    FlushOutQ(COMPort);
    handle_tx_timer();
    ComWrtByte(COMPort, kCarriageReturn);
    ComWrtByte(COMPort, kLineFeed);
    SetXMode(COMPort, kXonXoff);

    put_command(kCmdReset);
    handle_tx_timer();
    tx_indicator_wait();
    ComWrt(COMPort, wrtbuffer, StringLength(wrtbuffer));
    tx_indicator_wait();
    Delay(kResetPause_s);

    if (!identify()) return false;
    show_first_identification();
    if (ok_to_use == 0) {
        fail_with(kMsgWrongModel);
        return false;
    }

    ProcessDrawEvents();
    clear(wrtbuffer);
    Fmt(wrtbuffer, kFmtUnlock, password);
    send_command();
    tx_indicator_wait();

    clear(rdbuffer);
    send_paced(kCmdPasswordState);
    if (read_line(kPasswordReadMax) == 0) {
        fail_with(kMsgNoResponse);
        return false;
    }
    if (rdbuffer[0] == '0') {
        show_password_refused();
        failure = 1;
        return false;
    }

    restore_password_field();
    if (!open_hex_file()) return false;

    show_progress_text(kMsgSettingUp);
    send_paced(kCmdProgramMode);
    clear(rdbuffer);
    // Anything but the 6-byte answer means the unit did not enter programming
    // mode: nothing is erased, and the unit is released at once.
    if (read_line(kProgramModeReadMax) != kProgramModeReplyLength) return true;
    measure_hex_file();

    show_progress_text(kMsgErasing);
    send_paced(kCmdErase);
    clear(rdbuffer);
    if (read_line(kEraseReadMax) == 0) {
        fail_with(kMsgEraseFailed);
        return false;
    }
    show_progress_text(kMsgProgramming);

    if (rdbuffer[0] == '0') {
        programming_loop();
        close_hex_file();
        tx_indicator_wait();
        if (failure == 0) show_progress_text(kMsgLoopDone);
    }
    if (failure == 1) {
        show_message(comresult == 0 ? kMsgNoResponse : kMsgIncorrectResponse);
        return true;
    }

    send_paced(kCmdExit);
    CloseCom(COMPort);
    Delay(kExitPortClosed_s);
    show_message("");
    const int reopened = open_port();
    Delay(kAfterExitReopen_s);
    clear(wrtbuffer);
    if (reopened != 0) return true;

    if (!identify()) return false;
    show_second_identification();
    return true;
}

}  // namespace

void rs232_sequence(const char* password) {
    if (!run_to_release(password)) return;
    release();
    if (failure == 0) show_message("");
    show_result();
}

}  // namespace orvex
