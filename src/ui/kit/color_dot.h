#pragma once
// A filled circle of one colour at a fixed diameter: the status dots of the deck readouts.
#include <QColor>
#include <QWidget>

namespace plindo::ui {

class ColorDot : public QWidget {
    Q_OBJECT

public:
    explicit ColorDot(int diameter, QWidget* parent = nullptr);

    void setColor(const QColor& color);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_ = Qt::transparent;
};

}  // namespace plindo::ui
