// What assistive technology (screen readers, UI test tools) learns about a
// panel: a real window named by its title, and every control named by the
// label the operator reads beside it.
#pragma once

#include <QString>
#include <QWidget>

#include <vector>

#include "panel_registry.h"

namespace runtime::ui {

// A panel's top-level window. Its own class lets assistive technology see a
// window, where a bare widget would pass for an anonymous filler.
class TopLevelPanel final : public QWidget {
    Q_OBJECT

public:
    TopLevelPanel();
};

// A label as the operator reads it: without shortcut marks, line breaks and
// runs of blanks ("Unit __ Password" -> "Unit Password").
QString SpokenLabel(const QString& label);

// Names the controls after their captions. A text field without a caption is
// named after the button just left of it (the file name after "Select
// Filename"), the field that button fills in.
void NameControls(std::vector<Control>& controls);

}  // namespace runtime::ui
