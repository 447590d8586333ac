#pragma once
// Decodes a whole audio file into two channels of float samples at a rate the caller chooses. libsndfile
// with libswresample is the first road; FFmpeg opens what it cannot (MP3 in odd containers, M4A, ...).
#include "motion/cells.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace plindo::motion {

// Errors of the domain "stem"; the message is the text shown to the user.
struct StemError {
    std::string domain = "stem";
    int code = 0;
    std::string message;
    static constexpr int kTooLong = 7;  // the decode passed its length limit
    bool tooLong() const { return code == kTooLong; }
};

struct DecodeResult {
    StemRef stem;                    // set on success
    std::optional<StemError> error;  // set on failure
    // Frames of the track that stand in, as silence, for frames of a damaged file that could not be read.
    size_t silentFrames = 0;
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

// The length the file's header gives, in seconds, without decoding: none when neither road can open it or
// it tells no length (an MP3 without a frame count, whose length would be a guess from its first frames). A
// header may lie; a decode with a limit catches that.
std::optional<double> audioFileSeconds(const std::string& path);

// The length an uncompressed file's header promises (the WAV "data" chunk, the AIFF frame count), from its
// first bytes, also where the file holds less because it was cut; none for other files and for headers that
// give no length. audioFileSeconds gives what the bytes hold.
std::optional<double> pcmHeaderSeconds(std::span<const uint8_t> head);
// The same, read from the file's first bytes.
std::optional<double> pcmFileHeaderSeconds(const std::string& path);

// The road a file was decoded by.
enum class DecodeRoad { Sndfile, FFmpeg };

// For files too long to hold decoded: the signal handed on in blocks of both channels as it is decoded.
using BlockSink = std::function<void(std::span<const float> left, std::span<const float> right)>;
struct StreamResult {
    size_t frames = 0;  // frames decoded (handed on, for streamAudioFile)
    DecodeRoad road = DecodeRoad::Sndfile;
    std::optional<StemError> error;
};

// Decodes without keeping anything, choosing the road as decodeAudioFile does: how many frames it gives, and
// by which road. Error 7 once past `maxSeconds`.
StreamResult measureAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                              double maxSeconds);
// Decodes by `road` (as measured), handing every block to `onBlock` on the calling thread.
StreamResult streamAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                             double maxSeconds, DecodeRoad road, const BlockSink& onBlock);

}  // namespace plindo::motion
