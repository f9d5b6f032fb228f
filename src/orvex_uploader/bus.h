// One bus as the update procedure sees it: the operations that move bytes and
// the data and hooks in which the buses differ. Each bus fills one of these in
// its own file; the procedure runs the steps of a run once, for any of them.
#pragma once

#include <cstddef>

namespace orvex {

// The answers the procedure awaits; a bus may read or pace each differently.
enum class AnswerKind { Identity, PasswordState, ProgramMode, Erase };

// What a query brought back. `count` < 0: the bus itself reported an error;
// 0: no answer in time; otherwise the answer's length. `text` is the bus's
// reply buffer, always a terminated text (empty when there was none); the
// identity parser may rewrite it in place.
struct Answer {
    int count = 0;
    char* text = nullptr;
};

// One piece of the HEX file: a line with its line end, or at most 63 bytes
// of a longer one.
struct Piece {
    const char* data = nullptr;
    int length = 0;
};

// The Messages text for a step that got no answer; nullptr where that bus
// goes on (or stops silently) instead.
struct SilenceTexts {
    const char* identity = nullptr;
    const char* password_state = nullptr;
    const char* program_mode = nullptr;
    const char* second_identity = nullptr;
};

struct Bus {
    // ---- Operations -------------------------------------------------------
    // Opens the port, board or connection of the chosen unit and readies it
    // for commands; false with the failure shown.
    bool (*open)() = nullptr;
    // Sends a command that draws no answer, lighting the Transmit LED; false
    // when the bus reported an error.
    bool (*command)(const char* text) = nullptr;
    // Sends a command and collects its answer, with the pacing that bus
    // gives that kind of answer.
    Answer (*query)(const char* text, AnswerKind kind) = nullptr;
    // Sends one piece of the HEX file and awaits what it draws from the
    // unit; false with the failure shown (and `failure` set).
    bool (*send_piece)(Piece piece) = nullptr;
    // Gives the unit back to local operation after a run that reached it.
    void (*release)() = nullptr;

    // ---- Hooks (nullptr where a bus needs none) -------------------------------
    // After opening: claims the unit before any command; false with the
    // refusal shown.
    bool (*claim)() = nullptr;
    // After the reset pause.
    void (*after_reset)() = nullptr;
    // While programming, once each new percentage is known and before it is
    // shown; false ends the loop with the failure shown.
    bool (*before_progress)(int percent) = nullptr;
    // After a failed programming loop: the message it leaves on show.
    void (*describe_loop_failure)() = nullptr;
    // After EXIT: waits out the unit's restart instead of `exit_pause_s`;
    // false when the unit cannot be reached again (the run is released).
    bool (*await_restart)() = nullptr;
    // At the end of every run that opened the bus, however it ended.
    void (*close)() = nullptr;
    // After a failure: why it failed, in words a technician can act on (a
    // device, a driver error); left empty when the bus knows nothing more.
    void (*explain)(char* text, std::size_t size) = nullptr;

    // ---- Data ---------------------------------------------------------------
    const char* open_failed = nullptr;  // Messages when open fails
    const char* bus_error = nullptr;    // Messages when the bus reports an error
    SilenceTexts silence;
    double reset_pause_s = 0.0;  // after "*RST", before anything else is sent
    double exit_pause_s = 0.0;   // after "EXIT", while the unit restarts
    // The answer to "DIAG:PRG" that puts the unit in programming mode has a
    // length within these (line end dropped where the bus drops it).
    int program_mode_min = 0;
    int program_mode_max = 0;
    // An answer of another length stops the run: with the unit given back
    // (true) or left as it is (false).
    bool program_mode_refusal_releases = false;
    bool checks_maker = false;          // the first identity must name the maker
    bool refusal_sets_failure = false;  // a refused password counts as a failure
};

}  // namespace orvex
