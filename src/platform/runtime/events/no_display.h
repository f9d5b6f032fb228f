// Qt ends a program whose platform finds no display with an abort (and a core
// file) after advice to reinstall it. While a DisplayWatch lives, around the
// creation of the application object, the program's own handler speaks
// instead and the process ends with its status.
#pragma once

#include <QtGlobal>

namespace runtime::detail {

class DisplayWatch {
public:
    DisplayWatch();
    ~DisplayWatch();
    DisplayWatch(const DisplayWatch&) = delete;
    DisplayWatch& operator=(const DisplayWatch&) = delete;

private:
    QtMessageHandler previous_ = nullptr;
    bool active_ = false;
};

}  // namespace runtime::detail
