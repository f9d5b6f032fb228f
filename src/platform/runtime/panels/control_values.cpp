// Values of controls: texts of fields and messages, numbers of rings, slides
// and LEDs.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include <algorithm>

#include "led.h"
#include "panel_registry.h"
#include "runtime.h"
#include "text_copy.h"

namespace runtime {

int SetCtrlVal(int panel, int control, const char* text) {
    int error = 0;
    ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    const QString value = QString::fromUtf8(text != nullptr ? text : "");
    if (auto* edit = qobject_cast<QLineEdit*>(target->widget)) {
        edit->setText(value);  // cut to the field's maximum length
        return 0;
    }
    if (target->desc.kind == ui::ControlKind::TextMessage) {
        static_cast<QLabel*>(target->widget)->setText(value);
        return 0;
    }
    return kErrTypeMismatch;
}

int SetCtrlVal(int panel, int control, int value) {
    int error = 0;
    ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    if (auto* ring = qobject_cast<QComboBox*>(target->widget)) {
        const int index = ring->findData(value);
        if (index < 0) return kErrValueNotInList;
        ring->setCurrentIndex(index);
        return 0;
    }
    if (auto* bar = qobject_cast<QProgressBar*>(target->widget)) {
        // A bar ignores values outside its range; the slide takes the nearest end.
        bar->setValue(std::clamp(value, bar->minimum(), bar->maximum()));
        return 0;
    }
    if (auto* led = qobject_cast<ui::Led*>(target->widget)) {
        led->setLit(value != 0);
        return 0;
    }
    return kErrTypeMismatch;
}

int GetCtrlVal(int panel, int control, int* value) {
    int error = 0;
    const ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    if (value == nullptr) return kErrTypeMismatch;
    if (const auto* ring = qobject_cast<const QComboBox*>(target->widget)) {
        *value = ring->currentData().toInt();
        return 0;
    }
    if (const auto* bar = qobject_cast<const QProgressBar*>(target->widget)) {
        *value = bar->value();
        return 0;
    }
    if (const auto* led = qobject_cast<const ui::Led*>(target->widget)) {
        *value = led->isLit() ? 1 : 0;
        return 0;
    }
    return kErrTypeMismatch;
}

int GetCtrlValText(int panel, int control, char* text, std::size_t size) {
    int error = 0;
    const ui::Control* target = ui::FindControl(panel, control, &error);
    if (target == nullptr) return error;
    QString value;
    if (const auto* edit = qobject_cast<const QLineEdit*>(target->widget)) {
        value = edit->text();
    } else if (target->desc.kind == ui::ControlKind::TextMessage) {
        value = static_cast<const QLabel*>(target->widget)->text();
    } else {
        return kErrTypeMismatch;
    }
    return ui::CopyBounded(value.toUtf8(), text, size) ? 0 : kErrBufferTooSmall;
}

}  // namespace runtime
