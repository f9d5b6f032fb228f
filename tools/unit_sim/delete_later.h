// Ownership of a socket that may be dropped from inside its own signal
// handlers: it is deleted once control has left them.
#pragma once

#include <QObject>

namespace orvex::sim {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

}  // namespace orvex::sim
