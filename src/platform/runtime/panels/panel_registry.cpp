// The loaded panels and the calls into the program.
#include "panel_registry.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

#include <map>

namespace runtime::ui {
namespace {

std::map<int, std::unique_ptr<Panel>>& Panels() {
    static std::map<int, std::unique_ptr<Panel>> panels;
    return panels;
}

int g_last_panel_handle = 0;
int g_last_menubar_handle = 0;
int g_callback_depth = 0;  // callbacks of the program on the stack
bool g_cleanup_registered = false;

// Widgets must go before the application object does; the application calls
// its post routines first thing in its destructor, while it is whole.
void DiscardAllPanels() {
    g_cleanup_registered = false;
    auto& panels = Panels();
    while (!panels.empty()) {
        auto node = panels.extract(panels.begin());
        node.mapped()->window.reset();
    }
}

void Release(std::unique_ptr<Panel> panel) {
    for (Control& control : panel->controls)
        if (control.timer != nullptr) control.timer->stop();
    if (g_callback_depth > 0) {
        panel->window->hide();
        panel->window.release()->deleteLater();
    }
}

class CallbackScope {
public:
    CallbackScope() { ++g_callback_depth; }
    ~CallbackScope() { --g_callback_depth; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
};

}  // namespace

int NextPanelHandle() { return ++g_last_panel_handle; }
int NextMenuBarHandle() { return ++g_last_menubar_handle; }

void AddPanel(std::unique_ptr<Panel> panel) {
    if (!g_cleanup_registered) {
        qAddPostRoutine(&DiscardAllPanels);
        g_cleanup_registered = true;
    }
    const int handle = panel->handle;
    Panels()[handle] = std::move(panel);
}

bool RemovePanel(int handle) {
    auto& panels = Panels();
    auto node = panels.extract(handle);
    if (node.empty()) return false;
    Release(std::move(node.mapped()));
    return true;
}

Panel* FindPanel(int handle) {
    auto& panels = Panels();
    const auto found = panels.find(handle);
    return found == panels.end() ? nullptr : found->second.get();
}

Control* FindControl(int panel, int control, int* error) {
    Panel* owner = FindPanel(panel);
    if (owner == nullptr) {
        if (error != nullptr) *error = kErrInvalidPanel;
        return nullptr;
    }
    const int index = control - kFirstControlId;
    if (index < 0 || index >= static_cast<int>(owner->controls.size())) {
        if (error != nullptr) *error = kErrInvalidControl;
        return nullptr;
    }
    return &owner->controls[static_cast<std::size_t>(index)];
}

Control* ControlOfWidget(Panel& panel, const QWidget* widget) {
    for (; widget != nullptr && widget != panel.window.get(); widget = widget->parentWidget())
        for (Control& control : panel.controls)
            if (control.widget == widget) return &control;
    return nullptr;
}

MenuEntry* FindMenuEntry(int panel, int id) {
    Panel* owner = FindPanel(panel);
    if (owner == nullptr) return nullptr;
    const int index = id - kFirstMenuId;
    if (index < 0 || index >= static_cast<int>(owner->menus.size())) return nullptr;
    return &owner->menus[static_cast<std::size_t>(index)];
}

void CallControl(int panel, int control, int event) {
    const Control* target = FindControl(panel, control, nullptr);
    if (target == nullptr || target->callback == nullptr) return;
    const CtrlCallbackPtr callback = target->callback;
    CallbackScope scope;
    callback(panel, control, event, nullptr, 0, 0);
}

void CallMenu(int panel, int id) {
    const Panel* owner = FindPanel(panel);
    const MenuEntry* entry = FindMenuEntry(panel, id);
    if (owner == nullptr || entry == nullptr || entry->callback == nullptr) return;
    const MenuCallbackPtr callback = entry->callback;
    const int menubar = owner->menubar_handle;
    CallbackScope scope;
    callback(menubar, id, nullptr, panel);
}

}  // namespace runtime::ui
