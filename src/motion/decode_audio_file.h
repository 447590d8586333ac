#pragma once
// Decodes a whole audio file into two channels of float samples at a rate the caller chooses. libsndfile
// with libswresample is the first road; FFmpeg opens what it cannot (MP3 in odd containers, M4A, ...).
#include "motion/cells.h"

#include <functional>
#include <optional>
#include <string>

namespace plindo::motion {

// Errors of the domain "stem"; the message is the text shown to the user.
struct StemError {
    std::string domain = "stem";
    int code = 0;
    std::string message;
};

struct DecodeResult {
    StemRef stem;                    // set on success
    std::optional<StemError> error;  // set on failure
    explicit operator bool() const { return stem != nullptr; }
};

// Decodes `path` at `sampleRate`. `cancelled`, when given, is asked between blocks; a true answer ends the
// decode with the domain "cancelled". Blocks the calling thread for the whole decode; never call it on the
// audio thread or the main thread.
DecodeResult decodeAudioFile(const std::string& path, const std::function<bool()>& cancelled,
                             double sampleRate);
// The same, giving up with error 7 ("longer than the limit") once the result passes `maxSeconds`, so that a
// file that runs for hours never fills memory.
DecodeResult decodeAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                             double maxSeconds);
inline DecodeResult decodeAudioFile(const std::string& path, double sampleRate) {
    return decodeAudioFile(path, nullptr, sampleRate);
}

}  // namespace plindo::motion
