#pragma once
// The "/wave/peaks" work: full-track envelopes of the last six tracks analysed, and the memory of files that
// failed to decode so that they are not decoded again within 60 s unless they changed. One instance serves
// the whole process; it is used from one queue at a time and takes no locks.
#include "library/peak_envelope.h"
#include "link/track_payloads.h"
#include "motion/cells.h"
#include "platform/clock.h"

#include <ctime>
#include <functional>
#include <map>
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
    // Longer tracks are refused: their analysis would hold the peaks queue for minutes.
    static constexpr double kMaxTrackSec = 2 * 3600.0;
    // Longer tracks are not held decoded (about 20 MB a minute) but analysed as they are decoded, at the cost
    // of decoding them twice: once for their length, once for the analysis.
    static constexpr double kStreamFromSec = 15 * 60.0;

    // Decodes a whole file at a rate; null when it cannot, or when it runs longer than kMaxTrackSec.
    using Decoder = std::function<motion::StemRef(const std::string& path, double sampleRate)>;

    // `decode` serves the tracks up to `streamFromSec` (by the length their header gives).
    explicit PeaksCache(const platform::Clock& clock = platform::systemClock(), Decoder decode = {},
                        double streamFromSec = kStreamFromSec);

    // The process-wide cache of the track server.
    static PeaksCache& shared();

    // Asked between decoded blocks; a true answer stops the analysis, which is then neither cached nor
    // remembered as a failure.
    using Cancelled = std::function<bool()>;

    // The answer to one request: the windowed envelope as JSON, or the decode- or encode-failure answer.
    link::PeaksAnswer serve(const std::string& path, int columns, double center, double window,
                            const Cancelled& cancelled = {});

    // The full-track envelope of `path`, from the cache or decoded now; none when the file cannot be decoded.
    std::optional<PeakEnvelope> cachedEnvelope(const std::string& path, const Cancelled& cancelled = {});

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

    const platform::Clock& clock_;
    Decoder decode_;
    double streamFromSec_;
    std::map<std::string, PeakEnvelope> cache_;
    std::vector<std::string> order_;  // oldest insertion first
    std::map<std::string, Failure> failures_;
};

}  // namespace plindo::library
