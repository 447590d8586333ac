#pragma once
// Whether a deck's remote source is the host's own audio or a DJ-application deck driven over MIDI.

namespace plindo::serato {

enum class RemoteSourceKind { audio, seratoMIDI };

}  // namespace plindo::serato
