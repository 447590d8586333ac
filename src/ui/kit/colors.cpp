#include "ui/kit/colors.h"

#include <algorithm>

namespace plindo::ui::colors {

QColor deck(int deck) { return deck == 2 ? QColor::fromRgbF(0.91f, 0.765f, 0.227f) : QColor::fromRgbF(0.541f, 0.31f, 0.847f); }

QColor accent() { return blue(); }
QColor red() { return {255, 69, 58}; }
QColor orange() { return {255, 159, 10}; }
QColor yellow() { return {255, 214, 10}; }
QColor green() { return {48, 209, 88}; }
QColor mint() { return {102, 212, 207}; }
QColor teal() { return {64, 200, 224}; }
QColor cyan() { return {100, 210, 255}; }
QColor blue() { return {10, 132, 255}; }
QColor indigo() { return {94, 92, 230}; }
QColor purple() { return {191, 90, 242}; }
QColor pink() { return {255, 55, 95}; }
QColor brown() { return {172, 142, 104}; }
QColor gray() { return {142, 142, 147}; }

QColor primary() { return {255, 255, 255}; }
QColor secondary() { return withOpacity(primary(), 0.55); }
QColor tertiary() { return withOpacity(primary(), 0.25); }
QColor quaternary() { return withOpacity(primary(), 0.1); }

QColor windowBackground() { return {30, 30, 30}; }
QColor controlBackground() { return {40, 40, 40}; }

QColor withOpacity(QColor c, double opacity) {
    c.setAlphaF(float(std::clamp(c.alphaF() * opacity, 0.0, 1.0)));
    return c;
}

}  // namespace plindo::ui::colors
