#pragma once
// Bar and beat numbering of a track's beat grid for the waveform views: the grid becomes beat times, the
// beat times become ticks counted 1..4 within bars.
#include "library/serato_file_meta.h"

#include <vector>

namespace plindo::library::GridCount {

struct Tick {
    double t = 0;        // seconds
    int bar = 0;         // 1, 2, ... from the first beat; -1, -2, ... for bars extrapolated before it
    int beat = 0;        // 1...4
    bool marker = false; // a grid marker lies within 0.002 s
    bool operator==(const Tick&) const = default;
};

// Beats of a grid are never spaced closer than at this tempo (the grid reader rejects faster grids).
inline constexpr double kMaxBpm = 300.0;
// At most this many beats per track: about 11 hours at 300 BPM, far beyond any track.
inline constexpr size_t kMaxBeats = 200000;
// At most this many ticks extrapolated before the first beat.
inline constexpr int kMaxLeadTicks = 20000;

// Sorted beat times of the grid, extended past its terminal marker up to `until` (or 900 s past the
// terminal when `until` lies before it). Segments with a non-finite end or start contribute nothing.
std::vector<double> beatTimes(const SeratoFileMeta& meta, double until);

// The ticks of beatTimes, with the grid's marker times flagged, counted from 0 s.
std::vector<Tick> ticks(const SeratoFileMeta& meta, double until);

// Numbers ascending beat times as bars of four, extrapolating the first period back to `from`.
std::vector<Tick> ticks(const std::vector<double>& beats, const std::vector<double>& markers, double from);

}  // namespace plindo::library::GridCount
