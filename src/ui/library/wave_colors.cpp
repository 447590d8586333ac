#include "ui/library/wave_colors.h"

#include "ui/kit/colors.h"
#include "ui/kit/hex_color.h"

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {

double gained(double v, double gain) { return std::isnan(v) ? 1.0 : std::clamp(v * gain, 0.0, 1.0); }

}  // namespace

QColor envelopeColumnColor(const library::PeakEnvelope& env, int64_t c, double rgbGain, double bandGain) {
    if (c < 0) return QColor::fromRgbF(1, 1, 1, 0.85f);
    const auto i = static_cast<size_t>(c);
    if (env.rgbR && env.rgbR->size() / 3 > i) {
        const auto& v = *env.rgbR;
        return QColor::fromRgbF(float(gained(v[3 * i], rgbGain)), float(gained(v[3 * i + 1], rgbGain)),
                                float(gained(v[3 * i + 2], rgbGain)));
    }
    // The three bands come in equal lengths from the analysis; a record that breaks that reads as no entry.
    if (i >= env.bass.size() || i >= env.mid.size() || i >= env.treble.size()) return QColor::fromRgbF(1, 1, 1, 0.85f);
    return QColor::fromRgbF(float(gained(env.bass[i], bandGain)), float(gained(env.mid[i], bandGain)),
                            float(gained(env.treble[i], bandGain)));
}

QColor columnColor(const library::PeakEnvelope& env, int64_t c) { return envelopeColumnColor(env, c, 3.0, 4.35); }

QColor cueColor(std::string_view hex) { return colorFromHex(hex); }

QColor cueColor(const std::optional<std::string>& hex) { return hex ? colorFromHex(*hex) : colors::yellow(); }

}  // namespace plindo::ui
