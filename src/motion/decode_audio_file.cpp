#include "motion/decode_audio_file.h"

#include "motion/async_wait.h"

#include <sndfile.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

namespace plindo::motion {

namespace {
// Frames converted per block.
constexpr int kBlockFrames = 65536;
// Extra room reserved beyond the expected length, so that rounding never forces a reallocation.
constexpr double kReserveSlack = 4096;
// A header may claim any length; the reservation never exceeds an hour of audio, and the buffers simply
// grow past it for longer files.
constexpr double kMaxReserveSec = 3600;
// A read that ends below this share of the frames the header gives counts as damaged.
constexpr double kShortfallKeep = 0.99;
// How long the second road waits for the container to open.
constexpr double kOpenTimeoutSec = 5.0;

DecodeResult fail(int code, std::string message) { return {nullptr, StemError{"stem", code, std::move(message)}}; }
DecodeResult tooLong() { return fail(StemError::kTooLong, "longer than the limit"); }
DecodeResult cancelledResult() { return {nullptr, StemError{"cancelled", 0, "cancelled"}}; }

struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

// Accumulates converted blocks into the two result channels, or hands each block to a consumer.
struct Sink {
    std::vector<float> left, right;
    std::vector<float> outL, outR;  // converter output planes
    size_t maxFrames = SIZE_MAX;
    bool overLimit = false;
    const BlockSink* consumer = nullptr;
    size_t handed = 0;  // frames handed to the consumer

    size_t frames() const { return consumer ? handed : left.size(); }

    void reserve(double frames, double targetRate) {
        if (consumer) return;
        const double cap = kMaxReserveSec * targetRate + kReserveSlack;
        const double n = std::isfinite(frames) && frames > 0 ? std::min(frames + kReserveSlack, cap) : 0.0;
        left.reserve(static_cast<size_t>(n));
        right.reserve(static_cast<size_t>(n));
    }

    // Converts `inFrames` frames from `in` (nullptr flushes); returns false on a converter error.
    bool convert(SwrContext* swr, const uint8_t** in, int inFrames) {
        const int room = swr_get_out_samples(swr, inFrames);
        if (room < 0) return false;
        if (outL.size() < static_cast<size_t>(room) + 16) {
            outL.resize(static_cast<size_t>(room) + 16);
            outR.resize(outL.size());
        }
        uint8_t* planes[2] = {reinterpret_cast<uint8_t*>(outL.data()), reinterpret_cast<uint8_t*>(outR.data())};
        const int got = swr_convert(swr, planes, static_cast<int>(outL.size()), in, inFrames);
        if (got < 0) return false;
        if (static_cast<size_t>(got) > maxFrames - frames()) {
            overLimit = true;
            return false;
        }
        if (consumer) {
            if (got > 0) (*consumer)(std::span<const float>(outL.data(), size_t(got)), std::span<const float>(outR.data(), size_t(got)));
            handed += static_cast<size_t>(got);
            return true;
        }
        left.insert(left.end(), outL.begin(), outL.begin() + got);
        right.insert(right.end(), outR.begin(), outR.begin() + got);
        return true;
    }

    bool flush(SwrContext* swr) {
        // The converter may hold more than one call's worth of delayed frames.
        for (int guard = 0; guard < 64; ++guard) {
            const size_t before = frames();
            if (!convert(swr, nullptr, 0)) return false;
            if (frames() == before) return true;
        }
        return true;
    }

    StemRef take(double rate) {
        auto s = std::make_shared<StemBuf>();
        s->left = std::move(left);
        s->right = std::move(right);
        s->sampleRate = rate;
        return s;
    }
};

SwrPtr makeConverter(AVChannelLayout* inLayout, AVSampleFormat inFmt, int inRate, int outRate) {
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLTP, outRate, inLayout, inFmt, inRate, 0, nullptr) < 0)
        return nullptr;
    SwrPtr swr(raw);
    if (swr_init(swr.get()) < 0) return nullptr;
    return swr;
}

// Bytes per frame of an uncompressed libsndfile subformat, or 0 when the format is compressed.
int pcmBytesPerSample(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return 1;
        case SF_FORMAT_PCM_16: return 2;
        case SF_FORMAT_PCM_24: return 3;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT: return 4;
        case SF_FORMAT_DOUBLE: return 8;
        default: return 0;
    }
}

// What one road made of a file; the frames are in the sink.
struct RoadResult {
    std::optional<StemError> error;
    bool opened = true;    // false: this road cannot read the file at all
    bool damaged = false;  // a read error, or fewer frames than the header promised
};
RoadResult roadError(DecodeResult r) { return {std::move(r.error)}; }

