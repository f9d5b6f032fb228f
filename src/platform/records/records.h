// Writing update records: one JSON object per line, appended so that several
// processes can share one file. Plain C++ on the outside; Qt behind it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>

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

}  // namespace records
