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

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool lit_ = false;
};

}  // namespace runtime::ui
