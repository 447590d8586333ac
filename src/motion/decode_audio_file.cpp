#include "motion/decode_audio_file.h"

#include "motion/async_wait.h"
#include "motion/ffmpeg_log.h"

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
#include <cstring>
#include <fstream>
#include <limits>
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
// A jump in the timestamps longer than this is a frame the decoder could not read; shorter ones are rounding.
constexpr double kGapSec = 0.002;
// A gap is filled only where it ends inside the length the container gives, give or take this much.
constexpr double kGapEndSlackSec = 1.0;

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
    size_t silent = 0;  // frames of silence standing in for what could not be read

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

    // Appends `count` frames of silence; false once past the limit.
    bool silence(size_t count) {
        if (count > maxFrames - frames()) {
            overLimit = true;
            return false;
        }
        silent += count;
        if (!consumer) {
            left.resize(left.size() + count, 0.0f);
            right.resize(right.size() + count, 0.0f);
            return true;
        }
        const std::vector<float> zeros(std::min<size_t>(count, kBlockFrames), 0.0f);
        for (size_t done = 0; done < count;) {
            const size_t k = std::min(zeros.size(), count - done);
            (*consumer)(std::span<const float>(zeros.data(), k), std::span<const float>(zeros.data(), k));
            handed += k;
            done += k;
        }
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

struct FormatClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

// The length FFmpeg's container reader gives without decoding, and whether it only guessed it from the bit
// rate of the first frames (an MP3 or ADTS stream without a frame count; for PCM that rate is exact).
struct ProbedLength {
    std::optional<double> seconds;
    bool guessed = false;
};
ProbedLength probeLength(const std::string& path) {
    auto probed = AsyncWait::wait(kOpenTimeoutSec, [path]() -> ProbedLength {
        AVFormatContext* raw = nullptr;
        if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return {};
        std::unique_ptr<AVFormatContext, FormatClose> fmt(raw);
        if (avformat_find_stream_info(raw, nullptr) < 0) return {};
        if (raw->duration == AV_NOPTS_VALUE || raw->duration <= 0) return {};
        const double seconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
        if (!std::isfinite(seconds)) return {};
        const int stream = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        const bool pcm = stream >= 0 && av_get_bits_per_sample(raw->streams[stream]->codecpar->codec_id) > 0;
        return {seconds, raw->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE && !pcm};
    });
    return probed.value_or(ProbedLength{});
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
    bool damaged = false;  // a read error, fewer frames than the header promised, or a read stopped at a guess
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
    // libsndfile never reads past the frame count it was told, and for an MP3 without a frame count in its
    // first frame that count is a guess from the first frame's bit rate: the rest of a track whose opening
    // is quieter than its average would be lost.
    const bool stoppedAtGuess = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG && framesRead >= info.frames &&
                                probeLength(path).guessed;
    return {std::nullopt, true, readError || shortfall || stoppedAtGuess};
}

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
    // Every FLAC frame carries a checksum: a frame that fails it is dropped (its time then stays silent, as
    // below), not played as the noise a damaged frame decodes to.
    if (dec && codec->id == AV_CODEC_ID_FLAC) dec->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
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
    bool damaged = false;

    // A frame the decoder cannot read leaves a gap in the timestamps of the frames it can. The gap becomes
    // silence of its length, so that the track keeps its timing (cues and beats stay where they belong);
    // only where the container gives a length, and only inside it. Times count from the stream's start (the
    // first frame's time, the encoder's priming already taken off), else from the first frame read.
    const double timeBase = av_q2d(st->time_base);
    int64_t origin = st->start_time;
    double fedSec = 0;  // end of the input handed on so far, in seconds from the origin
    auto fillGap = [&]() {
        const int64_t ts = frame->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE || !(timeBase > 0)) return;
        if (origin == AV_NOPTS_VALUE) origin = ts;
        const double at = static_cast<double>(ts - origin) * timeBase;
        if (!(at - fedSec > kGapSec) || !(seconds > 0) || at > seconds + kGapEndSlackSec) return;
        damaged = true;
        // The converter hands out what it holds first, and starts afresh after the gap.
        if (swr && !sink.flush(swr.get())) convertFailed = true;
        swr.reset();
        const double target = std::round(at * rate);
        if (target > static_cast<double>(sink.frames()) && !sink.silence(static_cast<size_t>(target) - sink.frames()))
            convertFailed = true;
        fedSec = at;
    };

    auto drainFrames = [&]() {
        while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
            if (frame->nb_samples > 0 && frame->ch_layout.nb_channels > 0 && frame->sample_rate > 0) {
                fillGap();
                if (frame->best_effort_timestamp != AV_NOPTS_VALUE && origin != AV_NOPTS_VALUE && timeBase > 0)
                    fedSec = std::max(fedSec, static_cast<double>(frame->best_effort_timestamp - origin) * timeBase);
                fedSec += static_cast<double>(frame->nb_samples) / frame->sample_rate;
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
            if (avcodec_send_packet(dec.get(), pkt.get()) < 0) damaged = true;
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
    // A read error in the middle ends the file with what was read before it.
    if (readErr && sink.frames() == 0) return roadError(fail(6, avText(readErr)));
    if (sink.frames() == 0) return roadError(fail(6, "decode produced nothing"));
    return {std::nullopt, true, damaged || readErr != 0};
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
    Sink& kept = road == DecodeRoad::Sndfile ? first : second;
    const size_t silent = kept.silent;
    return {kept.take(rate), std::nullopt, silent};
}

// Bytes of a file read for its header: chunks that come before the audio (format, broadcast data, padding)
// fit; a file whose audio starts later gives no promised length.
constexpr size_t kHeaderBytes = size_t{1} << 18;
// Chunks looked at before the audio's; more is no file a program wrote.
constexpr int kMaxHeaderChunks = 64;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(be16(p)) << 16 | be16(p + 2); }
uint64_t be64(const uint8_t* p) { return static_cast<uint64_t>(be32(p)) << 32 | be32(p + 4); }

