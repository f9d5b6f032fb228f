// Attributes of controls and panels, the input focus, and timer restarts.
#include <QLabel>
#include <QWidget>

#include "control_timers.h"
#include "control_widgets.h"
#include "panel_registry.h"
#include "runtime.h"
#include "text_copy.h"

namespace runtime {
namespace {

int SetTimerEnabled(ui::Control& control, bool enabled) {
    if (!enabled) {
        ui::StopTimer(control);
    } else if (!control.schedule.enabled) {
        // Enabling a running timer leaves its interval alone; only ResetTimer restarts it.
        ui::StartTimer(control);
    }
    return 0;
}

void SetVisible(ui::Control& control, bool visible) {
    control.visible = visible;
    control.widget->setVisible(visible);
    if (control.caption != nullptr) control.caption->setVisible(visible);
}

void SetDimmed(ui::Control& control, bool dimmed) {
    control.dimmed = dimmed;
    control.widget->setEnabled(!dimmed);
    if (control.caption != nullptr) control.caption->setEnabled(!dimmed);
}

}  // namespace

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    int error = 0;
    ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    const bool on = value != 0;
    if (target->timer != nullptr) {
        return attribute == ATTR_ENABLED ? SetTimerEnabled(*target, on) : kErrInvalidAttribute;
    }
    switch (attribute) {
        case ATTR_DIMMED:
            SetDimmed(*target, on);
            return 0;
        case ATTR_VISIBLE:
            SetVisible(*target, on);
            return 0;
        case ATTR_NO_EDIT_TEXT:
            if (target->desc.kind != ui::ControlKind::String) return kErrInvalidAttribute;
            target->no_edit_text = on;
            ui::ApplyEditability(*target);
            return 0;
        default:
            return kErrInvalidAttribute;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
    int error = 0;
    const ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    if (value == nullptr) return kErrInvalidAttribute;
    if (target->timer != nullptr) {
        if (attribute != ATTR_ENABLED) return kErrInvalidAttribute;
        *value = target->schedule.enabled ? 1 : 0;
        return 0;
    }
    switch (attribute) {
        case ATTR_DIMMED:
            *value = target->dimmed ? 1 : 0;
            return 0;
        case ATTR_VISIBLE:
            *value = target->visible ? 1 : 0;
            return 0;
        case ATTR_NO_EDIT_TEXT:
            if (target->desc.kind != ui::ControlKind::String) return kErrInvalidAttribute;
            *value = target->no_edit_text ? 1 : 0;
            return 0;
        default:
            return kErrInvalidAttribute;
    }
}

int GetPanelAttributeText(int panel, int attribute, char* text, std::size_t size) {
    const ui::Panel* target = ui::FindPanel(panel);
    if (target == nullptr) return kErrInvalidPanel;
    if (attribute != ATTR_TITLE) return kErrInvalidAttribute;
    return ui::CopyBounded(target->window->windowTitle().toUtf8(), text, size) ? 0 : kErrBufferTooSmall;
}

int SetActiveCtrl(int panel, int control) {
    int error = 0;
    ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    if (target->widget == nullptr || target->widget->focusPolicy() == Qt::NoFocus) return kErrInvalidControl;
    ui::FindPanel(panel)->active_control = control;
    // In a window that is not active this only marks the widget, which takes
    // the focus when the window is activated.
    target->widget->setFocus(Qt::OtherFocusReason);
    return 0;
}

int GetActiveCtrl(int panel) {
    ui::Panel* target = ui::FindPanel(panel);
    if (target == nullptr) return kErrInvalidPanel;
    if (const ui::Control* focused = ui::ControlOfWidget(*target, target->window->focusWidget()))
        return focused->id;
    return target->active_control;
}

int ResetTimer(int panel, int control) {
    int error = 0;
    ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    if (target->timer == nullptr) return kErrInvalidControl;
    // A stopped timer starts a full interval whenever it is enabled anyway.
    if (target->schedule.enabled) ui::StartTimer(*target);
    return 0;
}

}  // namespace runtime
