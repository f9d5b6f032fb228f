#include "batch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "attempts.h"
#include "batch_progress.h"
#include "buses.h"
#include "display.h"
#include "hex_stream.h"
#include "history.h"
#include "identify.h"
#include "outcomes.h"
#include "panel_handles.h"
#include "resource.h"
#include "run_observers.h"
#include "run_state.h"
#include "runtime.h"
#include "stop_requests.h"
#include "ui.h"
#include "update_record.h"
#include "upload.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

constexpr const char* kPasswordVariable = "ORVEX_PASSWORD";
// A device given by its path is opened as this COM port in this process.
constexpr int kPathComPort = 1;

// Room for more than any password field holds, so that a longer one is
// noticed instead of cut.
using PasswordText = char[kCommandSize];

struct BatchState {
    bool json = false;
    bool retrying = false;  // more than one attempt allowed
    PasswordText password = {};
};
BatchState g_batch;

// The first line of the file, without its line end.
bool read_password_file(const std::string& path, PasswordText& password, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read the password file " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool read = std::fgets(password, static_cast<int>(sizeof password), file) != nullptr;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (!read || failed) {
        error = "the password file " + path + " holds no password";
        return false;
    }
    password[std::strcspn(password, "\r\n")] = '\0';
    return true;
}

// The password, from the file, else the environment, else the panel's default.
bool choose_password(const cli::Options& options, PasswordText& password, std::string& error) {
    if (options.password_file) return read_password_file(*options.password_file, password, error);
    if (const char* from_environment = std::getenv(kPasswordVariable); from_environment != nullptr) {
        std::snprintf(password, sizeof password, "%s", from_environment);
        return true;
    }
    GetCtrlVal(update_handle, ids::UPDATE_PASSWORD, password);
    return true;
}

// Puts the panel into the state an operator would leave it in before START.
void arrange_panel(const Resource& resource, const char* password, const std::string& file) {
    arrange_resource(resource);
    SetCtrlVal(update_handle, ids::UPDATE_PASSWORD, password);
    SetCtrlVal(update_handle, ids::UPDATE_FILE_NAME, file.c_str());
}

void print_summary(const UpdateSummary& s, int exit_code) {
    if (g_batch.json) {
        std::vector<records::JsonField> fields = summary_fields(s);
        fields.push_back({"attempts", static_cast<long long>(attempts_made())});
        fields.push_back({"exit_code", static_cast<long long>(exit_code)});
        std::printf("%s\n", records::JsonObjectLine(fields).c_str());
    } else {
        std::printf(
            "Model:            %s\nSerial number:    %s\nRevision before:  %s\nRevision after:   %s\n"
            "Result:           %s\n",
            s.model.c_str(), s.serial_number.c_str(), s.revision_before.c_str(), s.revision_after.c_str(),
            s.message.c_str());
        if (g_batch.retrying) std::printf("Attempts:         %d\n", attempts_made());
    }
    std::fflush(stdout);
}

void report_interruption() {
    end_batch_progress();
    report_stop_between_attempts();
    print_summary(last_update(), kExitInterrupted);
}

// One press of START, with the password typed again: START's run puts the
// field back to its default.
Outcome press_start() {
    SetCtrlVal(update_handle, ids::UPDATE_PASSWORD, g_batch.password);
    start_update(update_handle, ids::UPDATE_START, EVENT_COMMIT, nullptr, 0, 0);
    return last_outcome;
}

}  // namespace

int usage_error(const std::string& text) {
    std::fprintf(stderr, "orvex-uploader: %s\nTry 'orvex-uploader --help'.\n", text.c_str());
    return kExitUsage;
}

void arrange_resource(const Resource& resource) {
    switch (resource.kind) {
        case Resource::Kind::Serial: {
            int port = resource.com_port;
            if (!resource.device_path.empty()) {
                SetComPortDevice(kPathComPort, resource.device_path.c_str());
                port = kPathComPort;
            }
            arrange_bus(*bus_by_menu_item(ids::MENUBAR_BUSSELEC_SERIAL));
            SetCtrlVal(update_handle, ids::UPDATE_COMPORTS, port);
            break;
        }
        case Resource::Kind::Gpib:
            arrange_bus(*bus_by_menu_item(ids::MENUBAR_BUSSELEC_GPIB));
            SetCtrlVal(update_handle, ids::UPDATE_GPIBBOARDS, resource.board);
            SetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION_2, resource.address);
            break;
        case Resource::Kind::Lan:
            arrange_bus(*bus_by_menu_item(ids::MENUBAR_BUSSELEC_LAN));
            SetCtrlVal(update_handle, ids::UPDATE_IPADDR, resource.host.c_str());
            break;
    }
}

