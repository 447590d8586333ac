#pragma once
// One line of text that shortens itself with "…" when its space runs out, instead of asking for more (at its
// end unless told otherwise).
#include <QColor>
#include <QString>
#include <QWidget>

namespace plindo::ui {

class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setColor(const QColor& color);
    QColor color() const { return color_; }
    void setAlignment(Qt::Alignment alignment);
    void setElideMode(Qt::TextElideMode mode);
    // The text as painted at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString text_;
    QColor color_ = Qt::white;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignVCenter;
    Qt::TextElideMode elide_ = Qt::ElideRight;
};

}  // namespace plindo::ui
