#pragma once
// The emitting half of the jog emitter: run by the output's drain about every millisecond, it walks the
// emission cursor along the planned track up to now - delay and returns a message for every step in which
// the whole tick changed (stamped when the tick was crossed), plus a heartbeat repeating the last tick
// whenever one heartbeat period passed without a message.
#include "serato/serato_emit.h"

namespace plindo::serato::SeratoEmit {

struct StepResult {
    State state;
    Messages messages;
};

StepResult step(State state, int deck, const Tuning& tuning, double now);

}  // namespace plindo::serato::SeratoEmit
