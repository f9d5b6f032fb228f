// Start-up, the panels and the operator's commands: the bus menu, the file
// selection, the file-error panel and EXIT.
#include "ui.h"

#include <cstdio>

#include "buses.h"
#include "hex_stream.h"
#include "lan_bus.h"
#include "panel_handles.h"
#include "rs232_bus.h"
#include "run_state.h"
#include "runtime.h"
#include "stop_requests.h"
#include "update_record.h"
#include "upload.h"
#include "upload_ids.h"
#include "waits.h"

namespace orvex {

using namespace runtime;

namespace {

constexpr const char* kPanelFile = "upload.panel";
constexpr int kFileSelectTitleSize = 80;
// The bus the panel starts with.
constexpr int kInitialBusMenuItem = ids::MENUBAR_BUSSELEC_GPIB;

// Each entry of the Com Port ring tells, as its tooltip, which device it
// opens; adapters come and go, so this is done again whenever RS-232 is chosen.
void describe_com_ports() {
    for (int port = 1; port <= kMaxComPort; ++port) {
        char device[kPathSize] = {};
        char tip[kPathSize + 16] = {};
        if (ComPortDevice(port, device) < 0) continue;
        Fmt(tip, "%s<COM%d: %s", port, device);
        SetRingItemToolTip(update_handle, ids::UPDATE_COMPORTS, port, tip);
    }
}

// A bus menu entry arranges the panel for its bus, unless a run is going on.
void choose_bus(int menu_item) {
    if (run.programming != 0) return;
    if (menu_item == ids::MENUBAR_BUSSELEC_SERIAL) describe_com_ports();
    if (const BusEntry* entry = bus_by_menu_item(menu_item)) arrange_bus(*entry);
}

constexpr ControlCallbackEntry kControlCallbacks[] = {
    {"start_update", start_update}, {"get_filename", get_filename}, {"OK_File", OK_File},
    {"LanTimer", lan::LanTimer},    {"ComTimer", rs232::ComTimer},  {"Generic_Timer", Generic_Timer},
    {"TX_TIMER", TX_TIMER},
};
constexpr MenuCallbackEntry kMenuCallbacks[] = {
    {"BUS_232", BUS_232},
    {"BUS_488", BUS_488},
    {"BUS_LAN", BUS_LAN},
    {"Exit_Program", Exit_Program},
};

}  // namespace

std::span<const ControlCallbackEntry> control_callbacks() { return kControlCallbacks; }
std::span<const MenuCallbackEntry> menu_callbacks() { return kMenuCallbacks; }

int start_up() {
    update_handle = LoadPanel(0, kPanelFile, ids::UPDATE);
    if (update_handle < 0) return update_handle;
    file_handle = LoadPanel(0, kPanelFile, ids::FILEPNL);
    if (file_handle < 0) return file_handle;

    arrange_bus(*bus_by_menu_item(kInitialBusMenuItem));
    describe_com_ports();
    for (int control : {ids::UPDATE_ERR, ids::UPDATE_MODEL, ids::UPDATE_SERIAL, ids::UPDATE_REVISION,
                        ids::UPDATE_CURRENTREV})
        SetCtrlAttribute(update_handle, control, ATTR_NO_EDIT_TEXT, 1);
    SetCtrlAttribute(update_handle, ids::UPDATE_PASSMSG, ATTR_VISIBLE, 0);
    SetCtrlAttribute(update_handle, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
    SetCtrlVal(update_handle, ids::UPDATE_TX, 0);
    SetActiveCtrl(update_handle, ids::UPDATE_PASSWORD);
    return 0;
}

int report_no_display(const char* display_tried) {
    std::fprintf(stderr,
                 "orvex-uploader: no display could be reached (%s); without a window use --batch or "
                 "--identify, see --help\n",
                 display_tried);
    return kExitNoDisplay;
}

int main(int /*argc*/, char* /*argv*/[]) {
    DisableBreakOnLibraryErrors();
    if (const int status = start_up(); status < 0) {
        // Without its panel the program has nothing to show: say so and stop.
        char message[128] = {};
        Fmt(message, "%s<The panel file %s could not be loaded (error %d).", kPanelFile, status);
        std::fprintf(stderr, "orvex-uploader: %s\n", message);
        MessagePopup("Orvex Firmware Upgrade", message);
        return 1;
    }
    watch_update_runs();
    watch_stop_requests(StopMode::Window);
    DisplayPanel(update_handle);
    RunUserInterface();
    HidePanel(update_handle);
    return 0;
}

void BUS_232(int, int menuItem, void*, int) { choose_bus(menuItem); }
void BUS_488(int, int menuItem, void*, int) { choose_bus(menuItem); }
void BUS_LAN(int, int menuItem, void*, int) { choose_bus(menuItem); }

void Exit_Program(int, int, void*, int) { request_exit(); }

int get_filename(int panel, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char title[kFileSelectTitleSize] = {};
    GetPanelAttribute(panel, ATTR_TITLE, title);
    const int result =
        FileSelectPopup("", "*.HEX", "*.HEX", title, VAL_SELECT_BUTTON, 0, 0, 1, 0, firmware.filename);
    if (result > 0 && panel == update_handle)
        SetCtrlVal(update_handle, ids::UPDATE_FILE_NAME, firmware.filename);
    return result;
}

int OK_File(int, int, int event, void*, int, int) {
    if (event != EVENT_COMMIT) return 0;
    HidePanel(file_handle);
    return -1;
}

}  // namespace orvex
