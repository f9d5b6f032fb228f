// Widgets of the control kinds.
#include "control_widgets.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "led.h"

namespace runtime::ui {
namespace {

constexpr double kProminentScale = 1.35;  // START stands out from the other buttons
constexpr QColor kAlert(0xc0, 0x10, 0x10);

QWidget* MakeString(const ControlDescription& desc, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    if (desc.max_length > 0) edit->setMaxLength(desc.max_length);
    edit->setText(desc.text);
    if (desc.min_chars > 0) {
        const QFontMetrics metrics(edit->font());
        edit->setMinimumWidth(metrics.horizontalAdvance(QString(desc.min_chars, u'0')));
    }
    if (desc.display_only) {
        // Read, selected and copied, but never a stop on the way through the inputs.
        edit->setFocusPolicy(Qt::ClickFocus);
    }
    return edit;
}

QWidget* MakeRing(const ControlDescription& desc, QWidget* parent) {
    auto* ring = new QComboBox(parent);
    for (const RingItem& item : desc.items) ring->addItem(item.label, item.value);
    ring->setCurrentIndex(ring->findData(desc.number));
    return ring;
}

QWidget* MakeCommand(const ControlDescription& desc, QWidget* parent) {
    auto* button = new QPushButton(ShortcutText(desc.label), parent);
    button->setAutoDefault(false);
    if (desc.prominent) {
        QFont font = button->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * kProminentScale);
        button->setFont(font);
        const QFontMetrics metrics(font);
        button->setMinimumSize(metrics.horizontalAdvance(button->text()) + 4 * metrics.height(),
                               2 * metrics.height());
        button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    }
    return button;
}

QWidget* MakeTextMessage(const ControlDescription& desc, QWidget* parent) {
    auto* label = new QLabel(desc.label, parent);
    label->setTextFormat(Qt::PlainText);
    if (desc.alert) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, kAlert);
        label->setPalette(palette);
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    return label;
}

QWidget* MakeSlide(const ControlDescription& desc, QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(desc.minimum, desc.maximum);
    bar->setValue(std::clamp(desc.number, desc.minimum, desc.maximum));
    bar->setFormat(QStringLiteral("%v"));
    bar->setTextVisible(true);
    return bar;
}

QWidget* MakeLed(const ControlDescription& desc, QWidget* parent) {
    auto* led = new Led(parent);
    led->setLit(desc.number != 0);
    return led;
}

QWidget* MakeDecoration(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

bool HasCaption(ControlKind kind) {
    return kind == ControlKind::String || kind == ControlKind::Ring || kind == ControlKind::Slide ||
           kind == ControlKind::Led;
}

}  // namespace

QWidget* MakeControlWidget(const ControlDescription& desc, QWidget* parent) {
    QWidget* widget = nullptr;
    switch (desc.kind) {
        case ControlKind::String:
            widget = MakeString(desc, parent);
            break;
        case ControlKind::Ring:
            widget = MakeRing(desc, parent);
            break;
        case ControlKind::Command:
            widget = MakeCommand(desc, parent);
            break;
        case ControlKind::TextMessage:
            widget = MakeTextMessage(desc, parent);
            break;
        case ControlKind::Slide:
            widget = MakeSlide(desc, parent);
            break;
        case ControlKind::Led:
            widget = MakeLed(desc, parent);
            break;
        case ControlKind::Decoration:
            widget = MakeDecoration(parent);
            break;
        case ControlKind::Timer:
            return nullptr;
    }
    widget->setObjectName(desc.constant);
    return widget;
}

QLabel* MakeCaption(const ControlDescription& desc, QWidget* field, QWidget* parent) {
    if (!HasCaption(desc.kind) || desc.label.isEmpty()) return nullptr;
    auto* caption = new QLabel(ShortcutText(desc.label), parent);
    caption->setTextFormat(Qt::PlainText);
    caption->setBuddy(field);
    caption->setObjectName(desc.constant + QStringLiteral("_caption"));
    return caption;
}

void ApplyEditability(const Control& control) {
    auto* edit = qobject_cast<QLineEdit*>(control.widget);
    if (edit == nullptr) return;
    const bool readOnly = control.desc.display_only || control.no_edit_text;
    edit->setReadOnly(readOnly);
    // A text the operator cannot change looks like a display, not like an input.
    QPalette palette = QApplication::palette(edit);
    if (readOnly) palette.setColor(QPalette::Base, palette.color(QPalette::Window).lighter(103));
    edit->setPalette(palette);
}

}  // namespace runtime::ui
