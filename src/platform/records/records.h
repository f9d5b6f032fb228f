// Update records: one JSON object per line, appended so that several
// processes can share one file, and read back. Plain C++ on the outside; Qt
// behind it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace records {

struct JsonField {
    std::string name;
    std::variant<std::string, long long, double> value;
};

// One compact JSON object holding `fields`, without a line end.
std::string JsonObjectLine(std::span<const JsonField> fields);

// The SHA-256 of `size` bytes at `data`, in lower-case hex.
std::string Sha256Hex(const char* data, std::size_t size);

// $XDG_STATE_HOME/orvex-uploader/updates.jsonl, with ~/.local/state when the
// variable is unset or empty.
std::string DefaultRecordPath();

// The current time in UTC, ISO 8601 with milliseconds ("2026-12-07T01:52:30.123Z").
std::string UtcNow();

// Appends `line` and a line end to the file at `path` (creating it and its
// folder) with one write on a descriptor opened for appending, so lines from
// two processes never mix. Empty on success, else what went wrong.
std::string AppendLine(const std::string& path, std::string_view line);

// One line of a record file that holds a JSON object.
struct JsonLine {
    int number = 0;    // from 1
    std::string text;  // the line as written, without its line end
    // Its text, whole-number and other number members; anything else (a
    // list, an object, true, false, null) is left out.
    std::vector<JsonField> fields;
};

// A line that holds no JSON object (a truncated write, junk), and why.
struct BadLine {
    int number = 0;
    std::string reason;
};

struct JsonLines {
    bool found = false;  // the file exists
    std::string error;   // it exists but could not be read; empty otherwise
    std::vector<JsonLine> lines;
    std::vector<BadLine> bad;
};

// Reads the file at `path` line by line; a bad line never ends the reading.
JsonLines ReadJsonLines(const std::string& path);

// A moment as recorded, in UTC (ISO 8601, "2026-12-07T01:52:30.123Z").
struct Moment {
    long long epoch_ms = 0;
    std::string local;  // in local time: "2026-12-07 02:52:30"
};
// Nothing when `iso_utc` names no moment.
std::optional<Moment> ReadMoment(const std::string& iso_utc);

}  // namespace records
