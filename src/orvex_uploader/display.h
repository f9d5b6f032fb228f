// What a run shows on the main panel: the Messages field, the unit's
// identity and revisions, the refused-password message and the result.
#pragma once

namespace orvex {

void show_message(const char* text);        // writes UPDATE_ERR
void show_progress_text(const char* text);  // writes UPDATE_ERR and repaints
// Writes `text` into UPDATE_ERR and sets run.failure.
void fail_with(const char* text);

// The first identification fills the model, serial number and the revision
// before the update (and Oldrev); the second the revision after it (and Newrev).
void show_first_identification();
void show_second_identification();

// A refused password: shows the wrong-password message and arms its timer.
void show_password_refused();
// Writes the default password back into the password field.
void restore_password_field();

// The line under Messages that names the cause of a failure (a device, a
// driver error, a line of the file); it goes to stderr as well. Cleared at START.
void show_detail(const char* text);
void clear_detail();

// False where no operator can acknowledge a pop-up (a run without a window):
// pop-ups then go to stderr only.
inline bool popups_allowed = true;
void show_popup(const char* title, const char* text);

// "OK TEST" when the revision changed; true then.
bool show_result();

}  // namespace orvex
