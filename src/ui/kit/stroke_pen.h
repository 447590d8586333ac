#pragma once
// The pen of the canvases' strokes: flat caps, miter joins with limit 10, dashes given in points. Qt counts
// dash lengths in pen widths, so the points are divided by the width here ([4, 3] at width 1.2 is 3.33, 2.5).
#include <QColor>
#include <QPen>

#include <initializer_list>
#include <span>

namespace plindo::ui {

QPen strokePen(const QColor& color, double width, std::span<const double> dashPoints = {});
QPen strokePen(const QColor& color, double width, std::initializer_list<double> dashPoints);

}  // namespace plindo::ui
