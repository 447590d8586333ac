#include "library/peaks_cache.h"

#include "library/media_duration.h"
#include "link/json_body.h"
#include "motion/decode_audio_file.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>

namespace plindo::library {

namespace {

// No limit on the length of what is streamed: it keeps nothing but the analysis.
constexpr double kUnbounded = std::numeric_limits<double>::infinity();

bool sameStamp(const PeaksCache::FileStamp& a, const PeaksCache::FileStamp& b) {
    if (a.size != b.size || a.mtime.has_value() != b.mtime.has_value()) return false;
    return !a.mtime || (a.mtime->tv_sec == b.mtime->tv_sec && a.mtime->tv_nsec == b.mtime->tv_nsec);
}

std::string fileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PeaksCache::PeaksCache(const platform::Clock& clock, Decoder decode, double streamFromSec, double decodeRate)
    : clock_(clock), decode_(std::move(decode)), streamFromSec_(streamFromSec), decodeRate_(decodeRate) {}

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

std::optional<double> PeaksCache::workSeconds(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        if (cache_.count(path)) return 0.0;
    }
    return mediaDurationSec(path, kProbeTimeoutSec);
}

std::shared_ptr<const PeakEnvelope> PeaksCache::cachedEnvelope(const std::string& path, const Cancelled& cancelled) {
    {
        std::lock_guard lock(mutex_);
        if (auto it = cache_.find(path); it != cache_.end()) return it->second;
    }
    const FileStamp stamp = fileStamp(path);
    {
        std::lock_guard lock(mutex_);
        if (failedLately(path, stamp)) return nullptr;
    }
    // The length the header gives picks how the track is analysed.
    const auto seconds = mediaDurationSec(path);
    std::optional<PeakEnvelope> analysed =
        seconds && *seconds > streamFromSec_ ? analyzeStreaming(path, cancelled) : analyzeWhole(path, cancelled);
    // The decoded audio is gone again; hand its pages back rather than keep them for the next analysis.
    ::malloc_trim(0);
    if (!analysed && cancelled && cancelled()) return nullptr;  // nobody waits: not the file's fault
    std::lock_guard lock(mutex_);
    if (!analysed) {
        failures_[path] = Failure{stamp, clock_.now()};
        if (failures_.size() > kMaxFailures) failures_.clear();
        return nullptr;
    }
    failures_.erase(path);
    auto env = std::make_shared<const PeakEnvelope>(std::move(*analysed));
    remember(path, env);
    return env;
}

void PeaksCache::remember(const std::string& path, std::shared_ptr<const PeakEnvelope> env) {
    if (cache_.insert_or_assign(path, std::move(env)).second) order_.push_back(path);
    while (order_.size() > kMaxEnvelopes) {
        cache_.erase(order_.front());
        order_.erase(order_.begin());
    }
}

std::optional<PeakEnvelope> PeaksCache::analyzeWhole(const std::string& path, const Cancelled& cancelled) {
    motion::StemRef stem;
    if (decode_) {
        stem = decode_(path, decodeRate_);
    } else {
        // A header that told too short a length (or none) must not have a long track held decoded: past
        // twice the streaming bound it is streamed instead.
        motion::DecodeResult r = motion::decodeAudioFile(path, cancelled, decodeRate_, 2 * streamFromSec_);
        if (r.error && r.error->tooLong()) return analyzeStreaming(path, cancelled);
        stem = std::move(r.stem);
    }
    if (!stem) return std::nullopt;
    return PeakEnvelope::analyze(stem->left, stem->right, stem->sampleRate, fileName(path), cancelled);
}

std::optional<PeakEnvelope> PeaksCache::analyzeStreaming(const std::string& path, const Cancelled& cancelled) {
    // The analysis places its columns by the length, so the length comes first.
    const motion::StreamResult measured = motion::measureAudioFile(path, cancelled, decodeRate_, kUnbounded);
    if (measured.error) return std::nullopt;
    PeakEnvelopeBuilder builder(measured.frames, decodeRate_, fileName(path));
    const motion::StreamResult streamed =
        motion::streamAudioFile(path, cancelled, decodeRate_, kUnbounded, measured.road,
                                [&builder](std::span<const float> l, std::span<const float> r) { builder.add(l, r); });
    if (streamed.error || streamed.frames != measured.frames) return std::nullopt;  // the file changed meanwhile
    return builder.finish();
}

link::PeaksAnswer PeaksCache::serve(const std::string& path, int columns, double center, double window,
                                    const Cancelled& cancelled) {
    const auto env = cachedEnvelope(path, cancelled);
    if (!env) return decodeFailed(path);
    return answer(*env, columns, center, window);
}

std::optional<link::PeaksAnswer> PeaksCache::cachedAnswer(const std::string& path, int columns, double center,
                                                          double window) {
    std::shared_ptr<const PeakEnvelope> env;
    {
        std::lock_guard lock(mutex_);
        if (const auto it = cache_.find(path); it != cache_.end()) env = it->second;
    }
    if (env) return answer(*env, columns, center, window);
    // A file that failed a moment ago and has not changed since fails again without being decoded.
    const FileStamp stamp = fileStamp(path);
    std::lock_guard lock(mutex_);
    if (failedLately(path, stamp)) return decodeFailed(path);
    return std::nullopt;
}

bool PeaksCache::failedLately(const std::string& path, const FileStamp& stamp) const {
    const auto it = failures_.find(path);
    return it != failures_.end() && sameStamp(it->second.stamp, stamp) && clock_.now() - it->second.at < kFailureMemorySec;
}

link::PeaksAnswer PeaksCache::decodeFailed(const std::string& path) {
    return {"500 Internal Server Error",
            link::json_body::encode({{"error", "decode failed"}, {"path", path}}).value_or(std::string())};
}

link::PeaksAnswer PeaksCache::answer(const PeakEnvelope& env, int columns, double center, double window) {
    if (auto body = env.windowed(columns, center, window).toJson()) return {"200 OK", std::move(*body)};
    return {"500 Internal Server Error", R"({"error":"encode failed"})"};
}

}  // namespace plindo::library
