#pragma once
// The lock cells through which values cross threads: the OSC server's queue (phone frames), each deck's audio
// thread, the main thread and the track loader.
#include "motion/unfair_cell.h"

#include <memory>
#include <optional>
#include <vector>

namespace plindo::motion {

// One number shared between threads: flags (above 0.5 is on), parameters, diagnostics, times.
class ValueCell {
public:
    explicit ValueCell(double initial = 0.0) : cell(initial) {}
    double value() const { return cell.read(); }
    void setValue(double v) { cell.write(v); }
    bool on() const { return value() > 0.5; }

    UnfairCell<double> cell;
};

struct RateSample {
    double rate = 0;
    double dot = 0;
    double angle = 0;
    double ts = 0;
};

class RateCell {
public:
    UnfairCell<RateSample> cell;
};

// The platter anchor: the controller writes it, the player reads it on every render.
class AnchorCell {
public:
    struct Snap {
        double pos = 0;   // seconds of the track
        double wall = 0;  // media-clock time at which pos was true
        double rate = 0;  // track seconds per second; negative plays backwards
        bool valid = false;
    };
    UnfairCell<Snap> cell;
};

// A pending seek in seconds, taken (swapped to empty) by the audio thread.
class SeekCell {
public:
    void request(double seconds) { cell.write(seconds); }
    std::optional<double> take() { return cell.exchange(std::nullopt); }

    UnfairCell<std::optional<double>> cell;
};

// A decoded track: two channels of equal length. Never changed once made.
struct StemBuf {
    std::vector<float> left;
    std::vector<float> right;
    double sampleRate = 48000;

    size_t frames() const { return left.size() < right.size() ? left.size() : right.size(); }
    double seconds() const { return sampleRate > 0 ? static_cast<double>(frames()) / sampleRate : 0.0; }
};

using StemRef = std::shared_ptr<const StemBuf>;

// The track a player plays; a load replaces it, the audio thread copies the reference.
class StemTable {
public:
    StemRef read() const { return cell.read(); }
    // Returns the previous buffer so that the caller releases it on its own thread.
    StemRef replace(StemRef next) { return cell.exchange(std::move(next)); }

    UnfairCell<StemRef> cell;
};

}  // namespace plindo::motion
