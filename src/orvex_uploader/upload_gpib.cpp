// Updating a unit on a GPIB board.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "display.h"
#include "gpib.h"
#include "gpib_bus.h"
#include "hex_stream.h"
#include "panel_handles.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex::gpib_bus {

using namespace runtime;

namespace {

int board_nu = 0;
int gpib_addr = 0;
char buf[kCommandSize] = {};      // answers of the sequence
char rdBuf[kAckBufferSize] = {};  // answers to code test lines
DriverFailure last_failure;       // of this run, for the detail line

gpib::Addr4882_t unit_address() { return gpib::MakeAddr(gpib_addr, gpib::NO_SAD); }

// Whether the driver call just made failed; its status is kept if so.
bool driver_failed(bool first_call = false) {
    if ((gpib::ibsta & gpib::ERR) == 0) return false;
    last_failure = {first_call, gpib::ibsta, gpib::iberr, gpib::ibcntl};
    return true;
}

}  // namespace

int OX_Rcv(char* reply, std::size_t size) {
    if (reply == nullptr || size == 0) return 1;
    // Whatever the previous answer left must not survive into this one.
    std::memset(reply, 0, strnlen(reply, size));
    const std::size_t limit = std::min<std::size_t>(kMaxAnswer, size - 1);
    // A read may take the whole ten-second time-out: the window keeps painting.
    WhilePainting([&] { gpib::Receive(board_nu, unit_address(), reply, limit, gpib::STOPend); });
    const long received = gpib::ibcntl;
    reply[received > 0 ? std::min<std::size_t>(static_cast<std::size_t>(received), limit) : 0] = '\0';
    // The first line feed ends the answer; a carriage return before it stays.
    if (char* line_feed = std::strchr(reply, '\n')) *line_feed = '\0';
    return driver_failed() ? 1 : 0;
}

int OX_Send(const char* command, char* reply, std::size_t size) {
    handle_tx_timer();
    WhilePainting([&] { gpib::Send(board_nu, unit_address(), command, std::strlen(command), gpib::DABend); });
    if (driver_failed()) return 1;
    // Only a query is answered; any "?" makes the command one.
    if (std::strchr(command, '?') == nullptr) return 0;
    return OX_Rcv(reply, size);
}

const char* last_answer() { return buf; }
std::size_t last_answer_capacity() { return sizeof buf; }

namespace {

Answer answer(int status) {
    if (status != 0) return Answer{-1, buf};
    return Answer{static_cast<int>(strnlen(buf, sizeof buf)), buf};
}

bool open() {
    Cls();
    GetCtrlVal(update_handle, ids::UPDATE_GPIBBOARDS, &board_nu);
    GetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION_2, &gpib_addr);
    last_failure = {};
    gpib::SendIFC(board_nu);
    // A driver that cannot work at all (no configuration, no device file, no
    // board, not the bus's controller) fails its first call already: nothing
    // is sent, the board is given back and the detail line says why.
    if (driver_failed(true)) {
        gpib::ibonl(board_nu, kBoardOffline);
        return false;
    }
    gpib::ibsre(board_nu, kRemoteEnable);
    return true;
}

bool command(const char* text) { return OX_Send(text, buf) == 0; }

// A query is answered in the same exchange; "DIAG:PRG" and "ERASE" are
// answered only after the pacing pause, by a read of their own.
Answer query(const char* text, AnswerKind kind) {
    switch (kind) {
        case AnswerKind::Identity: {
            const int status = OX_Send(text, buf);
            if (status == 0) {
                ProcessSystemEvents();
                tx_indicator_wait();
            }
            return answer(status);
        }
        case AnswerKind::PasswordState:
            return answer(OX_Send(text, buf));
        case AnswerKind::ProgramMode:
        case AnswerKind::Erase:
            if (OX_Send(text, buf) != 0) return answer(1);
            ProcessSystemEvents();
            tx_indicator_wait();
            return answer(OX_Rcv(buf));
    }
    return answer(1);
}

// Each piece goes out exactly as read, line end included; only a code test
// is answered.
bool send_piece(Piece piece) {
    char text[kCommandSize] = {};
    std::memcpy(text, piece.data, std::min<std::size_t>(std::size_t(piece.length), sizeof text - 1));
    bool ok = OX_Send(text, buf) == 0;
    if (ok && piece_is_code_test(piece)) {
        tx_indicator_wait();
        ok = OX_Rcv(rdBuf) == 0;
    }
    if (!ok) fail_with(kMsgNotResponding);
    return ok;
}

// The board is released with an interface clear, then taken offline.
void release() {
    gpib::SendIFC(board_nu);
    gpib::ibonl(board_nu, kBoardOffline);
}

// The answer time-out is raised only once the unit has been reset.
void after_reset() { gpib::ibtmo(board_nu, gpib::T10s); }

// The driver library is unusable, or the driver's own error of the failed
// call names the cause.
void explain(char* text, std::size_t size) {
    char problem[kCommandSize] = {};
    if (gpib::LoaderProblem(problem) > 0) {
        std::snprintf(text, size, "%s", problem);
        return;
    }
    describe_driver_failure(last_failure, board_nu, gpib_addr, text, size);
}

}  // namespace

const Bus bus = {
    .open = open,
    .command = command,
    .query = query,
    .send_piece = send_piece,
    .release = release,
    // The ten-second answer time-out is set once the unit has been reset.
    .after_reset = after_reset,
    .explain = explain,
    .open_failed = kMsgNotResponding,
    .bus_error = kMsgNotResponding,
    // The driver reports every failure itself: an empty answer is no error.
    .silence = {},
    // The reset is paced by the Transmit LED alone.
    .reset_pause_s = 0.0,
    .exit_pause_s = kExitPause_s,
    .program_mode_min = 0,
    .program_mode_max = kMaxAnswer,
    .program_mode_refusal_releases = false,
    .checks_maker = true,
    .refusal_sets_failure = false,
};

}  // namespace orvex::gpib_bus
