#include "ui/library/wave_colors.h"

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {

double gained(double v, double gain) { return std::isnan(v) ? 1.0 : std::clamp(v * gain, 0.0, 1.0); }

// TODO(kit): replace by the kit's hex parser and yellow.
QColor kitYellow() { return QColor::fromRgbF(1.0f, 0.839f, 0.039f); }
std::optional<QColor> kitHex(std::string_view s) {
    if (!s.empty() && s.front() == '#') s.remove_prefix(1);
    if (s.size() != 6) return std::nullopt;
    unsigned v = 0;
    for (char ch : s) {
        int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
        if (d < 0) return std::nullopt;
        v = v * 16 + unsigned(d);
    }
    return QColor(int((v >> 16) & 255), int((v >> 8) & 255), int(v & 255));
}

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

QColor cueColor(std::string_view hex) { return kitHex(hex).value_or(kitYellow()); }

QColor cueColor(const std::optional<std::string>& hex) { return hex ? cueColor(std::string_view(*hex)) : kitYellow(); }

}  // namespace plindo::ui
