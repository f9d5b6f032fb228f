// A round indicator lamp, lit or out, sized from the font so that it scales
// with the rest of the panel.
#pragma once

#include <QWidget>

namespace runtime::ui {

class Led final : public QWidget {
    Q_OBJECT

public:
    explicit Led(QWidget* parent = nullptr);

    void setLit(bool lit);
    bool isLit() const { return lit_; }

    // The label the lamp is known by; its accessible description then tells
    // whether it is lit ("Transmit: on"), following every change.
    void setLabel(const QString& label);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void describeState();

    bool lit_ = false;
};

}  // namespace runtime::ui
