#pragma once
// The play order of a flip: its jumps cut the track into spans played one after another.
#include "library/deck_meta.h"

#include <vector>

namespace plindo::ui {

struct WaveSpan {
    double start = 0, end = 0;  // track seconds
    bool operator==(const WaveSpan&) const = default;
};

// The spans of `flip` over a track of `durationSec`; the whole track without a flip or without actions.
// Actions other than complete jumps are ignored; no span ends at or before its start.
std::vector<WaveSpan> flipSegments(double durationSec, const library::DeckMeta::Flip* flip);

// The summed length of the spans.
double totalLength(const std::vector<WaveSpan>& spans);

}  // namespace plindo::ui
