// The program's callbacks by name, as the panel file refers to them.
#pragma once

#include <QString>

#include "runtime.h"

namespace runtime::ui {

// True, with *function set, when the program's table holds `name`.
bool LookUpControlCallback(const QString& name, CtrlCallbackPtr* function);
bool LookUpMenuCallback(const QString& name, MenuCallbackPtr* function);

}  // namespace runtime::ui
