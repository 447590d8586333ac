#pragma once
// Colours of the waveform views: an envelope column's colour from its spectral balance, and a cue's colour
// from its hex text.
#include "library/peak_envelope.h"

#include <QColor>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plindo::ui {

// Column `c`'s colour: its `rgbR` triple times `rgbGain` (a value that is not a number counts as 1) when
// present, else its bass, mid and treble times `bandGain` as red, green and blue; each capped at 1. White at
// 0.85 when the column has no entry.
QColor envelopeColumnColor(const library::PeakEnvelope& env, int64_t c, double rgbGain, double bandGain);

// The crate browser canvas' column colour.
QColor columnColor(const library::PeakEnvelope& env, int64_t c);

// A cue's colour from "#rrggbb" or "rrggbb"; yellow when absent or unreadable.
QColor cueColor(const std::optional<std::string>& hex);
QColor cueColor(std::string_view hex);
inline QColor cueColor(const std::string& hex) { return cueColor(std::string_view(hex)); }
inline QColor cueColor(const char* hex) { return cueColor(std::string_view(hex)); }

}  // namespace plindo::ui
