// Access to the widgets behind panels, for tests only: tests drive the real
// widgets as an operator would (clicks, typing, menus).
#pragma once

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

}  // namespace runtime
