#include "upload.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "bus_steps.h"
#include "buses.h"
#include "commands.h"
#include "display.h"
#include "hex_check.h"
#include "hex_stream.h"
#include "identification.h"
#include "panel_handles.h"
#include "run_observers.h"
#include "run_state.h"
#include "runtime.h"
#include "text_escape.h"
#include "update_record.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex {

using namespace runtime;

namespace {

// How a run that stops leaves the unit: given back to local operation (and
// its result shown), or left as it is.
enum class Ending { Released, Abandoned };

struct Stop {
    Ending ending;
    Outcome outcome;
};

// The update going on, for a stop request that arrives in one of its waits.
struct ActiveUpdate {
    const Bus* bus = nullptr;  // set once the bus is open, until it is closed
    bool erase_sent = false;
};
ActiveUpdate active;

// What the unit answered to ERASE when that was no "0": nothing was erased or
// programmed, whatever the rest of the run reads. Kept for the detail line.
constexpr std::size_t kEraseAnswerShown = 16;
struct EraseRefusal {
    bool refused = false;
    char answer[kEraseAnswerShown + 1] = {};
};
EraseRefusal erase_refusal;

Stop run_steps(const Bus& bus, const char* password) {
    if (bus.claim != nullptr && !bus.claim()) return {Ending::Abandoned, Outcome::NotReached};

    if (!bus.command(kCmdReset)) {
        // The bus may not work at all: it is given up at once.
        fail_on(bus, bus.bus_error);
        return {Ending::Released, Outcome::NotReached};
    }
    tx_indicator_wait();
    Delay(bus.reset_pause_s);
    if (bus.after_reset != nullptr) bus.after_reset();

    if (const Outcome first = identify_first(bus); first != Outcome::Updated)
        return {Ending::Abandoned, first};

    ProcessDrawEvents();
    ProcessSystemEvents();
    char unlock[kCommandSize] = {};
    Fmt(unlock, kFmtUnlock, password);
    if (!bus.command(unlock)) {
        fail_on(bus, bus.bus_error);
        return {Ending::Abandoned, Outcome::NotReached};
    }
    tx_indicator_wait();

    const Answer state = bus.query(kCmdPasswordState, AnswerKind::PasswordState);
    if (!answered(bus, state, bus.silence.password_state)) return {Ending::Abandoned, Outcome::NotReached};
    if (state.text[0] == kAnswerZero) {
        show_password_refused();
        if (bus.refusal_sets_failure) run.failure = 1;
        return {Ending::Abandoned, Outcome::PasswordRefused};
    }
    restore_password_field();

    if (!open_hex_file()) return {Ending::Abandoned, Outcome::InputRefused};
    measure_hex_file();

    show_progress_text(kMsgSettingUp);
    const Answer mode = bus.query(kCmdProgramMode, AnswerKind::ProgramMode);
    if (!answered(bus, mode, bus.silence.program_mode)) return {Ending::Abandoned, Outcome::NotReached};
    if (mode.count < bus.program_mode_min || mode.count > bus.program_mode_max) {
        // Not in programming mode: nothing was erased.
        return {bus.program_mode_refusal_releases ? Ending::Released : Ending::Abandoned,
                Outcome::NotReached};
    }

    // From here on a run that stops leaves the unit without complete firmware.
    show_progress_text(kMsgErasing);
    // A stop asked while the unit was being readied (its answer may have
    // blocked events) is honoured now, while stopping still loses nothing.
    ProcessSystemEvents();
    active.erase_sent = true;
    const Answer erased = bus.query(kCmdErase, AnswerKind::Erase);
    if (!answered(bus, erased, kMsgEraseFailed)) return {Ending::Abandoned, Outcome::FailedAfterErase};
    show_progress_text(kMsgProgramming);

    if (erased.text[0] == kAnswerZero) {
        const bool whole = stream_hex_file(bus.send_piece, bus.before_progress != nullptr
                                                               ? std::function<bool(int)>(bus.before_progress)
                                                               : std::function<bool(int)>());
        close_hex_file();
        // A loop that ended early without its own message must not pass for whole.
        if (!whole && run.failure == 0) fail_on(bus, bus.bus_error);
        if (run.failure == 0) show_progress_text(kMsgLoopDone);
        tx_indicator_wait();
        if (run.failure != 0) {
            // The unit stays in programming mode, but is still given back.
            if (bus.describe_loop_failure != nullptr) bus.describe_loop_failure();
            return {Ending::Released, Outcome::FailedAfterErase};
        }
    } else {
        // The unit leaves programming mode and is identified as after an
        // update, but it holds nothing of this file.
        erase_refusal.refused = true;
        std::snprintf(erase_refusal.answer, sizeof erase_refusal.answer, "%s", erased.text);
    }

    if (!bus.command(kCmdExit)) {
        fail_on(bus, bus.bus_error);
        return {Ending::Abandoned, Outcome::FailedAfterErase};
    }
    tx_indicator_wait();
    if (bus.await_restart != nullptr) {
        if (!bus.await_restart()) return {Ending::Released, Outcome::FailedAfterErase};
    } else {
        Delay(bus.exit_pause_s);
    }

    const Answer second = bus.query(kCmdIdentify, AnswerKind::Identity);
    if (!answered(bus, second, bus.silence.second_identity))
        return {Ending::Abandoned, Outcome::FailedAfterErase};
    extract_info(second.text, kCommandSize);
    show_second_identification();
    return {Ending::Released, Outcome::Updated};
}

// A password goes to the unit byte for byte: only printable ASCII, and no
// more than its buffer holds, is sent exactly as typed.
constexpr char kFirstPasswordChar = 0x20;
constexpr char kLastPasswordChar = 0x7E;
constexpr const char* kMsgPasswordUnsendable = "Password Not Sendable";
constexpr const char* kDetailPassword =
    "the password must be at most 19 printable ASCII characters (letters, digits, punctuation, blanks)";
constexpr const char* kRefusalTitle = "HEX File Refused";

bool password_sendable(const char* password, int read_status) {
    if (read_status < 0) return false;
    for (const char* c = password; *c != '\0'; ++c)
        if (*c < kFirstPasswordChar || *c > kLastPasswordChar) return false;
    return true;
}

// Everything the unit will be sent is checked before it is touched: the
// password, the path and the whole HEX file. A refusal is shown and the run
// does not start.
bool inputs_acceptable(const char* password, int password_status, int path_status) {
    if (!password_sendable(password, password_status)) {
        fail_with(kMsgPasswordUnsendable);
        show_detail(kDetailPassword);
        return false;
    }
    if (path_status < 0) {
        // A path cut to fit could name another file that exists.
        DisplayPanel(file_handle);
        char detail[96] = {};
        Fmt(detail, "%s<the file path is longer than %d bytes", int(kPathSize) - 1);
        show_detail(detail);
        run.failure = 1;
        return false;
    }
    // The one read of the file: the unit gets these bytes and the record
    // describes them, whatever happens to the file on disk meanwhile.
    const hex::CheckResult check = hex::load_file(firmware.filename, firmware.image);
    firmware.image_read = check.wholeFileRead;
    switch (check.verdict) {
        case hex::Verdict::Accepted:
            return true;
        case hex::Verdict::CannotOpen:
            DisplayPanel(file_handle);
            show_detail(check.detail);
            run.failure = 1;
            return false;
        case hex::Verdict::Refused:
            fail_with(check.summary);
            show_detail(check.detail);
            show_popup(kRefusalTitle, check.detail);
            return false;
    }
    return false;
}

// Controls the operator must not touch while any run is going on; each bus
// adds its own.
constexpr int kRunLockedControls[] = {ids::UPDATE_START, ids::UPDATE_FILENAMEBUTTON, ids::UPDATE_PASSWORD};

void set_run_controls_locked(int locked) {
    for (int control : kRunLockedControls) SetCtrlAttribute(update_handle, control, ATTR_DIMMED, locked);
    for (const BusEntry& entry : buses())
        for (int control : entry.locked) SetCtrlAttribute(update_handle, control, ATTR_DIMMED, locked);
    SetCtrlAttribute(update_handle, ids::UPDATE_FILE_NAME, ATTR_NO_EDIT_TEXT, locked);
}

// The closing step: every run ends here, whatever happened.
int close_run() {
    // A file left open by an early exit would leak one handle per run.
    close_hex_file();
    set_run_controls_locked(0);
    SetActiveCtrl(update_handle, ids::UPDATE_PASSWORD);
    run.programming = 0;
    return 0;
}

// The detail line for a unit that refused the erase: its answer, escaped so
// that control characters show.
void explain_erase_refusal() {
    const std::string answer = text::printableBytes(erase_refusal.answer);
    char detail[kCommandSize] = {};
    std::snprintf(detail, sizeof detail,
                  "the unit refused the erase (it answered \"%s\"): nothing was programmed; run the update "
                  "again",
                  answer.c_str());
    show_detail(detail);
}

}  // namespace

