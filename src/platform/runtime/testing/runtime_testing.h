// Access to the widgets behind panels, for tests only: tests drive the real
// widgets as an operator would (clicks, typing, menus).
#pragma once

#include <QString>

class QAction;
class QLabel;
class QMenuBar;
class QTimer;
class QWidget;

namespace runtime {

// The panel's top-level window, or null.
QWidget* PanelWindow(int panel);
// The control's widget (its object name is the control's identifier name, such
// as "UPDATE_START"), or null (unknown control, timer).
QWidget* ControlWidget(int panel, int control);
// The caption shown beside a field, or null.
QLabel* CaptionWidget(int panel, int control);
// A timer control's timer (object name: the identifier name), or null.
QTimer* TimerOf(int panel, int control);

// Activates a menu item, or a menu without items, as choosing it does: through
// its QAction, so its callback runs before this returns. False for unknown,
// disabled or hidden entries and for menus that only open.
bool TriggerMenu(int panel, int menuOrItemId);
// The panel's menu bar widget and the handle its callbacks receive (0 if none).
QMenuBar* MenuBarWidget(int panel);
int MenuBarHandle(int panel);
// The action of a menu item, or the bar entry of a menu.
QAction* MenuAction(int panel, int menuOrItemId);

// How often opening a serial port asked its driver for low latency, and how
// often the driver took it, since the program started.
struct LowLatencyRequests {
    int asked = 0;
    int granted = 0;
};
LowLatencyRequests LowLatencyRequestCount();

// What --list-ports adds to a device's line from the kernel's description of
// `ttyName` under `sysfsRoot`: "driver ftdi_sio  latency timer 16 ms", or less.
QString AdapterDetails(const QString& sysfsRoot, const QString& ttyName);

}  // namespace runtime
