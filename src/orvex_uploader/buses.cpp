#include "buses.h"

#include <algorithm>
#include <cstring>

#include "gpib_bus.h"
#include "lan_bus.h"
#include "panel_handles.h"
#include "rs232_bus.h"
#include "runtime.h"
#include "upload_ids.h"

namespace orvex {

using namespace runtime;

namespace {

constexpr int kSerialControls[] = {ids::UPDATE_COMPORTS, ids::UPDATE_TEXTMSG_BAUD};
constexpr int kSerialLocked[] = {ids::UPDATE_COMPORTS};
constexpr int kGpibControls[] = {ids::UPDATE_BUS_SELECTION_2, ids::UPDATE_GPIBBOARDS};
constexpr int kGpibLocked[] = {ids::UPDATE_BUS_SELECTION_2};
constexpr int kLanControls[] = {ids::UPDATE_IPADDR};
constexpr int kLanLocked[] = {ids::UPDATE_IPADDR};

const BusEntry kBuses[] = {
    {ids::MENUBAR_BUSSELEC_SERIAL, "RS-232", kSerialControls, kSerialLocked, &rs232::bus},
    {ids::MENUBAR_BUSSELEC_GPIB, "IEEE-488", kGpibControls, kGpibLocked, &gpib_bus::bus},
    {ids::MENUBAR_BUSSELEC_LAN, "LAN", kLanControls, kLanLocked, &lan::bus},
};

bool shows(const BusEntry& entry, int control) {
    return std::find(entry.shown.begin(), entry.shown.end(), control) != entry.shown.end();
}

}  // namespace

std::span<const BusEntry> buses() { return kBuses; }

const BusEntry* bus_by_text(const char* bus_text) {
    for (const BusEntry& entry : kBuses)
        if (std::strcmp(entry.bus_text, bus_text) == 0) return &entry;
    return nullptr;
}

const BusEntry* bus_by_menu_item(int menu_item) {
    for (const BusEntry& entry : kBuses)
        if (entry.menu_item == menu_item) return &entry;
    return nullptr;
}

void arrange_bus(const BusEntry& entry) {
    SetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION, entry.bus_text);
    for (const BusEntry& other : kBuses)
        for (int control : other.shown)
            SetCtrlAttribute(update_handle, control, ATTR_VISIBLE, shows(entry, control) ? 1 : 0);
}

}  // namespace orvex