// The libsndfile road.
RoadResult runSndfile(const std::string& path, const std::function<bool()>& cancelled, double rate, Sink& sink) {
    SF_INFO info{};
    SNDFILE* raw = sf_open(path.c_str(), SFM_READ, &info);
    if (!raw) return {std::nullopt, false};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(raw, &sf_close);
    if (info.frames <= 0) return {std::nullopt, false};
    if (info.channels < 1 || info.samplerate < 1) return roadError(fail(1, "converter setup failed"));
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, info.channels);
    SwrPtr swr = makeConverter(&inLayout, AV_SAMPLE_FMT_FLT, info.samplerate, static_cast<int>(std::lround(rate)));
    av_channel_layout_uninit(&inLayout);
    if (!swr) return roadError(fail(1, "converter setup failed"));

    // Keep a block to a bounded size whatever channel count the header claims.
    const int block = std::max(1, std::min(kBlockFrames, (1 << 22) / info.channels));

    double expected = static_cast<double>(info.frames);
    if (const int bps = pcmBytesPerSample(info.format); bps > 0) {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(path, ec);
        if (!ec) expected = std::min(expected, static_cast<double>(bytes) / (bps * info.channels));
    }
    sink.reserve(expected * rate / std::max(static_cast<double>(info.samplerate), 1.0), rate);

    // Reading (which decompresses) and converting overlap: a reader thread fills blocks while this
    // thread converts the ones before.
    struct Block {
        std::vector<float> data;
        sf_count_t frames = 0;
    };
    std::array<Block, 3> blocks;
    for (Block& b : blocks) b.data.resize(static_cast<size_t>(block) * static_cast<size_t>(info.channels));
    std::mutex m;
    std::condition_variable cv;
    size_t produced = 0, consumed = 0;
    bool ended = false, stop = false, readError = false;
    sf_count_t framesRead = 0;
    std::thread reader([&] {
        for (;;) {
            std::unique_lock lk(m);
            cv.wait(lk, [&] { return stop || produced - consumed < blocks.size(); });
            if (stop) return;
            Block& b = blocks[produced % blocks.size()];
            lk.unlock();
            b.frames = sf_readf_float(file.get(), b.data.data(), block);
            const bool damaged = sf_error(file.get()) != SF_ERR_NO_ERROR;
            lk.lock();
            if (b.frames > 0) {
                framesRead += b.frames;
                ++produced;
            }
            // A read error ends this road; the caller decides whether another one recovers more.
            if (b.frames <= 0 || damaged) {
                ended = true;
                readError = readError || damaged;
            }
            cv.notify_all();
            if (ended) return;
        }
    });

    std::optional<DecodeResult> early;
    for (;;) {
        if (cancelled && cancelled()) {
            early = cancelledResult();
            break;
        }
        std::unique_lock lk(m);
        cv.wait(lk, [&] { return produced > consumed || ended; });
        if (produced == consumed) break;
        Block& b = blocks[consumed % blocks.size()];
        lk.unlock();
        const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(b.data.data())};
        const bool ok = sink.convert(swr.get(), planes, static_cast<int>(b.frames));
        lk.lock();
        ++consumed;
        cv.notify_all();
        if (!ok) {
            early = sink.overLimit ? tooLong() : fail(2, "convert failed");
            break;
        }
    }
    {
        std::lock_guard g(m);
        stop = true;
    }
    cv.notify_all();
    reader.join();
    if (early) return roadError(*early);
    if (!sink.flush(swr.get())) return roadError(sink.overLimit ? tooLong() : fail(2, "convert failed"));
    const bool shortfall = static_cast<double>(framesRead) < kShortfallKeep * static_cast<double>(info.frames);
    return {std::nullopt, true, readError || shortfall};
}

struct FormatClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

