#pragma once
// The symbols the views show, painted in code so they look the same everywhere. Each is drawn in a square
// fitted into the given rectangle, in one colour. Add a symbol by adding one entry to the table in the .cpp.
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QRectF>

#include <string>
#include <vector>

class QPainter;

namespace plindo::ui {

// Paints the named symbol; false (nothing painted) for a name the table does not hold.
bool paintSystemImage(QPainter& p, const std::string& name, const QRectF& rect, const QColor& color);
// The symbol as a square pixmap of `px` device-independent pixels; a transparent one for an unknown name.
QPixmap systemPixmap(const std::string& name, int px, const QColor& color, qreal dpr = 1.0);
QIcon systemIcon(const std::string& name, int px, const QColor& color);
std::vector<std::string> systemImageNames();

}  // namespace plindo::ui
