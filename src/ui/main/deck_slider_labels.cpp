#include "ui/main/deck_slider_labels.h"

#include "ui/kit/printf_text.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace plindo::ui {

namespace {

constexpr int kLastStep = 23;

// The negated value rounded (halves away from zero) and clamped before it becomes an integer, so a huge value
// lands on an end; a value that is not a number counts as step 0.
int stepIndex(double value) {
    const double r = std::round(-value);
    if (std::isnan(r)) return 0;
    return static_cast<int>(std::clamp(r, 0.0, double(kLastStep)));
}

}  // namespace

std::string waveyLabel(double value) {
    const int i = stepIndex(value);
    return printfText("Wavey %.1f s", 32.0 * std::exp2(-6.0 * i / kLastStep));
}

std::string sizeLabel(double value) {
    static const std::array<const char*, 8> names = {"off", "puck", "small", "normal", "big", "7\"", "10\"", "12\""};
    static const std::array<double, 3> sizes = {2.0, 1.5, 1.0};
    const int i = stepIndex(value);
    return printfText("%s · %.1f cm", names[size_t(i / 3)], sizes[size_t(i % 3)]);
}

}  // namespace plindo::ui
