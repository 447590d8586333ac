#pragma once
// A track whose sample value is its frame index (right channel negated), so rendered output shows the
// play position.
#include "motion/cells.h"

#include <memory>

namespace plindo::motion::test {

inline StemRef rampStem(double seconds, double rate = 48000) {
    auto s = std::make_shared<StemBuf>();
    for (size_t i = 0; i < static_cast<size_t>(seconds * rate); ++i) {
        s->left.push_back(static_cast<float>(i));
        s->right.push_back(-static_cast<float>(i));
    }
    s->sampleRate = rate;
    return s;
}

}  // namespace plindo::motion::test
