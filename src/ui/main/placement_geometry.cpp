#include "ui/main/placement_geometry.h"

#include <algorithm>
#include <cmath>

namespace plindo::ui::placement {

namespace {
constexpr double kViewWidthCm = 1.12 * 30.48;   // the platter's diameter and a little room
constexpr double kViewHeightCm = 0.6 * 30.48;
constexpr double kDepthFactor = 0.42;           // how much world y is foreshortened on screen
constexpr double kHeightFactor = 0.86;          // and world z

int corner(int index) { return ((index % 4) + 4) % 4; }
}  // namespace

QPointF View::project(double x, double y, double z) const {
    return {cx + k * x, cy - k * (kDepthFactor * y + kHeightFactor * z)};
}

QRectF View::ellipse(double r, double z) const {
    return {cx - k * r, cy - kDepthFactor * k * r - kHeightFactor * k * z, 2 * k * r, 2 * kDepthFactor * k * r};
}

double scaleK(QSizeF size) { return std::min(size.width() / kViewWidthCm, size.height() / kViewHeightCm); }

View viewFor(QSizeF size) {
    View v;
    v.W = size.width();
    v.H = size.height();
    v.k = scaleK(size);
    v.cx = 0.5 * v.W;
    v.cy = 0.58 * v.H;
    v.R = v.k * kPlatterCm;
    return v;
}

Vec2 rot(Vec2 p, double theta) {
    const double c = std::cos(theta), s = std::sin(theta);
    return {p.x * c - p.y * s, p.x * s + p.y * c};
}

const std::array<Vec2, 4>& footprint() {
    static constexpr std::array<Vec2, 4> kCorners{{
        {-kPhoneW / 2, -kPhoneL / 2},
        {kPhoneW / 2, -kPhoneL / 2},
        {kPhoneW / 2, kPhoneL / 2},
        {-kPhoneW / 2, kPhoneL / 2},
    }};
    return kCorners;
}

Vec2 phoneCentre(double offX, double offY, double theta) {
    const Vec2 r = rot({offX, offY}, theta);
    return {-r.x, -r.y};
}

Vec2 phoneToWorld(Vec2 p, double offX, double offY, double theta) {
    const Vec2 r = rot(p, theta), t = phoneCentre(offX, offY, theta);
    return {r.x + t.x, r.y + t.y};
}

double restHeight(bool lifted) { return lifted ? kLiftedCm : kRestCm; }

double tiltRise(double planeDevDeg, bool lifted) {
    const double d = (!lifted && planeDevDeg >= 0) ? planeDevDeg * M_PI / 180 : 0;
    return std::tan(d) * kPhoneL;
}

double underside(double y, double h, double rise) { return h + ((y + kPhoneL / 2) / kPhoneL) * rise; }
double topside(double y, double h, double rise) { return underside(y, h, rise) + kBodyCm; }

bool isLifted(int placeFlags, bool fresh) { return fresh && (placeFlags & 0x30) == 0x20; }

double fieldGlow(double fieldAC) {
    if (!(fieldAC > 0)) return 0;  // also NaN
    return std::min(fieldAC / kFieldFull, 1.0);
}

double edgeDepth(int edge, double theta, const std::array<Vec2, 4>& corners) {
    const double s = std::sin(theta), c = std::cos(theta);
    const int i = corner(edge);
    const Vec2 a = corners[size_t(i)], b = corners[size_t((i + 1) % 4)];
    return (a.x * s + a.y * c) + (b.x * s + b.y * c);
}

void sortEdgesByDepth(std::vector<int>& edges, double theta, const std::array<Vec2, 4>& corners) {
    std::stable_sort(edges.begin(), edges.end(), [&](int a, int b) {
        return edgeDepth(a, theta, corners) > edgeDepth(b, theta, corners);
    });
}

}  // namespace plindo::ui::placement
