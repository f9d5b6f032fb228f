// The indicator lamp.
#include "led.h"

#include <QPainter>
#include <QRadialGradient>

namespace runtime::ui {
namespace {

// Lit: a clear green that reads at a glance; out: the same hue, dark.
constexpr QColor kLit(0x2e, 0xcc, 0x40);
constexpr QColor kOut(0x2a, 0x3d, 0x2c);

}  // namespace

Led::Led(QWidget* parent) : QWidget(parent) { setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed); }

void Led::setLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    describeState();
    update();
}

void Led::setLabel(const QString& label) {
    setAccessibleName(label);
    describeState();
}

void Led::describeState() {
    if (accessibleName().isEmpty()) return;
    setAccessibleDescription(accessibleName() + (lit_ ? QStringLiteral(": on") : QStringLiteral(": off")));
}

QSize Led::sizeHint() const {
    const int side = fontMetrics().height() + 4;
    return {side, side};
}

QSize Led::minimumSizeHint() const { return sizeHint(); }

void Led::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int side = qMin(width(), height()) - 2;
    const QRectF lamp((width() - side) / 2.0, (height() - side) / 2.0, side, side);

    QColor base = lit_ ? kLit : kOut;
    if (!isEnabled()) base = base.darker(130);
    QRadialGradient shine(lamp.center() - QPointF(side / 6.0, side / 6.0), side / 1.6);
    shine.setColorAt(0.0, lit_ ? base.lighter(170) : base.lighter(130));
    shine.setColorAt(1.0, base);

    painter.setPen(QPen(palette().color(QPalette::Shadow), 1.0));
    painter.setBrush(shine);
    painter.drawEllipse(lamp);
}

}  // namespace runtime::ui
