// The menu bar of a panel: menus with items, and menus without items that are
// commands of their own.
#pragma once

#include <vector>

#include "panel_registry.h"

namespace runtime::ui {

// Builds the bar into `panel` (menubar, menus) with the callbacks already
// looked up, one per menu and item in identifier order.
void BuildMenuBar(const PanelDescription& desc, const std::vector<MenuCallbackPtr>& callbacks, Panel& panel);

// Activates an item, or a menu without items, as choosing it does. False for
// unknown, disabled or hidden entries and for menus that only open.
bool ActivateMenuEntry(int panel, int id);

}  // namespace runtime::ui