Outcome run_update(const Bus& bus, const char* password) {
    erase_refusal = EraseRefusal{};
    if (!bus.open()) {
        fail_on(bus, bus.open_failed);
        return Outcome::NotReached;
    }
    active = ActiveUpdate{&bus, false};
    Stop stop = run_steps(bus, password);
    if (stop.ending == Ending::Released) {
        if (bus.release != nullptr) bus.release();
        if (run.failure == 0) show_message("");
        if (erase_refusal.refused) {
            // Whatever the unit reports now, it was never programmed.
            explain_erase_refusal();
            stop.outcome = Outcome::FailedAfterErase;
        } else if (stop.outcome == Outcome::Updated && !show_result()) {
            // The whole file went in; the revisions say whether it changed anything.
            stop.outcome = Outcome::Unchanged;
        }
        ProcessDrawEvents();
    }
    if (bus.close != nullptr) bus.close();
    active = ActiveUpdate{};
    return stop.outcome;
}

UpdateStage update_stage() {
    if (active.bus == nullptr) return UpdateStage::Idle;
    return active.erase_sent ? UpdateStage::AfterErase : UpdateStage::BeforeErase;
}

void abandon_update() {
    if (active.bus == nullptr) return;
    const Bus& bus = *active.bus;
    const bool erased = active.erase_sent;
    active = ActiveUpdate{};
    // A unit not erased yet is given back to local operation; an erased one is
    // left as it is, for anything sent now would land among its firmware.
    if (!erased && bus.release != nullptr) bus.release();
    if (bus.close != nullptr) bus.close();
}

