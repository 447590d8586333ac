#include "library/media_duration.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cmath>

namespace plindo::library {

namespace {

struct Deadline {
    std::chrono::steady_clock::time_point until;
};

// libavformat asks this between reads; a true answer ends the probe.
int interrupted(void* opaque) {
    return std::chrono::steady_clock::now() > static_cast<Deadline*>(opaque)->until ? 1 : 0;
}

}  // namespace

std::optional<double> mediaDurationSec(const std::string& path, double timeoutSec) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    Deadline deadline{std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeoutSec))};
    AVFormatContext* ctx = avformat_alloc_context();
    if (!ctx) return std::nullopt;
    ctx->interrupt_callback.callback = interrupted;
    ctx->interrupt_callback.opaque = &deadline;
    // "file:" keeps names such as "x:y.mp3" from being read as another protocol.
    if (avformat_open_input(&ctx, ("file:" + path).c_str(), nullptr, nullptr) != 0) return std::nullopt;  // frees ctx
    std::optional<double> out;
    if (avformat_find_stream_info(ctx, nullptr) >= 0 && ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0) {
        const double seconds = static_cast<double>(ctx->duration) / AV_TIME_BASE;
        if (std::isfinite(seconds) && seconds > 0) out = seconds;
    }
    avformat_close_input(&ctx);
    return out;
}

}  // namespace plindo::library
