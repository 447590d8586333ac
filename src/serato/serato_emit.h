#pragma once
// The jog emitter's records and the evaluations of a deck's planned track. The planner (serato_emit_plan.h)
// turns phone frames into a short track of (media-clock time, tick position) points; the step
// (serato_emit_step.h) walks an emission cursor along it every millisecond and produces the jog messages.
// Positions are ticks at 3600 per platter turn; a phone angle a maps to -a / 2pi * 3600 + angleOffset.
#include "motion/fixed_list.h"

#include <cstdint>
#include <limits>
#include <optional>

namespace plindo::serato::SeratoEmit {

struct TrackPoint {
    double t = 0;  // media-clock seconds
    double p = 0;  // ticks
    bool operator==(const TrackPoint&) const = default;
};

struct Message {
    int deck = 1;
    double stampSec = 0;  // when the platter was there; also the delivery time
    int64_t tick = 0;     // absolute platter position
    bool withPosition = false;
    bool operator==(const Message&) const = default;
};

// One platter sample of a phone frame.
struct Sample {
    double angle = 0;  // radians
    double ts = 0;     // the phone's seconds
};

struct Tuning {
    double period = 0.001;          // drain period
    double delay = 0.014;           // the step plans up to now - delay
    double step = 0.001;            // longest time step of one message
    double heartbeat = 0.008;       // longest gap between two messages
    double minStep = 0.00002;       // shortest time step and least stamp spacing
    double maxStepTicks = 60;       // most ticks per message before the phase-slew margin
    double ahead = 0.03;            // least extrapolation horizon
    double segFactor = 1.5;         // horizon as a multiple of the last segment
    double reprime = 0.35;          // a longer pause in new samples re-primes; also the greatest horizon
    double tsBackJump = 5.0;        // a phone clock this far back re-primes
    double maxTickRate = 72000;     // fastest plausible platter, ticks/s
    double phaseSlew = 200;         // ticks/s at which the phase offset is worked off
    double phaseFold = 900;         // a larger phase offset is folded into the track
    int64_t maxMessages = 64;       // most messages per step
    int64_t maxTrackPoints = 4;     // most points in the track
    double minPointGap = 0.001;     // closer samples add no point; reach of a still prime
    double primeBackMoving = 0.02;  // reach of a moving prime
    double clockDrift = 0.0002;     // added to the clock offset at every feed
    bool operator==(const Tuning&) const = default;

    static const Tuning& defaults();
    // What the output starts with: no delay and no extrapolation.
    static Tuning liveStart();
};

// Storage bounds of the real-time path; tunings above them are held to them.
inline constexpr std::size_t kTrackCapacity = 16;
inline constexpr std::size_t kMaxMessages = 64;
using Track = motion::FixedList<TrackPoint, kTrackCapacity>;
using Messages = motion::FixedList<Message, kMaxMessages>;

inline constexpr double kNever = -std::numeric_limits<double>::infinity();

struct State {
    bool active = false;
    bool primed = false;
    bool sentAny = false;
    bool cursorPrimed = false;
    Track track;
    double lastPhoneTs = kNever;
    std::optional<double> lastAngle;
    double clockOffset = 0;  // media clock minus phone clock
    bool clockPrimed = false;
    double lastFeedWall = kNever;
    double angleOffset = 0;
    double tEmit = 0;    // emission cursor time
    double emitPos = 0;  // track position at tEmit, phase offset included
    int64_t lastSentTick = 0;
    double lastSentStamp = kNever;
    double phaseOffset = 0;
    bool operator==(const State&) const = default;
};

double horizon(const State& s, const Tuning& tu);
// Planned position at t, ticks, phase offset included.
double position(double t, const State& s, const Tuning& tu);
// Planned speed at t, ticks per second, phase offset ignored.
double slope(double t, const State& s, const Tuning& tu);

}  // namespace plindo::serato::SeratoEmit