int start_update(int, int, int event, void*, int, int) {
    last_outcome = Outcome::NotRun;
    clear(identity.Newrev);
    clear(identity.Oldrev);
    if (event != EVENT_COMMIT) return close_run();
    notify_run_started();

    run.failure = 0;
    run.programming = 1;
    show_message("");
    SetCtrlVal(update_handle, ids::UPDATE_NUMERICSLIDE, 0);
    for (int control : {ids::UPDATE_MODEL, ids::UPDATE_SERIAL, ids::UPDATE_REVISION, ids::UPDATE_CURRENTREV})
        SetCtrlVal(update_handle, control, "");
    clear_detail();
    ClearFailureDetail();
    firmware.image.clear();
    firmware.image_read = false;
    set_run_controls_locked(1);
    ProcessDrawEvents();

    char bus_text[kBusTextSize] = {};
    char password[kPasswordSize] = {};
    GetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION, bus_text);
    const int password_status = GetCtrlVal(update_handle, ids::UPDATE_PASSWORD, password);
    // The field must not go on showing what the operator typed.
    restore_password_field();
    const int path_status = GetCtrlVal(update_handle, ids::UPDATE_FILE_NAME, firmware.filename);

    const BusEntry* entry = bus_by_text(bus_text);
    if (entry == nullptr) return close_run();
    last_outcome = inputs_acceptable(password, password_status, path_status)
                       ? run_update(*entry->bus, password)
                       : Outcome::InputRefused;
    record_update(last_outcome);
    return close_run();
}

}  // namespace orvex
