#pragma once
// The fixed oblique view of the placement canvas, in real centimetres: world x to the right, y away from the
// viewer, z up, origin at the spindle on the platter surface. Pure functions, so the drawing can be checked
// without pixels.
#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <array>
#include <vector>

namespace plindo::ui::placement {

inline constexpr double kPlatterCm = 15.24;   // platter and record radius: a 12-inch record
inline constexpr double kPhoneW = 7.15;       // the phone's footprint, centimetres
inline constexpr double kPhoneL = 14.67;
inline constexpr double kRestCm = 1.3;        // underside of a phone lying on the platter
inline constexpr double kLiftedCm = 5.3;      // ... and of one held above it
inline constexpr double kBodyCm = 0.9;        // the phone's thickness
inline constexpr double kFieldFull = 1.4;     // µT of motor field that glow at full strength

struct Vec2 {
    double x = 0;
    double y = 0;
};

struct View {
    double W = 0, H = 0;
    double k = 0;   // points per centimetre
    double cx = 0, cy = 0;  // the spindle foot on screen
    double R = 0;   // the platter radius in points

    // Screen point of a world point.
    QPointF project(double x, double y, double z) const;
    // The ellipse of a horizontal circle of radius r around the spindle at height z.
    QRectF ellipse(double r, double z) const;
};

View viewFor(QSizeF size);
// min(W / 34.1376, H / 18.288): the platter and some room fit either way.
double scaleK(QSizeF size);

Vec2 rot(Vec2 p, double theta);
// The footprint corners c0...c3 in phone-local centimetres, y along the long side.
const std::array<Vec2, 4>& footprint();
// Where the phone's centre lies: the spindle's offset is given as seen from the phone.
Vec2 phoneCentre(double offX, double offY, double theta);
// The world position of a phone-local point.
Vec2 phoneToWorld(Vec2 p, double offX, double offY, double theta);

double restHeight(bool lifted);
// How much higher the far end (y = +7.335) lies than the near one: tan(planeDevDeg) over the phone's length;
// flat when lifted or while the plane is not learned.
double tiltRise(double planeDevDeg, bool lifted);
// Underside and top height under the phone-local long-side coordinate y.
double underside(double y, double h, double rise);
double topside(double y, double h, double rise);

// The phone is lifted: fresh, and bits 4 and 5 read "lifted" (0x20).
bool isLifted(int placeFlags, bool fresh);
// The motor field's glow strength, clamp(fieldAC / 1.4, 0, 1); drawn above 0.02.
double fieldGlow(double fieldAC);

// Sorts edge indices (edge e runs from corner e to corner e + 1, indices taken modulo 4) so that the farther
// edge comes first; equal depths keep their order.
void sortEdgesByDepth(std::vector<int>& edges, double theta, const std::array<Vec2, 4>& corners);
double edgeDepth(int edge, double theta, const std::array<Vec2, 4>& corners);

}  // namespace plindo::ui::placement
