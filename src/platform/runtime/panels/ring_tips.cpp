// Tooltips of single ring items: the window explains each choice (a port's
// device and adapter, say) where the operator picks it.
#include <QComboBox>

#include "panel_registry.h"
#include "runtime.h"

namespace runtime {

int SetRingItemToolTip(int panel, int control, int itemValue, const char* text) {
    int error = 0;
    ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    auto* ring = qobject_cast<QComboBox*>(target->widget);
    if (ring == nullptr) return kErrTypeMismatch;
    const int index = ring->findData(itemValue);
    if (index < 0) return kErrValueNotInList;
    ring->setItemData(index, text != nullptr ? QString::fromUtf8(text) : QString(), Qt::ToolTipRole);
    return 0;
}

}  // namespace runtime
