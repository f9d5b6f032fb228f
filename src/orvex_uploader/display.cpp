#include "display.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "identification.h"
#include "panel_handles.h"
#include "run_observers.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

void show_identity() {
    Fmt(identity.UnitModel, "%s<%s %s", identity.Unit, identity.Model);
    SetCtrlVal(update_handle, ids::UPDATE_MODEL, identity.UnitModel);
    SetCtrlVal(update_handle, ids::UPDATE_SERIAL, identity.SerialNo);
}

}  // namespace

void show_message(const char* text) {
    SetCtrlVal(update_handle, ids::UPDATE_ERR, text);
    notify_message(text);
}

void show_progress_text(const char* text) {
    show_message(text);
    ProcessDrawEvents();
}

void fail_with(const char* text) {
    show_message(text);
    run.failure = 1;
}

void show_detail(const char* text) {
    SetCtrlVal(update_handle, ids::UPDATE_DETAIL, text);
    std::fprintf(stderr, "orvex-uploader: %s\n", text);
}

void clear_detail() { SetCtrlVal(update_handle, ids::UPDATE_DETAIL, ""); }

void show_popup(const char* title, const char* text) {
    if (popups_allowed) {
        MessagePopup(title, text);
        return;
    }
    // stderr holds each line once: a text the detail line has just said is not repeated.
    char detail[kCommandSize * 2] = {};
    if (GetCtrlVal(update_handle, ids::UPDATE_DETAIL, detail) >= 0 && std::strcmp(detail, text) == 0) return;
    std::fprintf(stderr, "orvex-uploader: %s: %s\n", title, text);
}

void show_first_identification() {
    show_identity();
    SetCtrlVal(update_handle, ids::UPDATE_REVISION, identity.Rev);
    std::memcpy(identity.Oldrev, identity.Rev, sizeof identity.Oldrev);
}

void show_second_identification() {
    SetCtrlVal(update_handle, ids::UPDATE_CURRENTREV, identity.Rev);
    std::memcpy(identity.Newrev, identity.Rev, sizeof identity.Newrev);
    show_identity();
}

void show_password_refused() {
    SetCtrlAttribute(update_handle, ids::UPDATE_PASSMSG, ATTR_VISIBLE, 1);
    SetCtrlAttribute(update_handle, ids::UPDATE_TIMER, ATTR_ENABLED, 1);
}

void restore_password_field() { SetCtrlVal(update_handle, ids::UPDATE_PASSWORD, kDefaultPassword); }

bool show_result() {
    const double new_rev = revision_number(identity.Newrev);
    const double old_rev = revision_number(identity.Oldrev);
    const bool changed = new_rev != 0.0 && std::fabs(new_rev - old_rev) > 0.0;
    if (changed) show_message(kOkTest);
    return changed;
}

}  // namespace orvex
