// Turns a panel description into its window: groups, controls with their
// captions, timers and the menu bar, laid out with Qt layouts only.
#pragma once

#include "panel_registry.h"

namespace runtime::ui {

// Builds `panel` (whose handle is set) from `desc`. Returns 0, or
// kErrCallbackName when the description names a callback that the program's
// table lacks; nothing is built then.
int BuildPanel(const PanelDescription& desc, Panel& panel);

}  // namespace runtime::ui
