// Test access to panel widgets.
#include "runtime_testing.h"

#include <QWidget>

#include "low_latency.h"
#include "menu_bar.h"
#include "panel_registry.h"

namespace runtime {

QWidget* PanelWindow(int panel) {
    const ui::Panel* target = ui::FindPanel(panel);
    return target == nullptr ? nullptr : target->window.get();
}

QWidget* ControlWidget(int panel, int control) {
    const ui::Control* target = ui::FindControl(panel, control, nullptr);
    return target == nullptr ? nullptr : target->widget;
}

QLabel* CaptionWidget(int panel, int control) {
    const ui::Control* target = ui::FindControl(panel, control, nullptr);
    return target == nullptr ? nullptr : target->caption;
}

QTimer* TimerOf(int panel, int control) {
    const ui::Control* target = ui::FindControl(panel, control, nullptr);
    return target == nullptr ? nullptr : target->timer;
}

bool TriggerMenu(int panel, int menuOrItemId) { return ui::ActivateMenuEntry(panel, menuOrItemId); }

QMenuBar* MenuBarWidget(int panel) {
    const ui::Panel* target = ui::FindPanel(panel);
    return target == nullptr ? nullptr : target->menubar;
}

int MenuBarHandle(int panel) {
    const ui::Panel* target = ui::FindPanel(panel);
    return target == nullptr ? 0 : target->menubar_handle;
}

QAction* MenuAction(int panel, int menuOrItemId) {
    const ui::MenuEntry* entry = ui::FindMenuEntry(panel, menuOrItemId);
    return entry == nullptr ? nullptr : entry->action;
}

LowLatencyRequests LowLatencyRequestCount() {
    return {detail::LowLatencyAsked(), detail::LowLatencyGranted()};
}

QString AdapterDetails(const QString& sysfsRoot, const QString& ttyName) {
    return detail::AdapterDetails(sysfsRoot, ttyName);
}

}  // namespace runtime
