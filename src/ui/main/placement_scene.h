#pragma once
// The placement canvas: the platter in a fixed oblique view with the phone lying on it (where, how turned,
// how tilted, whether lifted) and the motor field it senses. One pass draws a whole frame from its inputs.
#include "link/orv_remote_link.h"
#include "ui/kit/layer_painter.h"

#include <QFont>
#include <QImage>
#include <QSizeF>
#include <QStaticText>
#include <QString>

#include <vector>

class QPainter;

namespace plindo::ui {

// What a canvas keeps from frame to frame, so that a frame at a phone's rate allocates no layer, lays out no
// text and strokes no rim: the layers its soft and translucent parts go through, the texts it has laid out,
// and the rim and spindle cap that lie over the phone, drawn once per size and freshness.
class PlacementKeep {
public:
    LayerPainter layers;

    // What the canvas repaints of this frame; a null rectangle (the start) is all of it.
    void setPaintRect(QRectF rect) { paintRect_ = rect; }
    // `s` centred on the anchor's x, with its top (Qt::AlignTop) or middle at the anchor's y.
    void text(QPainter& p, QPointF anchor, const QString& s, const QFont& font, const QColor& colour,
              Qt::Alignment vertical);
    // The rim and cap for the view of `size` at `alpha`, drawn into `overlay()` when they are not there yet.
    const QImage& overlay(QSizeF size, double alpha, double dpr, QRectF& where);
    // A painter on the kept phone layer, the size of the canvas and clear over `reach`; `endPhone` lays that part
    // on the canvas.
    QPainter& beginPhone(QRectF reach, QSizeF canvas, double dpr);
    void endPhone(QPainter& p);

private:
    struct Laid {
        QString text;
        QFont font;
        QStaticText laid;
    };
    std::vector<Laid> texts_;
    QRectF paintRect_;
    QImage overlay_;
    QImage phone_;
    QPainter phonePainter_;  // after the image, so it closes before the image goes
    QRect phoneReach_;  // device pixels
    QSizeF overlaySize_;
    double overlayAlpha_ = -1;
};

// `theta` is the phone's yaw as the tile extrapolated it. A stale record (`fresh` false) dims the platter and
// draws no phone.
void drawPlacementScene(QPainter& p, const link::OrvRemoteLink::RawMirror& raw, bool fresh, const QString& bigLabel,
                        const QString& smallLabel, QSizeF size, double theta);

// Where a frame's moving parts lie: the phone (or its icon) with its shadow, and the field glow. Between two
// frames of one look (`placementLook`) nothing else changes, so a canvas repaints only these of both frames.
QRectF placementMovingRect(const link::OrvRemoteLink::RawMirror& raw, bool fresh, QSizeF size, double theta);
// What else the foreground shows (freshness, the phone's state behind its caption, the labels); a change repaints
// the whole canvas.
struct PlacementLook {
    bool fresh = false;
    int state = 0;  // no phone, the icon, the phone lifted, measuring or settled
    QString bigLabel, smallLabel;
    bool operator==(const PlacementLook&) const = default;
};
PlacementLook placementLook(const link::OrvRemoteLink::RawMirror& raw, bool fresh, const QString& bigLabel,
                            const QString& smallLabel);

// The scene in two layers, for a canvas that keeps the first: the ground, platter, sheen, "12" and spindle post
// depend on the size and the freshness only; the rest lies over them.
void drawPlacementBackdrop(QPainter& p, bool fresh, QSizeF size);
void drawPlacementForeground(QPainter& p, const link::OrvRemoteLink::RawMirror& raw, bool fresh,
                             const QString& bigLabel, const QString& smallLabel, QSizeF size, double theta,
                             PlacementKeep& keep);

}  // namespace plindo::ui