std::string avText(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// The FFmpeg road.
RoadResult runFFmpeg(const std::string& path, const std::function<bool()>& cancelled, double rate, Sink& sink) {
    // Opening probes the container, which may block on odd files; give it a time limit.
    auto opened = AsyncWait::wait(kOpenTimeoutSec, [path]() -> std::shared_ptr<AVFormatContext> {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
        std::shared_ptr<AVFormatContext> fmt(raw, FormatClose{});
        if (avformat_find_stream_info(raw, nullptr) < 0) return nullptr;
        return fmt;
    });
    if (!opened || !*opened) return roadError(fail(3, "no readable audio track"));
    std::shared_ptr<AVFormatContext> fmt = *opened;
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream < 0 || !codec) return roadError(fail(3, "no readable audio track"));
    AVStream* st = fmt->streams[stream];

    std::unique_ptr<AVCodecContext, CodecFree> dec(avcodec_alloc_context3(codec));
    if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0 ||
        avcodec_open2(dec.get(), codec, nullptr) < 0) {
        return roadError(fail(4, "reader rejects PCM output"));
    }

    double seconds = 0;
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
        seconds = static_cast<double>(fmt->duration) / AV_TIME_BASE;
    } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        seconds = static_cast<double>(st->duration) * av_q2d(st->time_base);
    }
    sink.reserve(seconds * rate, rate);

    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    if (!pkt || !frame) return roadError(fail(5, "reader did not start"));

    SwrPtr swr;
    AVChannelLayout swrLayout{};
    int swrFormat = -1, swrRate = 0;
    const int outRate = static_cast<int>(std::lround(rate));
    bool convertFailed = false;

    auto drainFrames = [&]() {
        while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
            if (frame->nb_samples > 0 && frame->ch_layout.nb_channels > 0 && frame->sample_rate > 0) {
                // A stream may change its layout or rate midway; follow it with a new converter.
                if (!swr || frame->format != swrFormat || frame->sample_rate != swrRate ||
                    av_channel_layout_compare(&frame->ch_layout, &swrLayout) != 0) {
                    if (swr && !sink.flush(swr.get())) convertFailed = true;
                    av_channel_layout_uninit(&swrLayout);
                    av_channel_layout_copy(&swrLayout, &frame->ch_layout);
                    swrFormat = frame->format;
                    swrRate = frame->sample_rate;
                    swr = makeConverter(&swrLayout, static_cast<AVSampleFormat>(swrFormat), swrRate, outRate);
                    if (!swr) convertFailed = true;
                }
                if (swr && !sink.convert(swr.get(), const_cast<const uint8_t**>(frame->extended_data),
                                         frame->nb_samples)) {
                    convertFailed = true;
                }
            }
            av_frame_unref(frame.get());
            if (convertFailed) return;
        }
    };

    bool anyPacket = false;
    int readErr = 0;
    for (;;) {
        if (cancelled && cancelled()) {
            av_channel_layout_uninit(&swrLayout);
            return roadError(cancelledResult());
        }
        const int r = av_read_frame(fmt.get(), pkt.get());
        if (r < 0) {
            if (r != AVERROR_EOF) readErr = r;
            break;
        }
        anyPacket = true;
        if (pkt->stream_index == stream) {
            // A damaged packet is skipped; the decoder resynchronises on the next one.
            avcodec_send_packet(dec.get(), pkt.get());
            drainFrames();
        }
        av_packet_unref(pkt.get());
        if (convertFailed) break;
    }
    if (!convertFailed) {
        avcodec_send_packet(dec.get(), nullptr);
        drainFrames();
    }
    if (swr && !convertFailed && !sink.flush(swr.get())) convertFailed = true;
    av_channel_layout_uninit(&swrLayout);

    if (sink.overLimit) return roadError(tooLong());
    if (convertFailed) return roadError(fail(4, "reader rejects PCM output"));
    if (!anyPacket && readErr) return roadError(fail(5, avText(readErr)));
    if (readErr) return roadError(fail(6, avText(readErr)));
    if (sink.frames() == 0) return roadError(fail(6, "decode produced nothing"));
    return {};
}

bool endsTheDecode(const std::optional<StemError>& e) {
    return e && (e->domain == "cancelled" || e->code == tooLong().error->code);
}

size_t framesFor(double maxSeconds, double rate) {
    const double frames = std::floor(maxSeconds * rate);
    return frames < static_cast<double>(SIZE_MAX / 2) ? static_cast<size_t>(frames) : SIZE_MAX;
}

// Both roads as a decode takes them: libsndfile first; FFmpeg for what it cannot open, and for damage, where
// libsndfile stops at the first bad frame and FFmpeg skips it and goes on; the longer result counts.
// libsndfile fills `first`, FFmpeg `second`.
std::pair<RoadResult, DecodeRoad> runRoads(const std::string& path, const std::function<bool()>& cancelled, double rate,
                                           Sink& first, Sink& second) {
    RoadResult a = runSndfile(path, cancelled, rate, first);
    if (!a.opened) return {runFFmpeg(path, cancelled, rate, second), DecodeRoad::FFmpeg};
    if (a.error || !a.damaged) return {a, DecodeRoad::Sndfile};
    RoadResult b = runFFmpeg(path, cancelled, rate, second);
    if (endsTheDecode(b.error)) return {b, DecodeRoad::FFmpeg};
    if (!b.error && second.frames() > first.frames()) return {b, DecodeRoad::FFmpeg};
    if (first.frames() == 0) return {roadError(fail(6, "decode produced nothing")), DecodeRoad::Sndfile};
    return {RoadResult{}, DecodeRoad::Sndfile};
}