// The 80-bit extended float of an AIFF sample rate.
double extended80(const uint8_t* p) {
    const int exponent = (p[0] & 0x7F) << 8 | p[1];
    const uint64_t mantissa = be64(p + 2);
    if (exponent == 0x7FFF) return std::numeric_limits<double>::quiet_NaN();
    const double v = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
    return p[0] & 0x80 ? -v : v;
}
}  // namespace

std::optional<double> pcmHeaderSeconds(std::span<const uint8_t> head) {
    const auto has = [&](size_t at, size_t n) { return at <= head.size() && n <= head.size() - at; };
    const auto is = [&](size_t at, const char* tag) { return has(at, 4) && std::memcmp(head.data() + at, tag, 4) == 0; };
    const uint8_t* b = head.data();
    if ((is(0, "RIFF") || is(0, "RF64") || is(0, "BW64")) && is(8, "WAVE")) {
        const bool wide = !is(0, "RIFF");  // sizes of all ones stand for the 64-bit ones in "ds64"
        uint64_t wideData = 0;
        uint32_t rate = 0;
        uint16_t format = 0, blockAlign = 0;
        size_t at = 12;
        for (int chunk = 0; chunk < kMaxHeaderChunks && has(at, 8); ++chunk) {
            const uint32_t size = le32(b + at + 4);
            const size_t body = at + 8;
            if (is(at, "ds64") && has(body, 16)) {
                wideData = le64(b + body + 8);
            } else if (is(at, "fmt ") && has(body, 16)) {
                format = le16(b + body);
                rate = le32(b + body + 4);
                blockAlign = le16(b + body + 12);
            } else if (is(at, "data")) {
                // Only sample formats whose blocks are frames; a writer that streamed left 0 or all ones.
                const bool frames = format == 1 || format == 3 || format == 0xFFFE;
                const uint64_t bytes = wide && size == 0xFFFFFFFF ? wideData : size;
                if (!frames || rate == 0 || blockAlign == 0 || bytes == 0 || (!wide && size == 0xFFFFFFFF))
                    return std::nullopt;
                return static_cast<double>(bytes / blockAlign) / rate;
            }
            at = body + size + (size & 1);
        }
        return std::nullopt;
    }
    if (is(0, "FORM") && (is(8, "AIFF") || is(8, "AIFC"))) {
        size_t at = 12;
        for (int chunk = 0; chunk < kMaxHeaderChunks && has(at, 8); ++chunk) {
            const uint32_t size = be32(b + at + 4);
            const size_t body = at + 8;
            if (is(at, "COMM")) {
                if (!has(body, 18)) return std::nullopt;
                const uint32_t frames = be32(b + body + 2);
                const double rate = extended80(b + body + 8);
                if (frames == 0 || !(rate >= 1 && rate <= 1e7)) return std::nullopt;
                return frames / rate;
            }
            at = body + size + (size & 1);
        }
    }
    return std::nullopt;
}

std::optional<double> pcmFileHeaderSeconds(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> head(kHeaderBytes);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return pcmHeaderSeconds(head);
}

std::optional<double> audioFileSeconds(const std::string& path) {
    routeFFmpegLog();
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
    const ProbedLength probed = probeLength(path);
    // A length guessed from the first frames' bit rate is no length a header tells, and libsndfile's for
    // such a file is the same guess.
    if (probed.guessed) return std::nullopt;
    return probed.seconds ? probed.seconds : sndfileSec;
}

DecodeResult decodeAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate) {
    routeFFmpegLog();
    if (!(sampleRate >= 1 && sampleRate <= 1e6)) return fail(1, "converter setup failed");
    return decodeWhole(path, cancelled, sampleRate, SIZE_MAX);
}

DecodeResult decodeAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                             double maxSeconds) {
    routeFFmpegLog();
    if (!(sampleRate >= 1 && sampleRate <= 1e6)) return fail(1, "converter setup failed");
    if (!(maxSeconds >= 0)) return tooLong();
    return decodeWhole(path, cancelled, sampleRate, framesFor(maxSeconds, sampleRate));
}

StreamResult measureAudioFile(const std::string& path, const std::function<bool()>& cancelled, double sampleRate,
                              double maxSeconds) {
    routeFFmpegLog();
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
    routeFFmpegLog();
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
