#include "ui/kit/stroke_pen.h"

#include <QList>

namespace plindo::ui {

QPen strokePen(const QColor& color, double width, std::span<const double> dashPoints) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
    if (!dashPoints.empty() && width > 0) {
        QList<qreal> pattern;
        for (double d : dashPoints) pattern.append(d / width);
        pen.setDashPattern(pattern);
    }
    return pen;
}

QPen strokePen(const QColor& color, double width, std::initializer_list<double> dashPoints) {
    return strokePen(color, width, std::span<const double>(dashPoints.begin(), dashPoints.size()));
}

}  // namespace plindo::ui
