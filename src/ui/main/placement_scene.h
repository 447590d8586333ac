#pragma once
// The placement canvas: the platter in a fixed oblique view with the phone lying on it (where, how turned,
// how tilted, whether lifted) and the motor field it senses. One pass draws a whole frame from its inputs.
#include "link/orv_remote_link.h"

#include <QSizeF>
#include <QString>

class QPainter;

namespace plindo::ui {

// `theta` is the phone's yaw as the tile extrapolated it. A stale record (`fresh` false) dims the platter and
// draws no phone.
void drawPlacementScene(QPainter& p, const link::OrvRemoteLink::RawMirror& raw, bool fresh, const QString& bigLabel,
                        const QString& smallLabel, QSizeF size, double theta);

// The scene in two layers, for a canvas that keeps the first: the ground, platter, sheen, "12" and spindle post
// depend on the size and the freshness only; the rest lies over them.
void drawPlacementBackdrop(QPainter& p, bool fresh, QSizeF size);
void drawPlacementForeground(QPainter& p, const link::OrvRemoteLink::RawMirror& raw, bool fresh,
                             const QString& bigLabel, const QString& smallLabel, QSizeF size, double theta);

}  // namespace plindo::ui
