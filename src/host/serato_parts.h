#pragma once
// The headers of the MIDI parts, usable after Qt's: they name members "emit", a word Qt defines away.
#pragma push_macro("emit")
#undef emit
#include "serato/midi_bridge_client.h"
#include "serato/serato_capture.h"
#include "serato/serato_midi_in.h"
#include "serato/serato_midi_out.h"
#include "serato/serato_out_settings.h"
#include "serato/serato_screen_tap.h"
#pragma pop_macro("emit")
