#include "identify.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "batch.h"
#include "bus_steps.h"
#include "buses.h"
#include "commands.h"
#include "display.h"
#include "identification.h"
#include "outcomes.h"
#include "panel_handles.h"
#include "records.h"
#include "resource.h"
#include "run_state.h"
#include "runtime.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

enum class Verdict { WouldUpdate, WrongUnit, NotReached };

struct VerdictInfo {
    Verdict verdict;
    const char* name;     // in JSON
    Outcome outcome;      // whose exit status it shares
    const char* text;     // the summary's "Would update" line
    const char* meaning;  // for --help
};

constexpr VerdictInfo kVerdicts[] = {
    {Verdict::WouldUpdate, "would-update", Outcome::Updated, "yes", "this program would update the unit"},
    {Verdict::NotReached, "not-reached", Outcome::NotReached, "no: the unit was not reached",
     "the unit was not reached (port, driver, connection, lock, no answer)"},
    {Verdict::WrongUnit, "wrong-unit", Outcome::WrongUnit, "no: its maker, model or revision rules it out",
     "its maker, model or revision rules an update out"},
};

const VerdictInfo& info_of(Verdict verdict) {
    for (const VerdictInfo& info : kVerdicts)
        if (info.verdict == verdict) return info;
    return kVerdicts[1];
}

Verdict verdict_of(Outcome first) {
    switch (first) {
        case Outcome::Updated:
            return Verdict::WouldUpdate;
        case Outcome::WrongUnit:
            return Verdict::WrongUnit;
        default:
            return Verdict::NotReached;
    }
}

// The claim and the identification query; the bus is open.
Verdict ask_identity(const Bus& bus) {
    // A claim that fails shows its refusal itself.
    if (bus.claim != nullptr && !bus.claim()) return Verdict::NotReached;
    // The answer time-out an update sets once the unit is reset.
    if (bus.after_reset != nullptr) bus.after_reset();
    return verdict_of(identify_first(bus));
}

// Opens the bus, identifies the unit and gives it back as an update does.
Verdict identify_unit(const Bus& bus) {
    run.failure = 0;
    clear_detail();
    ClearFailureDetail();
    if (!bus.open()) {
        fail_on(bus, bus.open_failed);
        return Verdict::NotReached;
    }
    const Verdict verdict = ask_identity(bus);
    // A unit that answered is released; one that did not is left as a failed
    // update leaves it.
    if (verdict != Verdict::NotReached && bus.release != nullptr) bus.release();
    if (bus.close != nullptr) bus.close();
    return verdict;
}

std::string text_of(int control) {
    char text[kCommandSize] = {};
    GetCtrlVal(update_handle, control, text);
    return text;
}

void print_result(const std::string& resource, Verdict verdict, int exit_code, bool json) {
    const VerdictInfo& info = info_of(verdict);
    const bool identified = verdict != Verdict::NotReached;
    const std::string model = identified ? text_of(ids::UPDATE_MODEL) : "";
    const std::string serial_number = identified ? identity.SerialNo : "";
    const std::string revision = identified ? identity.Rev : "";
    if (json) {
        char bus[kBusTextSize] = {};
        GetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION, bus);
        const std::vector<records::JsonField> fields = {
            {"resource", resource},
            {"bus", std::string(bus)},
            {"maker", identified ? identity.Make : ""},
            {"model", model},
            {"serial_number", serial_number},
            {"revision", revision},
            {"outcome", std::string(info.name)},
            {"message", text_of(ids::UPDATE_ERR)},
            {"detail", text_of(ids::UPDATE_DETAIL)},
            {"exit_code", static_cast<long long>(exit_code)},
        };
        std::printf("%s\n", records::JsonObjectLine(fields).c_str());
    } else {
        std::printf(
            "Model:            %s\nSerial number:    %s\nRevision:         %s\nWould update:     %s\n",
            model.c_str(), serial_number.c_str(), revision.c_str(), info.text);
        const std::string message = text_of(ids::UPDATE_ERR);
        if (verdict != Verdict::WouldUpdate && !message.empty())
            std::printf("Result:           %s\n", message.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int run_identify(const cli::Options& options) {
    const auto resource = parse_resource(options.resource);
    if (!resource) return usage_error("'" + options.resource + "' is not a resource; use " + kResourceForms);
    if (const int status = prepare_headless_panel(options); status != 0) return status;
    arrange_resource(*resource);

    char bus_text[kBusTextSize] = {};
    GetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION, bus_text);
    const BusEntry* entry = bus_by_text(bus_text);
    const Verdict verdict = entry != nullptr ? identify_unit(*entry->bus) : Verdict::NotReached;
    const int exit_code = outcome_info(info_of(verdict).outcome).exit_code;
    print_result(options.resource, verdict, exit_code, options.json);
    return exit_code;
}

const char* identify_help() {
    static const std::string text = [] {
        std::string lines = "Exit status of --identify:\n";
        for (const VerdictInfo& info : kVerdicts)
            lines += exit_code_line(outcome_info(info.outcome).exit_code, info.meaning);
        lines += exit_code_line(kExitUsage, "usage error: a bad option or resource");
        return lines;
    }();
    return text.c_str();
}

}  // namespace orvex
