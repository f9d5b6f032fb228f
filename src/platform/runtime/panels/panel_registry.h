// The loaded panels, addressed by handle, with their controls and menus, and
// the one way callbacks of the program are called.
#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <vector>

#include "panel_file.h"
#include "runtime.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QTimer;
class QWidget;

namespace runtime::ui {

// Controls and menus are numbered from 2 in file order (1 names the panel or
// the menu bar itself).
inline constexpr int kFirstControlId = 2;
inline constexpr int kFirstMenuId = 2;

// A timer control as the program sees it; its QTimer may fire before `due`
// (control_timers.h).
struct TimerSchedule {
    using Clock = std::chrono::steady_clock;
    bool enabled = false;
    std::chrono::milliseconds period{0};  // the interval of the last start
    Clock::time_point due{};              // the next tick
    std::chrono::milliseconds armed{0};   // the QTimer's interval
    Clock::time_point armed_for{};        // when the QTimer fires next
};

struct Control {
    int id = 0;
    ControlDescription desc;
    QWidget* widget = nullptr;  // owned by the panel window; null for timers
    QLabel* caption = nullptr;  // owned by the panel window; null when uncaptioned
    QTimer* timer = nullptr;    // owned by the panel window; timers only
    TimerSchedule schedule;     // timers only
    CtrlCallbackPtr callback = nullptr;
    // Attribute state as the program set it (the widgets' own flags also
    // depend on the window's state).
    bool dimmed = false;
    bool visible = true;
    bool no_edit_text = false;
};

struct MenuEntry {
    int id = 0;
    QString constant;
    QAction* action = nullptr;  // an item, or the bar entry of a menu
    QMenu* menu = nullptr;      // menus with items
    MenuCallbackPtr callback = nullptr;
};

struct Panel {
    int handle = 0;
    QString name;
    std::unique_ptr<QWidget> window;
    std::vector<Control> controls;  // index: id - kFirstControlId
    int menubar_handle = 0;
    QMenuBar* menubar = nullptr;
    std::vector<MenuEntry> menus;  // index: id - kFirstMenuId
    int active_control = 0;        // the last SetActiveCtrl, while the window has no focus
};

int NextPanelHandle();
int NextMenuBarHandle();
void AddPanel(std::unique_ptr<Panel> panel);
// Destroys the panel's window; while a callback runs, only once control is
// back in an event loop (the callback may belong to one of its widgets).
bool RemovePanel(int handle);

Panel* FindPanel(int handle);
// The control, or null with *error set to kErrInvalidPanel or kErrInvalidControl.
Control* FindControl(int panel, int control, int* error);
Control* ControlOfWidget(Panel& panel, const QWidget* widget);
MenuEntry* FindMenuEntry(int panel, int id);

// Calls the program's callback of a control or menu entry, if it has one.
// Safe when the callback discards the panel.
void CallControl(int panel, int control, int event);
void CallMenu(int panel, int id);

}  // namespace runtime::ui
