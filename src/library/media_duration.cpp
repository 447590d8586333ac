#include "library/media_duration.h"

#include "motion/ffmpeg_log.h"

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

// The packets of one stream from a byte position to the end of the file.
struct PacketRun {
    std::optional<int64_t> firstPts;  // of the first packet that has a time
    std::optional<int64_t> end;       // latest time plus duration
    int64_t durations = 0;            // summed
    bool untimed = false;             // a packet came without a duration
    bool complete = false;            // the file's end was reached, not the deadline or a read error
};

PacketRun readFrom(AVFormatContext* ctx, int stream, int64_t pos, int64_t maxPackets) {
    PacketRun run;
    if (avformat_seek_file(ctx, stream, INT64_MIN, pos, INT64_MAX, AVSEEK_FLAG_BYTE) < 0) return run;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return run;
    int r = 0;
    for (int64_t n = 0; n < maxPackets && (r = av_read_frame(ctx, pkt)) >= 0; ++n) {
        if (pkt->stream_index == stream) {
            const int64_t duration = std::max<int64_t>(pkt->duration, 0);
            if (pkt->pts != AV_NOPTS_VALUE && pkt->pts <= INT64_MAX - duration) {
                if (!run.firstPts) run.firstPts = pkt->pts;
                run.end = std::max(run.end.value_or(INT64_MIN), pkt->pts + duration);
            }
            if (pkt->duration > 0 && pkt->duration <= INT64_MAX - run.durations)
                run.durations += pkt->duration;
            else
                run.untimed = true;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    run.complete = r == AVERROR_EOF;
    return run;
}

// Seconds that the packets present in the file reach, for a file whose header may promise more than it
// holds (cut short, or a damaged length field). A container with a sample index (MP4) tells it from the
// last indexed packet that lies wholly inside the file; others are read from near the end of the file. A
// reader of a bare stream (MP3, ADTS) knows no times after a byte seek and counts from 0 again: its packets
// are counted from the first one on, which the deadline bounds.
std::optional<double> reachedSeconds(AVFormatContext* ctx, int stream, int64_t dataStart) {
    AVStream* st = ctx->streams[stream];
    const int64_t size = ctx->pb ? avio_size(ctx->pb) : -1;
    if (size <= 0 || st->time_base.den <= 0 || st->time_base.num <= 0) return std::nullopt;
    const double tb = av_q2d(st->time_base);
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    if (const int n = avformat_index_get_entries_count(st); n > 0) {
        std::optional<int64_t> end;
        for (int i = 0; i < n; ++i) {
            const AVIndexEntry* e = avformat_index_get_entry(st, i);
            if (!e || e->pos < 0 || e->size < 0 || e->pos + e->size > size) continue;
            end = std::max(end.value_or(e->timestamp), e->timestamp);
        }
        // An index that covers only a few seek points says nothing of the end: read instead.
        if (end && n > 16) return static_cast<double>(*end - start) * tb;
    }
    constexpr int64_t kTailBytes = 256 * 1024;
    constexpr int64_t kTailPackets = 100000;
    const int64_t tail = std::max<int64_t>(0, size - kTailBytes);
    const PacketRun run = readFrom(ctx, stream, tail, kTailPackets);
    // The read began past the first packet: a packet it found at the stream's start was counted from 0.
    if (tail > std::max<int64_t>(dataStart, 0) && run.firstPts && *run.firstPts <= start) {
        const PacketRun whole = readFrom(ctx, stream, std::max<int64_t>(dataStart, 0), INT64_MAX);
        if (!whole.complete || whole.untimed || whole.durations <= 0) return std::nullopt;
        return static_cast<double>(whole.durations) * tb;
    }
    if (!run.end) return std::nullopt;
    return (static_cast<double>(*run.end) - static_cast<double>(start)) * tb;
}

}  // namespace

std::optional<double> mediaDurationSec(const std::string& path, double timeoutSec) {
    motion::routeFFmpegLog();
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
        // Never more than the audio the file holds: a header may claim far more. A length guessed from the
        // first frames' bit rate (a VBR MP3 without a frame count) gives way to what the packets reach.
        const int stream = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (stream >= 0 && av_get_bits_per_sample(ctx->streams[stream]->codecpar->codec_id) <= 0) {  // PCM is bounded above
            if (const auto reached = reachedSeconds(ctx, stream, dataStart); reached && *reached > 0) {
                seconds = ctx->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE ? *reached : std::min(seconds, *reached);
            }
        }
        if (std::isfinite(seconds) && seconds > 0) out = seconds;
    }
    avformat_close_input(&ctx);
    return out;
}

}  // namespace plindo::library
