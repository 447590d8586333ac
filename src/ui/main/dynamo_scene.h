#pragma once
// The diagnostics drawing of one frame as a list of primitives (so the geometry can be checked without
// pixels), and the small executor that paints such a list. Pure: frame, size and sign-flip bits in, list out.
#include "motion/dynamo_frame.h"

#include <QColor>
#include <QPointF>
#include <QSizeF>
#include <QString>

#include <cstdint>
#include <vector>

class QImage;
class QPainter;

namespace plindo::ui {

struct DynamoPrimitive {
    enum class Kind {
        stroke,    // `points` joined by lines, closed when `closed`
        fill,      // the polygon through `points`
        circle,    // stroked circle of `radius` around points[0]
        disc,      // filled circle of `radius` around points[0]
        gradient,  // the canvas filled with a linear gradient from points[0] to points[1], clipped to `clip`
        text,      // `text` centred on points[0]
    };
    Kind kind = Kind::stroke;
    const char* role = "";  // what the element shows ("rings", "ref", "arrow", "mark", ...)
    std::vector<QPointF> points;
    bool closed = false;
    double radius = 0;
    QColor color = Qt::white;  // opaque; `opacity` applies on top
    double opacity = 1;
    double width = 1;
    std::vector<double> dash;  // points on, off
    bool plus = false;         // additive blending
    // gradient: the two stops' opacities, and the polygon it is clipped to (empty: none)
    double opacity0 = 0;
    double opacity1 = 0;
    std::vector<QPointF> clip;
    // text
    QString text;
    double fontSize = 9;
};

using DynamoScene = std::vector<DynamoPrimitive>;

// Elements with a non-finite (or absurdly large) coordinate or value are left out.
DynamoScene buildDynamoScene(const motion::DynamoFrame& f, QSizeF size, uint32_t flips);

// Paints the list in order. Additive elements need a raster target (a QImage) to add up.
void paintDynamoScene(QPainter& p, const DynamoScene& scene, QSizeF size);

// The frame drawn onto black in a premultiplied image of `size` (points) at `dpr`.
QImage renderDynamoFrame(const motion::DynamoFrame& f, QSizeF size, uint32_t flips, double dpr = 1.0);

}  // namespace plindo::ui
