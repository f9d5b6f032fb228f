// The procedure behind START and the pieces its bus sequences share.
#pragma once

#include <cstddef>
#include <functional>

namespace orvex {

// Bus texts of UPDATE_BUS_SELECTION; the procedure picks the sequence by them.
inline constexpr const char* kBusSerial = "RS-232";
inline constexpr const char* kBusGpib = "IEEE-488";
inline constexpr const char* kBusLan = "LAN";

// The password field is written back to this after every start.
inline constexpr const char* kDefaultPassword = "MORVANTE";

// Texts of the Messages field that every bus shows.
inline constexpr const char* kMsgWrongModel = "Wrong Model/Revision";
inline constexpr const char* kMsgUnknownUnit = "Unknown Unit";
inline constexpr const char* kMsgSettingUp = "Setting Up - Please Wait";
inline constexpr const char* kMsgErasing = "Erasing";
inline constexpr const char* kMsgEraseFailed = "Erase Failed";
inline constexpr const char* kMsgProgramming = "Programming";
inline constexpr const char* kMsgLoopDone = "...";
inline constexpr const char* kOkTest = "OK TEST";
inline constexpr const char* kMakerName = "ORVEX";

// Commands every bus sends; each ends in a line feed.
inline constexpr const char* kCmdReset = "*RST\n";
inline constexpr const char* kCmdIdentify = "*IDN?\n";
inline constexpr const char* kFmtUnlock = "%s<:SYST:PASS:CEN %s\n";
inline constexpr const char* kCmdPasswordState = ":syst:pass:stat?\n";
inline constexpr const char* kCmdProgramMode = "DIAG:PRG\n";
inline constexpr const char* kCmdErase = "ERASE\n";
inline constexpr const char* kCmdExit = "EXIT\n";

int start_update(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

// Operator messages and progress texts in the Messages field.
void show_message(const char* text);        // writes UPDATE_ERR
void show_progress_text(const char* text);  // writes UPDATE_ERR and repaints
// Writes `text` into UPDATE_ERR, sets failure and repaints.
void fail_with(const char* text);

// Identification display: the first one fills the model, serial number and the
// revision before the update (and Oldrev); the second the revision after it
// (and Newrev).
void show_first_identification();
void show_second_identification();

// A refused password: shows the wrong-password message and arms its timer.
void show_password_refused();

// Writes the default password back into the password field.
void restore_password_field();

// Opens `filename` for reading; on failure shows the file-error panel and
// returns false.
bool open_hex_file();
// f_lg = size of the open HEX file; leaves it at its start.
void measure_hex_file();
// Reads the next piece (one line, or at most 63 bytes of a longer one) into
// wrtBuf; sets ret and lg. Returns false at the end of the file.
bool read_piece();
// k = percentage of the file sent before the piece just read.
void compute_progress();
// Shows k, adds lg to ii, repaints and processes events.
void show_progress();
// Both of the above: the step that follows every piece and the end of the file.
void progress_step();

// Streams the open HEX file from its start. `send_piece` sends the piece in
// wrtBuf and awaits what it draws from the unit; on false (its failure
// reported) the loop repaints, processes events and ends. `before_showing`
// runs once each percentage is known; on false the loop ends without showing it.
void stream_hex_file(
    const std::function<bool()>& send_piece,
    const std::function<bool()>& before_showing = [] { return true; });

// Puts `command` into the cleared wrtbuffer.
void put_command(const char* command);
void close_hex_file();

// "OK TEST" when the revision changed.
void show_result();

// True when the piece in wrtBuf starts with ':' (a HEX record), or 'T'/'t'.
bool piece_is_record();
bool piece_is_code_test();

// Clears a buffer to zero bytes.
template <typename T, std::size_t N>
void clear(T (&buffer)[N]) {
    for (auto& c : buffer) c = T{};
}

}  // namespace orvex
