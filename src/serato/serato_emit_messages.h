#pragma once
// MIDI bytes of one platter observation for the DJ application: the timestamped jog message of the emitter
// and the "twelve" format, the nine-byte "phone" message, the relative "rel" message and the "radian"
// indicator. Each returns complete MIDI messages, or nothing when its input is unusable: a stamp that is not
// finite or is 1e12 s or more, any non-finite value, a deck other than 1 or 2.
#include "motion/fixed_list.h"
#include "serato/serato_out_settings.h"

#include <cstdint>

namespace plindo::serato::SeratoEmit {

// The relative message is the longest: a time part and at most 256 delta controllers.
inline constexpr std::size_t kMidiBytesCapacity = 3 + 256 * 3;
using MidiBytes = motion::FixedList<uint8_t, kMidiBytesCapacity>;

MidiBytes stampMessage(int deck, bool withPosition, double position, double stamp,
                       SeratoOutSettings& settings = seratoOutSettings());
MidiBytes nineByteMessage(int deck, double position, double stamp, SeratoOutSettings& settings = seratoOutSettings());
MidiBytes relativeMessage(int deck, int64_t delta, double stamp, SeratoOutSettings& settings = seratoOutSettings());
// angle in radians, omega in radians per second.
MidiBytes radianMessage(int deck, double angle, double omega, SeratoOutSettings& settings = seratoOutSettings());

}  // namespace plindo::serato::SeratoEmit
