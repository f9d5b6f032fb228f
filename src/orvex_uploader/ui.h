// Start-up, the main panel and the operator's commands.
#pragma once

#include <span>

#include "runtime.h"

namespace orvex {

// The program: loads the panels, shows the main panel in its initial state and
// runs the event loop until EXIT. Returns 0, or 1 when the panels cannot be loaded.
int main(int argc, char* argv[]);

// Steps of main before the event loop: loads both panels and puts the main
// panel into its initial state. Returns 0, or the runtime's error when a panel
// cannot be loaded.
int start_up();

// The window program's exit status when no display can be reached (the
// sysexits code for a service that is unavailable).
inline constexpr int kExitNoDisplay = 69;
// Says on stderr, in one line, that no display could be reached and which one
// was tried, and where to turn instead; returns kExitNoDisplay.
int report_no_display(const char* display_tried);

std::span<const runtime::ControlCallbackEntry> control_callbacks();
std::span<const runtime::MenuCallbackEntry> menu_callbacks();

// Menu commands.
void BUS_232(int menuBar, int menuItem, void* callbackData, int panel);
void BUS_488(int menuBar, int menuItem, void* callbackData, int panel);
void BUS_LAN(int menuBar, int menuItem, void* callbackData, int panel);
void Exit_Program(int menuBar, int menuItem, void* callbackData, int panel);

// Control callbacks.
int get_filename(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);
int OK_File(int panel, int control, int event, void* callbackData, int eventData1, int eventData2);

}  // namespace orvex
