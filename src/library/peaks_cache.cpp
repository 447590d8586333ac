#include "library/peaks_cache.h"

#include "library/media_duration.h"
#include "link/json_body.h"
#include "platform/log.h"
#include "motion/decode_audio_file.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>

namespace plindo::library {

namespace {

spdlog::logger& log() { return platform::logger("peaks"); }

motion::StemRef decodeWhole(const std::string& path, double rate, const PeaksCache::Cancelled& cancelled) {
    motion::DecodeResult r = motion::decodeAudioFile(path, cancelled, rate, PeaksCache::kMaxTrackSec);
    if (r.error && r.error->tooLong()) log().warn("{} runs longer than {} s; no waveform made", path, PeaksCache::kMaxTrackSec);
    return r.stem;
}

bool sameStamp(const PeaksCache::FileStamp& a, const PeaksCache::FileStamp& b) {
    if (a.size != b.size || a.mtime.has_value() != b.mtime.has_value()) return false;
    return !a.mtime || (a.mtime->tv_sec == b.mtime->tv_sec && a.mtime->tv_nsec == b.mtime->tv_nsec);
}

std::string fileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PeaksCache::PeaksCache(const platform::Clock& clock, Decoder decode, double streamFromSec)
    : clock_(clock), decode_(std::move(decode)), streamFromSec_(streamFromSec) {}

PeaksCache& PeaksCache::shared() {
    static PeaksCache* cache = new PeaksCache();  // lives for the process, like the queue that uses it
    return *cache;
}

PeaksCache::FileStamp PeaksCache::fileStamp(const std::string& path) {
    FileStamp s;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return s;
    s.size = static_cast<int64_t>(st.st_size);
    s.mtime = st.st_mtim;
    return s;
}

std::optional<PeakEnvelope> PeaksCache::cachedEnvelope(const std::string& path, const Cancelled& cancelled) {
    if (auto it = cache_.find(path); it != cache_.end()) return it->second;
    const FileStamp stamp = fileStamp(path);
    if (auto it = failures_.find(path); it != failures_.end()) {
        if (sameStamp(it->second.stamp, stamp) && clock_.now() - it->second.at < kFailureMemorySec) return std::nullopt;
    }
    // The length the header gives refuses a long track before anything is decoded, and picks how the rest
    // are analysed; the decoder's own limit catches a header that understates it.
    std::optional<PeakEnvelope> env;
    const auto seconds = mediaDurationSec(path);
    if (seconds && *seconds > kMaxTrackSec) {
        log().warn("{} runs {:.0f} s, longer than {} s; no waveform made", path, *seconds, kMaxTrackSec);
    } else if (seconds && *seconds > streamFromSec_) {
        env = analyzeStreaming(path, cancelled);
    } else {
        env = analyzeWhole(path, cancelled);
    }
    // The decoded audio is gone again; hand its pages back rather than keep them for the next analysis.
    ::malloc_trim(0);
    if (!env && cancelled && cancelled()) return std::nullopt;  // nobody waits: not the file's fault
    if (!env) {
        failures_[path] = Failure{stamp, clock_.now()};
        if (failures_.size() > kMaxFailures) failures_.clear();
        return std::nullopt;
    }
    failures_.erase(path);
    cache_[path] = *env;
    order_.push_back(path);
    while (order_.size() > kMaxEnvelopes) {
        cache_.erase(order_.front());
        order_.erase(order_.begin());
    }
    return env;
}

std::optional<PeakEnvelope> PeaksCache::analyzeWhole(const std::string& path, const Cancelled& cancelled) {
    const motion::StemRef stem = decode_ ? decode_(path, kDecodeRate) : decodeWhole(path, kDecodeRate, cancelled);
    if (!stem) return std::nullopt;
    return PeakEnvelope::analyze(stem->left, stem->right, stem->sampleRate, fileName(path), cancelled);
}

std::optional<PeakEnvelope> PeaksCache::analyzeStreaming(const std::string& path, const Cancelled& cancelled) {
    // The analysis places its columns by the length, so the length comes first.
    const motion::StreamResult measured = motion::measureAudioFile(path, cancelled, kDecodeRate, kMaxTrackSec);
    if (measured.error) {
        if (measured.error->tooLong()) log().warn("{} runs longer than {} s; no waveform made", path, kMaxTrackSec);
        return std::nullopt;
    }
    PeakEnvelopeBuilder builder(measured.frames, kDecodeRate, fileName(path));
    const motion::StreamResult streamed =
        motion::streamAudioFile(path, cancelled, kDecodeRate, kMaxTrackSec, measured.road,
                                [&builder](std::span<const float> l, std::span<const float> r) { builder.add(l, r); });
    if (streamed.error || streamed.frames != measured.frames) return std::nullopt;  // the file changed meanwhile
    return builder.finish();
}

link::PeaksAnswer PeaksCache::serve(const std::string& path, int columns, double center, double window,
                                    const Cancelled& cancelled) {
    const auto env = cachedEnvelope(path, cancelled);
    if (!env) {
        return {"500 Internal Server Error",
                link::json_body::encode({{"error", "decode failed"}, {"path", path}}).value_or(std::string())};
    }
    if (auto body = env->windowed(columns, center, window).toJson()) return {"200 OK", std::move(*body)};
    return {"500 Internal Server Error", R"({"error":"encode failed"})"};
}

}  // namespace plindo::library
