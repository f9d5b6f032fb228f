// The procedure behind START: prepares the panel, hands the run to the chosen
// bus sequence and gives the panel back, whatever the outcome. Also the pieces
// the three sequences share: messages, identification display, the password
// refusal, the HEX file and its progress figure, and the result rule.
#include "upload.h"

#include <cmath>
#include <cstring>

#include "identification.h"
#include "runtime.h"
#include "sequences.h"
#include "state.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex {

using namespace runtime;

namespace {

// Controls the operator must not touch while a run is going on, in the order
// they are dimmed and given back.
constexpr int kRunLockedControls[] = {
    ids::UPDATE_START,           ids::UPDATE_FILENAMEBUTTON, ids::UPDATE_PASSWORD,
    ids::UPDATE_BUS_SELECTION_2, ids::UPDATE_IPADDR,         ids::UPDATE_COMPORTS,
};

// Pieces of a HEX file: one line with its line end, or at most 63 bytes of a
// longer one (a 64-byte read leaves room for the terminator).
constexpr int kPieceReadSize = 64;

void set_run_controls_locked(int locked) {
    for (int control : kRunLockedControls) SetCtrlAttribute(update_handle, control, ATTR_DIMMED, locked);
    SetCtrlAttribute(update_handle, ids::UPDATE_FILE_NAME, ATTR_NO_EDIT_TEXT, locked);
}

void show_identity() {
    Fmt(UnitModel, "%s<%s %s", Unit, Model);
    SetCtrlVal(update_handle, ids::UPDATE_MODEL, UnitModel);
    SetCtrlVal(update_handle, ids::UPDATE_SERIAL, SerialNo);
}

// The closing step: every run ends here, whatever happened.
int close_run() {
    // A file left open by an early exit would leak one handle per run.
    close_hex_file();
    SetCtrlAttribute(update_handle, ids::UPDATE_FILE_NAME, ATTR_NO_EDIT_TEXT, 0);
    for (int control : kRunLockedControls) SetCtrlAttribute(update_handle, control, ATTR_DIMMED, 0);
    SetActiveCtrl(update_handle, ids::UPDATE_PASSWORD);
    programming = 0;
    return 0;
}

}  // namespace

void show_message(const char* text) { SetCtrlVal(update_handle, ids::UPDATE_ERR, text); }

void show_progress_text(const char* text) {
    show_message(text);
    ProcessDrawEvents();
}

void fail_with(const char* text) {
    show_message(text);
    failure = 1;
}

void show_first_identification() {
    show_identity();
    SetCtrlVal(update_handle, ids::UPDATE_REVISION, Rev);
    std::memcpy(Oldrev, Rev, sizeof Oldrev);
}

void show_second_identification() {
    SetCtrlVal(update_handle, ids::UPDATE_CURRENTREV, Rev);
    std::memcpy(Newrev, Rev, sizeof Newrev);
    show_identity();
}

void show_password_refused() {
    SetCtrlAttribute(update_handle, ids::UPDATE_PASSMSG, ATTR_VISIBLE, 1);
    SetCtrlAttribute(update_handle, ids::UPDATE_TIMER, ATTR_ENABLED, 1);
}

void restore_password_field() { SetCtrlVal(update_handle, ids::UPDATE_PASSWORD, kDefaultPassword); }

bool open_hex_file() {
    close_hex_file();
    fileprg = std::fopen(filename, "rb");
    if (fileprg == nullptr) {
        DisplayPanel(file_handle);
        return false;
    }
    return true;
}

void measure_hex_file() {
    f_lg = 0;
    if (fileprg == nullptr) return;
    if (std::fseek(fileprg, 0, SEEK_END) == 0) {
        const long end = std::ftell(fileprg);
        f_lg = end > 0 ? end : 0;
    }
    std::fseek(fileprg, 0, SEEK_SET);
}

bool read_piece() {
    ret = fileprg != nullptr ? std::fgets(wrtBuf, kPieceReadSize, fileprg) : nullptr;
    if (ret == nullptr) return false;
    lg = StringLength(wrtBuf);
    return true;
}

void compute_progress() {
    // An empty file has nothing to send: its end is 100 %, not a division by zero.
    const std::int64_t percent = f_lg > 0 ? ii * 100 / f_lg : 100;
    k = static_cast<int>(percent > 100 ? 100 : percent);
}

void progress_step() {
    compute_progress();
    show_progress();
}

void show_progress() {
    SetCtrlVal(update_handle, ids::UPDATE_NUMERICSLIDE, k);
    ii += lg;
    ProcessDrawEvents();
    ProcessSystemEvents();
}

void stream_hex_file(const std::function<bool()>& send_piece, const std::function<bool()>& before_showing) {
    ii = 0;
    for (;;) {
        const bool have_piece = read_piece();
        if (have_piece && !send_piece()) {
            ProcessDrawEvents();
            ProcessSystemEvents();
            return;
        }
        compute_progress();
        if (!before_showing()) return;
        show_progress();
        // At the end of the file the last pass only shows the figure.
        if (!have_piece) return;
    }
}

void put_command(const char* command) {
    clear(wrtbuffer);
    std::strncpy(wrtbuffer, command, sizeof wrtbuffer - 1);
}

void close_hex_file() {
    if (fileprg != nullptr) {
        std::fclose(fileprg);
        fileprg = nullptr;
    }
}

void show_result() {
    const double new_rev = revision_number(Newrev);
    const double old_rev = revision_number(Oldrev);
    if (new_rev != 0.0 && std::fabs(new_rev - old_rev) > 0.0) show_message(kOkTest);
}

bool piece_is_record() { return wrtBuf[0] == ':'; }

bool piece_is_code_test() { return wrtBuf[0] == 'T' || wrtBuf[0] == 't'; }

int start_update(int, int, int event, void*, int, int) {
    clear(Newrev);
    clear(Oldrev);
    if (event != EVENT_COMMIT) return close_run();

    failure = 0;
    programming = 1;
    show_message("");
    SetCtrlVal(update_handle, ids::UPDATE_NUMERICSLIDE, 0);
    for (int control : {ids::UPDATE_MODEL, ids::UPDATE_SERIAL, ids::UPDATE_REVISION, ids::UPDATE_CURRENTREV})
        SetCtrlVal(update_handle, control, "");
    set_run_controls_locked(1);
    ProcessDrawEvents();

    char bus_text[kBusTextSize] = {};
    char password[kPasswordSize] = {};
    GetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION, bus_text);
    GetCtrlVal(update_handle, ids::UPDATE_PASSWORD, password);
    // The field must not go on showing what the operator typed.
    restore_password_field();
    GetCtrlVal(update_handle, ids::UPDATE_FILE_NAME, filename);

    if (std::strcmp(bus_text, kBusSerial) == 0) {
        rs232_sequence(password);
    } else if (std::strcmp(bus_text, kBusGpib) == 0) {
        gpib_sequence(password);
    } else if (std::strcmp(bus_text, kBusLan) == 0) {
        lan_sequence(password);
    }
    return close_run();
}

}  // namespace orvex
