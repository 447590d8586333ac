#pragma once
// The "/wave/peaks" work: full-track envelopes of the last six tracks analysed, and the memory of files that
// failed to decode so that they are not decoded again within 60 s unless they changed. One instance serves
// the whole process; the track server's peaks lanes use it at once, for different tracks, and its queue
// answers from the cached envelopes meanwhile.
#include "library/peak_envelope.h"
#include "link/track_payloads.h"
#include "motion/cells.h"
#include "platform/clock.h"

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plindo::library {

class PeaksCache {
public:
    static constexpr size_t kMaxEnvelopes = 6;
    static constexpr size_t kMaxFailures = 32;
    static constexpr double kFailureMemorySec = 60.0;
    static constexpr double kDecodeRate = 44100.0;
    // Longer tracks are not held decoded (about 20 MB a minute) but analysed as they are decoded, at the cost
    // of decoding them twice: once for their length, once for the analysis. Any length is analysed so; the
    // envelope has a bounded number of columns however long the track.
    static constexpr double kStreamFromSec = 15 * 60.0;
    // How long the header's length is looked for when the peaks work is put in order.
    static constexpr double kProbeTimeoutSec = 1.0;

    // Decodes a whole file at a rate; null when it cannot.
    using Decoder = std::function<motion::StemRef(const std::string& path, double sampleRate)>;

    // `decode` serves the tracks up to `streamFromSec` (by the length their header gives).
    explicit PeaksCache(const platform::Clock& clock = platform::systemClock(), Decoder decode = {},
                        double streamFromSec = kStreamFromSec, double decodeRate = kDecodeRate);

    // The process-wide cache of the track server.
    static PeaksCache& shared();

    // Asked between decoded blocks; a true answer stops the analysis, which is then neither cached nor
    // remembered as a failure.
    using Cancelled = std::function<bool()>;

    // The answer to one request: the windowed envelope as JSON, or the decode- or encode-failure answer.
    link::PeaksAnswer serve(const std::string& path, int columns, double center, double window,
                            const Cancelled& cancelled = {});

    // The same answer when the envelope of `path` is cached or the unchanged file failed lately; none when it
    // would take an analysis. Never waits for one: the cache's lock is held only to take the envelope.
    std::optional<link::PeaksAnswer> cachedAnswer(const std::string& path, int columns, double center, double window);

    // The full-track envelope of `path`, from the cache or decoded now; null when the file cannot be decoded.
    std::shared_ptr<const PeakEnvelope> cachedEnvelope(const std::string& path, const Cancelled& cancelled = {});

    // What the answer for `path` costs, for putting requests in order: 0 when its envelope is cached, else
    // the track's length by its header; none when unknown.
    std::optional<double> workSeconds(const std::string& path);

    struct FileStamp {
        int64_t size = -1;
        std::optional<timespec> mtime;
    };
    static FileStamp fileStamp(const std::string& path);

private:
    struct Failure {
        FileStamp stamp;
        double at = 0;
    };

    std::optional<PeakEnvelope> analyzeWhole(const std::string& path, const Cancelled& cancelled);
    std::optional<PeakEnvelope> analyzeStreaming(const std::string& path, const Cancelled& cancelled);

    void remember(const std::string& path, std::shared_ptr<const PeakEnvelope> env);
    // Whether `path`, as `stamp` finds it, failed within the failure memory; the lock is held.
    bool failedLately(const std::string& path, const FileStamp& stamp) const;
    static link::PeaksAnswer decodeFailed(const std::string& path);
    static link::PeaksAnswer answer(const PeakEnvelope& env, int columns, double center, double window);

    const platform::Clock& clock_;
    Decoder decode_;
    double streamFromSec_;
    double decodeRate_;
    std::mutex mutex_;  // guards the three fields below, never held across an analysis
    // Shared, so that a lookup under the lock copies a pointer, not an envelope of megabytes.
    std::map<std::string, std::shared_ptr<const PeakEnvelope>> cache_;
    std::vector<std::string> order_;  // oldest insertion first
    std::map<std::string, Failure> failures_;
};

}  // namespace plindo::library
