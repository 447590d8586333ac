#pragma once
// A square picture clipped to a rounded rectangle: an image scaled to fill (aspect kept, overflow cut), or
// while there is none a fill colour with an optional symbol over it.
#include <QColor>
#include <QImage>
#include <QWidget>

#include <string>

namespace plindo::ui {

class ImageTile : public QWidget {
    Q_OBJECT

public:
    ImageTile(int side, double cornerRadius, QWidget* parent = nullptr);

    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    // What shows without an image; an empty symbol name shows the fill alone.
    void setFallback(const QColor& fill, const std::string& symbol = {}, const QColor& symbolColor = {});

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const double radius_;
    QImage image_;
    QColor fill_ = Qt::transparent;
    std::string symbol_;
    QColor symbolColor_;
};

}  // namespace plindo::ui
