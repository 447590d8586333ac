#pragma once
// The planning half of the jog emitter: one phone frame extends the deck's track, mapping the phone clock
// onto the media clock (minimum-tracking offset) and angles onto ticks so that the emitted position never
// jumps; a frame that cannot be joined to the plan re-primes it through the emission cursor.
#include "serato/serato_emit.h"

#include <span>

namespace plindo::serato::SeratoEmit {

// speed: the phone's platter rate relative to nominal (1.0 = one turn in 1.8 s); now: media-clock time.
State plan(State state, std::span<const Sample> samples, const Tuning& tuning, double speed, double now);
// The same on a state in place, as the output's real-time path keeps it (no copies of the track).
void planInPlace(State& state, std::span<const Sample> samples, const Tuning& tuning, double speed, double now);

}  // namespace plindo::serato::SeratoEmit
