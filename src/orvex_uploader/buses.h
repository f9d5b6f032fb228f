// The buses the program offers: one row each, read by the Bus Selection menu,
// by the rules that show each bus's controls and by START's dispatch.
#pragma once

#include <span>

#include "bus.h"

namespace orvex {

struct BusEntry {
    int menu_item;                // its entry in the Bus Selection menu
    const char* bus_text;         // shown in UPDATE_BUS_SELECTION; START dispatches on it
    std::span<const int> shown;   // its own controls, visible while it is chosen
    std::span<const int> locked;  // those of them the operator must not touch during a run
    const Bus* bus;
};

std::span<const BusEntry> buses();
const BusEntry* bus_by_text(const char* bus_text);  // nullptr when no bus has that text
const BusEntry* bus_by_menu_item(int menu_item);

// Shows `entry`'s bus text and its own controls, and hides every other bus's.
void arrange_bus(const BusEntry& entry);

}  // namespace orvex