DecodeResult decodeWhole(const std::string& path, const std::function<bool()>& cancelled, double rate, size_t maxFrames) {
    Sink first, second;
    first.maxFrames = second.maxFrames = maxFrames;
    auto [r, road] = runRoads(path, cancelled, rate, first, second);
    if (r.error) return {nullptr, std::move(r.error)};
    return {(road == DecodeRoad::Sndfile ? first : second).take(rate), std::nullopt};
}
}  // namespace

std::optional<double> audioFileSeconds(const std::string& path) {
    // Uncompressed: the header's frame count, but never more than the file's bytes hold. Compressed: the
    // container's own length (libsndfile gives what it could read of a cut FLAC, not what it promised).
    std::optional<double> sndfileSec;
    SF_INFO info{};
    if (SNDFILE* raw = sf_open(path.c_str(), SFM_READ, &info)) {
        std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(raw, &sf_close);
        if (info.frames > 0 && info.samplerate > 0 && info.channels > 0) {
            double frames = static_cast<double>(info.frames);
            const int type = info.format & SF_FORMAT_TYPEMASK;
            const bool compressed = type == SF_FORMAT_FLAC || type == SF_FORMAT_OGG;
            const int bps = pcmBytesPerSample(info.format);
            if (bps > 0 && !compressed) {
                std::error_code ec;
                const auto bytes = std::filesystem::file_size(path, ec);
                if (!ec) frames = std::min(frames, static_cast<double>(bytes) / (bps * info.channels));
                return frames / info.samplerate;
            }
            sndfileSec = frames / info.samplerate;
        }
    }
    auto seconds = AsyncWait::wait(kOpenTimeoutSec, [path]() -> std::optional<double> {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
        std::unique_ptr<AVFormatContext, FormatClose> fmt(raw);
        if (avformat_find_stream_info(raw, nullptr) < 0) return std::nullopt;
        if (raw->duration == AV_NOPTS_VALUE || raw->duration <= 0) return std::nullopt;
        return static_cast<double>(raw->duration) / AV_TIME_BASE;
    });
    if (!seconds || !*seconds || !std::isfinite(**seconds)) return sndfileSec;
    return *seconds;
}

DecodeResult decodeAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate) {
    if (!(sampleRate >= 1 && sampleRate <= 1e6)) return fail(1, "converter setup failed");
    return decodeWhole(path, cancelled, sampleRate, SIZE_MAX);
}

DecodeResult decodeAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                             double maxSeconds) {
    if (!(sampleRate >= 1 && sampleRate <= 1e6)) return fail(1, "converter setup failed");
    if (!(maxSeconds >= 0)) return tooLong();
    return decodeWhole(path, cancelled, sampleRate, framesFor(maxSeconds, sampleRate));
}

StreamResult measureAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                              double maxSeconds) {
    if (!(sampleRate >= 1 && sampleRate <= 1e6)) return {0, DecodeRoad::Sndfile, fail(1, "converter setup failed").error};
    if (!(maxSeconds >= 0)) return {0, DecodeRoad::Sndfile, tooLong().error};
    const BlockSink discard = [](std::span<const float>, std::span<const float>) {};
    Sink first, second;
    first.maxFrames = second.maxFrames = framesFor(maxSeconds, sampleRate);
    first.consumer = second.consumer = &discard;
    auto [r, road] = runRoads(path, cancelled, sampleRate, first, second);
    return {(road == DecodeRoad::Sndfile ? first : second).frames(), road, std::move(r.error)};
}

StreamResult streamAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                             double maxSeconds, DecodeRoad road, const BlockSink& onBlock) {
    if (!(sampleRate >= 1 && sampleRate <= 1e6)) return {0, road, fail(1, "converter setup failed").error};
    if (!(maxSeconds >= 0)) return {0, road, tooLong().error};
    Sink sink;
    sink.maxFrames = framesFor(maxSeconds, sampleRate);
    sink.consumer = &onBlock;
    RoadResult r = road == DecodeRoad::Sndfile ? runSndfile(path, cancelled, sampleRate, sink)
                                               : runFFmpeg(path, cancelled, sampleRate, sink);
    if (!r.opened) r = roadError(fail(3, "no readable audio track"));
    return {sink.frames(), road, std::move(r.error)};
}

}  // namespace plindo::motion
