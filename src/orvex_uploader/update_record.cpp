#include "update_record.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "buses.h"
#include "hex_stream.h"
#include "identification.h"
#include "outcomes.h"
#include "panel_handles.h"
#include "resource.h"
#include "run_observers.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kLongestPath = 4096;  // the system's own limit on a path

struct RecordState {
    std::string path;
    std::string resource;
    std::string time_utc;
    int attempt = 1;
    Clock::time_point started = Clock::now();
    UpdateSummary last;
};
RecordState g_record;

void note_started() {
    g_record.started = Clock::now();
    g_record.time_utc = records::UtcNow();
}

template <std::size_t N>
std::string control_text(int control) {
    char text[N] = {};
    GetCtrlVal(update_handle, control, text);
    return text;
}

int control_number(int control) {
    int value = 0;
    GetCtrlVal(update_handle, control, &value);
    return value;
}

// The unit as the panel names it, written the way batch mode takes it.
std::string resource_on_panel(const std::string& bus) {
    const BusEntry* entry = bus_by_text(bus.c_str());
    if (entry == nullptr) return {};
    const auto number = [](int value) { return std::to_string(value); };
    switch (entry->menu_item) {
        case ids::MENUBAR_BUSSELEC_SERIAL:
            return "ASRL" + number(control_number(ids::UPDATE_COMPORTS)) + "::INSTR";
        case ids::MENUBAR_BUSSELEC_GPIB:
            return "GPIB" + number(control_number(ids::UPDATE_GPIBBOARDS)) +
                   "::" + number(control_number(ids::UPDATE_BUS_SELECTION_2)) + "::INSTR";
        default:
            return "TCPIP0::" + control_text<kCommandSize>(ids::UPDATE_IPADDR) + "::" + number(kUnitLanPort) +
                   "::SOCKET";
    }
}

// Messages blanked with spaces says nothing.
bool blank(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

}  // namespace

std::string record_path() { return g_record.path.empty() ? records::DefaultRecordPath() : g_record.path; }

void set_record_path(const std::string& path) { g_record.path = path; }
void set_record_resource(const std::string& resource) { g_record.resource = resource; }
void set_record_attempt(int attempt) { g_record.attempt = attempt; }

void watch_update_runs() { add_run_observer({note_started, nullptr, nullptr}); }

const UpdateSummary& record_update(Outcome outcome) {
    UpdateSummary& s = g_record.last;
    s = UpdateSummary{};
    s.time_utc = g_record.time_utc.empty() ? records::UtcNow() : g_record.time_utc;
    s.bus = control_text<kBusTextSize>(ids::UPDATE_BUS_SELECTION);
    s.resource = g_record.resource.empty() ? resource_on_panel(s.bus) : g_record.resource;
    s.model = control_text<kCommandSize>(ids::UPDATE_MODEL);
    s.serial_number = control_text<kCommandSize>(ids::UPDATE_SERIAL);
    s.revision_before = identity.Oldrev;
    s.revision_after = identity.Newrev;
    // The path as the operator gave it: a path too long for the run's buffer
    // is recorded whole, not as the prefix that would name another file.
    const std::string given = control_text<kLongestPath>(ids::UPDATE_FILE_NAME);
    std::error_code no_path;
    const std::filesystem::path absolute = std::filesystem::absolute(given, no_path);
    s.file = no_path ? given : absolute.string();
    // The bytes the run checked and streamed, not what the path names now.
    if (firmware.image_read) {
        s.file_size = static_cast<long long>(firmware.image.size());
        s.file_sha256 = records::Sha256Hex(firmware.image.data(), firmware.image.size());
    }
    s.message = control_text<kCommandSize>(ids::UPDATE_ERR);
    if (blank(s.message) || outcome == Outcome::Interrupted) s.message = outcome_info(outcome).quiet_result;
    s.outcome = outcome;
    s.duration_s = std::chrono::duration<double>(Clock::now() - g_record.started).count();
    s.attempt = g_record.attempt;

    const std::vector<records::JsonField> fields = summary_fields(s);
    const std::string path = record_path();
    if (const std::string error = records::AppendLine(path, records::JsonObjectLine(fields)); !error.empty())
        std::fprintf(stderr, "orvex-uploader: warning: the update record was not written: %s\n",
                     error.c_str());
    return s;
}

const UpdateSummary& last_update() { return g_record.last; }

std::vector<records::JsonField> summary_fields(const UpdateSummary& s) {
    return {
        {"time", s.time_utc},
        {"bus", s.bus},
        {"resource", s.resource},
        {"model", s.model},
        {"serial_number", s.serial_number},
        {"revision_before", s.revision_before},
        {"revision_after", s.revision_after},
        {"file", s.file},
        {"file_size", s.file_size},
        {"file_sha256", s.file_sha256},
        {"message", s.message},
        {"outcome", std::string(outcome_info(s.outcome).name)},
        {"duration_s", s.duration_s},
        {"attempt", static_cast<long long>(s.attempt)},
    };
}

}  // namespace orvex
