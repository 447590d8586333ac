#include "library/media_duration.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>

namespace plindo::library {

namespace {

struct Deadline {
    std::chrono::steady_clock::time_point until;
};

// libavformat asks this between reads; a true answer ends the probe.
int interrupted(void* opaque) {
    return std::chrono::steady_clock::now() > static_cast<Deadline*>(opaque)->until ? 1 : 0;
}

// Seconds of whole sample frames between `dataStart` and the end of the file, for the file's one audio
// stream of fixed-size frames; none when that cannot be told.
std::optional<double> heldSeconds(AVFormatContext* ctx, int64_t dataStart) {
    if (ctx->nb_streams != 1 || dataStart < 0) return std::nullopt;
    const AVCodecParameters* par = ctx->streams[0]->codecpar;
    const int64_t size = avio_size(ctx->pb);
    if (par->block_align <= 0 || par->sample_rate <= 0 || size < dataStart) return std::nullopt;
    int64_t framesPerBlock = 1;
    if (av_get_bits_per_sample(par->codec_id) <= 0) {  // compressed: blocks of frames, as the header says
        if (par->frame_size <= 0) return std::nullopt;
        framesPerBlock = par->frame_size;
    }
    const int64_t frames = (size - dataStart) / par->block_align * framesPerBlock;
    return static_cast<double>(frames) / par->sample_rate;
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
    // The AIFF reader stands at the first sample now, and takes the length from the header's frame count
    // even when the file was cut short.
    const bool aiff = ctx->iformat && std::string_view(ctx->iformat->name) == "aiff";
    const int64_t dataStart = ctx->pb ? avio_tell(ctx->pb) : -1;
    std::optional<double> out;
    if (avformat_find_stream_info(ctx, nullptr) >= 0 && ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0) {
        double seconds = static_cast<double>(ctx->duration) / AV_TIME_BASE;
        if (aiff) {
            if (const auto held = heldSeconds(ctx, dataStart)) seconds = std::min(seconds, *held);
        }
        if (std::isfinite(seconds) && seconds > 0) out = seconds;
    }
    avformat_close_input(&ctx);
    return out;
}

}  // namespace plindo::library