int prepare_headless_panel(const cli::Options& options) {
    if (options.time_scale) SetTimeScale(*options.time_scale);
    DisableBreakOnLibraryErrors();
    if (const int status = start_up(); status < 0) {
        std::fprintf(stderr, "orvex-uploader: the panel file could not be loaded (error %d)\n", status);
        return outcome_info(Outcome::NotReached).exit_code;
    }
    // No operator is there to acknowledge a pop-up.
    popups_allowed = false;
    return 0;
}

const char* batch_help_epilogue() {
    static const std::string text =
        std::string(exit_code_help()) + "\n" + identify_help() + "\n" + history_help() +
        "\nWithout options the window opens; with no display to show it on, the program says so and\n"
        "ends with status " +
        std::to_string(kExitNoDisplay) +
        ".\n"
        "\nThe password comes from --password-file, else $ORVEX_PASSWORD, else the default; never from the\n"
        "command line. Every update appends one JSON line to $XDG_STATE_HOME/orvex-uploader/updates.jsonl\n"
        "(default ~/.local/state/orvex-uploader/updates.jsonl), or to --record PATH; each attempt of a\n"
        "run with --retries is a line of its own. --history reads that file back: time (local), bus and\n"
        "resource, model and serial number, revision before -> after, outcome, file name and the first\n"
        "12 digits of its SHA-256, duration and attempt; with --json the record lines themselves. A line\n"
        "that holds no record is named on stderr and skipped.\n"
        "\nExamples:\n"
        "  orvex-uploader --batch ASRL1::INSTR firmware.hex\n"
        "  orvex-uploader --batch ASRL/dev/ttyUSB0::INSTR firmware.hex\n"
        "  orvex-uploader --batch GPIB0::6::INSTR firmware.hex --password-file unit.pw\n"
        "  orvex-uploader --batch TCPIP0::192.168.1.10::5025::SOCKET firmware.hex --json\n"
        "  orvex-uploader --identify GPIB0::6::INSTR\n"
        "  xargs -P 8 -I{} orvex-uploader --identify TCPIP0::{}::5025::SOCKET --json < units.txt\n"
        "  xargs -P 8 -I{} orvex-uploader --batch TCPIP0::{}::5025::SOCKET firmware.hex --retries 3 \\\n"
        "        --retry-pause 30 --password-file unit.pw --json < units.txt > night.jsonl\n"
        "  orvex-uploader --history A123\n"
        "  orvex-uploader --history TCPIP0::192.168.1.10::5025::SOCKET --json\n";
    return text.c_str();
}

int run_batch(const cli::Options& options) {
    const auto resource = parse_resource(options.resource);
    if (!resource) return usage_error("'" + options.resource + "' is not a resource; use " + kResourceForms);
    if (options.file.size() >= kPathSize) return usage_error("the file path is too long");

    if (options.record_path) set_record_path(*options.record_path);
    if (const int status = prepare_headless_panel(options); status != 0) return status;

    PasswordText& password = g_batch.password;
    if (std::string error; !choose_password(options, password, error)) return usage_error(error);

    g_batch.json = options.json;
    g_batch.retrying = options.retries > 0;
    set_record_resource(options.resource);
    watch_update_runs();
    show_batch_progress(::isatty(STDERR_FILENO) == 1);
    watch_stop_requests(StopMode::Batch);
    on_run_interrupted(report_interruption);
    arrange_panel(*resource, password, options.file);
    // The field holds what an operator could type; a password cut to fit would
    // be refused by the unit, or worse, taken for another one.
    if (PasswordText shown = {};
        GetCtrlVal(update_handle, ids::UPDATE_PASSWORD, shown) < 0 || std::strcmp(shown, password) != 0)
        return usage_error("the password is longer than the unit's password field holds");

    const Outcome outcome = run_attempts({options.retries, options.retry_pause_s}, press_start);
    const int exit_code = outcome_info(outcome).exit_code;
    end_batch_progress();
    print_summary(last_update(), exit_code);
    return exit_code;
}

int list_serial_ports() { return WriteSerialPortList(stdout) < 0 ? 1 : 0; }

}  // namespace orvex
