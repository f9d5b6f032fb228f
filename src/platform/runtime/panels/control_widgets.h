// The widget of each kind of control, its caption, and the looks that follow
// from the control's state.
#pragma once

#include "panel_registry.h"

class QWidget;

namespace runtime::ui {

// The control's widget (null for timers, which are never shown), parented to
// `parent` and named after the control's identifier.
QWidget* MakeControlWidget(const ControlDescription& desc, QWidget* parent);

// The caption beside a field, or null for kinds that show their own label and
// for fields without one.
QLabel* MakeCaption(const ControlDescription& desc, QWidget* field, QWidget* parent);

// Whether the operator can type into a text field: never for display-only
// fields, otherwise unless the program made the text read-only.
void ApplyEditability(const Control& control);

}  // namespace runtime::ui
