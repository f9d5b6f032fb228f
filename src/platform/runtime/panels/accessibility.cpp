// Names and roles that assistive technology reads.
#include "accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include "led.h"

namespace runtime::ui {
namespace {

bool IsClass(const QString& className, const QMetaObject& meta) {
    return className == QLatin1String(meta.className());
}

// Qt asks this for every widget class it has no interface of its own for; it
// owns (and caches) what is returned.
QAccessibleInterface* InterfaceFor(const QString& className, QObject* object) {
    if (object == nullptr || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (IsClass(className, TopLevelPanel::staticMetaObject))
        return new QAccessibleWidget(widget, QAccessible::Window);
    if (IsClass(className, Led::staticMetaObject)) return new QAccessibleWidget(widget, QAccessible::Graphic);
    return nullptr;
}

// The caption of the command button just left of `field`, in its row.
QString LabelOfButtonBefore(const std::vector<Control>& controls, const Control& field) {
    const GridCell& at = field.desc.cell;
    if (at.row < 0 || at.column < 1) return {};
    for (const Control& other : controls) {
        const GridCell& cell = other.desc.cell;
        if (other.desc.kind == ControlKind::Command && other.desc.group == field.desc.group &&
            cell.row == at.row && cell.column + cell.column_span == at.column)
            return SpokenLabel(other.desc.label);
    }
    return {};
}

}  // namespace

TopLevelPanel::TopLevelPanel() {
    // Once per process, before Qt first asks about a panel.
    [[maybe_unused]] static const bool installed = (QAccessible::installFactory(InterfaceFor), true);
}

QString SpokenLabel(const QString& label) {
    const QString marked = ShortcutText(label);
    QString spoken;
    spoken.reserve(marked.size());
    for (qsizetype i = 0; i < marked.size(); ++i) {
        // "&&" is a literal '&'; a lone '&' only marks the shortcut.
        if (marked[i] == u'&' && ++i == marked.size()) break;
        spoken += marked[i];
    }
    return spoken.simplified();
}

void NameControls(std::vector<Control>& controls) {
    for (Control& control : controls) {
        if (control.widget == nullptr) continue;
        QString name;
        if (control.caption != nullptr) {
            name = SpokenLabel(control.desc.label);
        } else if (control.desc.kind == ControlKind::String) {
            name = LabelOfButtonBefore(controls, control);
        }
        if (name.isEmpty()) continue;
        if (auto* led = qobject_cast<Led*>(control.widget)) {
            led->setLabel(name);
        } else {
            control.widget->setAccessibleName(name);
        }
    }
}

}  // namespace runtime::ui
