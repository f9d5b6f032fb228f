#include "history.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "outcomes.h"
#include "records.h"
#include "resource.h"
#include "update_record.h"

namespace orvex {
namespace {

constexpr int kExitShown = 0;
constexpr int kExitNoRun = 1;
constexpr int kExitUnreadable = 74;  // sysexits: an input/output error
// Enough of the digest to tell two files apart at a glance.
constexpr std::size_t kShownDigestDigits = 12;
constexpr int kDurationDecimals = 1;
constexpr const char* kMissing = "-";
constexpr const char* kColumnGap = "  ";

struct ShownRun {
    long long epoch_ms = -1;  // -1: no readable time, shown last
    int line = 0;
    const std::string* text = nullptr;  // the record line, for --json
    std::vector<std::string> columns;
};

const records::JsonField* field(const records::JsonLine& line, std::string_view name) {
    for (const records::JsonField& f : line.fields)
        if (f.name == name) return &f;
    return nullptr;
}

std::string text_of(const records::JsonLine& line, std::string_view name) {
    const records::JsonField* f = field(line, name);
    const auto* text = f != nullptr ? std::get_if<std::string>(&f->value) : nullptr;
    return text != nullptr ? *text : std::string();
}

std::optional<double> number_of(const records::JsonLine& line, std::string_view name) {
    const records::JsonField* f = field(line, name);
    if (f == nullptr) return std::nullopt;
    if (const auto* whole = std::get_if<long long>(&f->value)) return static_cast<double>(*whole);
    if (const auto* number = std::get_if<double>(&f->value)) return *number;
    return std::nullopt;
}

std::string or_missing(std::string text) { return text.empty() ? kMissing : text; }

// The runs on one unit, named by its serial number or by its resource.
struct UnitFilter {
    std::string serial_number;
    std::optional<Resource> resource;
    bool any = true;

    bool matches(const records::JsonLine& line) const {
        if (any) return true;
        // Serial numbers as a person types them at the service desk: case aside.
        if (!resource) return same_ignoring_case(text_of(line, "serial_number"), serial_number);
        const auto recorded = parse_resource(text_of(line, "resource"));
        return recorded && same_resource(*recorded, *resource);
    }
};

UnitFilter filter_for(const std::string& unit) {
    if (unit.empty()) return {};
    return {unit, parse_resource(unit), false};
}

std::string file_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "12.3 s", whatever the locale says.
std::string duration_text(std::optional<double> seconds) {
    if (!seconds) return kMissing;
    char text[32] = {};
    const auto result =
        std::to_chars(text, text + sizeof text - 1, *seconds, std::chars_format::fixed, kDurationDecimals);
    if (result.ec != std::errc()) return kMissing;
    return std::string(text, result.ptr) + " s";
}

std::string attempt_text(std::optional<double> attempt) {
    if (!attempt) return kMissing;
    return "attempt " + std::to_string(static_cast<long long>(*attempt));
}

ShownRun shown(const records::JsonLine& line) {
    ShownRun run;
    run.line = line.number;
    run.text = &line.text;
    const std::string time = text_of(line, "time");
    std::string when = time;
    if (const auto moment = records::ReadMoment(time)) {
        run.epoch_ms = moment->epoch_ms;
        when = moment->local;
    }
    const std::string digest = text_of(line, "file_sha256").substr(0, kShownDigestDigits);
    run.columns = {
        or_missing(when),
        or_missing(text_of(line, "bus")),
        or_missing(text_of(line, "resource")),
        or_missing(text_of(line, "model")),
        or_missing(text_of(line, "serial_number")),
        or_missing(text_of(line, "revision_before")) + " -> " + or_missing(text_of(line, "revision_after")),
        or_missing(text_of(line, "outcome")),
        or_missing(file_name(text_of(line, "file"))),
        or_missing(digest),
        duration_text(number_of(line, "duration_s")),
        attempt_text(number_of(line, "attempt")),
    };
    return run;
}

// Newest first; among runs of the same moment, the one written later.
void sort_newest_first(std::vector<ShownRun>& runs) {
    std::sort(runs.begin(), runs.end(), [](const ShownRun& a, const ShownRun& b) {
        if (a.epoch_ms != b.epoch_ms) return a.epoch_ms > b.epoch_ms;
        return a.line > b.line;
    });
}

// One line per run, the columns lined up.
void print_table(const std::vector<ShownRun>& runs) {
    std::vector<std::size_t> widths;
    for (const ShownRun& run : runs) {
        widths.resize(std::max(widths.size(), run.columns.size()));
        for (std::size_t i = 0; i < run.columns.size(); ++i)
            widths[i] = std::max(widths[i], run.columns[i].size());
    }
    for (const ShownRun& run : runs) {
        std::string line;
        for (std::size_t i = 0; i < run.columns.size(); ++i) {
            if (i > 0) line += kColumnGap;
            line += run.columns[i];
            if (i + 1 < run.columns.size()) line.append(widths[i] - run.columns[i].size(), ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

}  // namespace

int run_history(const cli::Options& options) {
    if (options.record_path) set_record_path(*options.record_path);
    const std::string path = record_path();
    const records::JsonLines file = records::ReadJsonLines(path);
    if (!file.found) {
        std::fprintf(stderr, "orvex-uploader: no update has been recorded in %s\n", path.c_str());
        return kExitNoRun;
    }
    // A line written by another version, or cut short by a full disk, costs
    // only that line.
    for (const records::BadLine& bad : file.bad)
        std::fprintf(stderr, "orvex-uploader: %s line %d is %s; skipped\n", path.c_str(), bad.number,
                     bad.reason.c_str());
    if (!file.error.empty()) {
        std::fprintf(stderr, "orvex-uploader: the update record cannot be read: %s\n", file.error.c_str());
        if (file.lines.empty()) return kExitUnreadable;
    }

    const UnitFilter filter = filter_for(options.unit);
    std::vector<ShownRun> runs;
    for (const records::JsonLine& line : file.lines)
        if (filter.matches(line)) runs.push_back(shown(line));
    sort_newest_first(runs);
    if (options.json) {
        for (const ShownRun& run : runs) std::printf("%s\n", run.text->c_str());
    } else {
        print_table(runs);
    }
    std::fflush(stdout);
    return runs.empty() ? kExitNoRun : kExitShown;
}

const char* history_help() {
    static const std::string text =
        "Exit status of --history:\n" + exit_code_line(kExitShown, "runs were shown") +
        exit_code_line(kExitNoRun, "no recorded run matches, or none was recorded yet") +
        exit_code_line(kExitUsage, "usage error") +
        exit_code_line(kExitUnreadable, "the update record cannot be read");
    return text.c_str();
}

}  // namespace orvex
