#include "ui/library/wave_spans.h"

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {
// A jump that leaves this close after the cursor plays nothing before it.
constexpr double kMinSpanSec = 0.01;
}  // namespace

std::vector<WaveSpan> flipSegments(double D, const library::DeckMeta::Flip* flip) {
    if (!flip || !flip->actions) return {{0, D}};
    std::vector<WaveSpan> out;
    double cursor = 0;
    for (const auto& a : *flip->actions) {
        if (a.type != "jump" || !a.fromS || !a.toS) continue;
        // A jump after the cursor has run past the track's end would give a span backwards in time.
        const double end = std::min(D, *a.fromS);
        if (*a.fromS > cursor + kMinSpanSec && end > cursor) out.push_back({cursor, end});
        cursor = *a.toS >= 0 ? *a.toS : 0;  // also 0 when not a number
    }
    if (D > cursor) {
        out.push_back({cursor, D});
    } else if (out.empty()) {
        out.push_back({0, D});
    }
    return out;
}

double totalLength(const std::vector<WaveSpan>& spans) {
    double sum = 0;
    for (const auto& s : spans) sum += s.end - s.start;
    return sum;
}

}  // namespace plindo::ui
