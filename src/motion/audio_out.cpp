#include "motion/audio_out.h"

#include <portaudio.h>
#include <pthread.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace plindo::motion {

namespace {
// The built-in devices run at this rate, and with this period when no buffer size was requested.
constexpr double kThreadRate = 48000.0;
constexpr uint32_t kThreadDefaultFrames = 128;
// Scratch for callbacks larger than expected, so the device callback never allocates.
constexpr uint32_t kScratchFrames = 8192;

std::string defaultFilePath() {
    if (const char* env = std::getenv("PLINDO_FILE_DEVICE"); env && *env) return env;
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/plindo-file-device.wav";
}

std::string formatStarted(const std::string& name, const std::string& chan, double rate, double latency) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " (%.1f kHz, out %.1f ms)", rate / 1000.0, latency * 1000.0);
    return "Audio out \xE2\x86\x92 " + name + chan + buf;
}

// The null device wakes once per this many periods after this many silent ones (about 0.25 s at 128 frames).
constexpr uint32_t kQuietBatch = 8;
constexpr uint32_t kQuietAfterPeriods = 96;

bool isSilent(const float* left, const float* right, uint32_t frames) {
    for (uint32_t i = 0; i < frames; ++i)
        if (left[i] != 0.0f || right[i] != 0.0f) return false;
    return true;
}

void addNs(timespec& t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}
}  // namespace

struct AudioOut::Backend {
    // PortAudio
    PaStream* stream = nullptr;
    bool paInitialised = false;
    // built-in devices
    std::thread thread;
    std::atomic<bool> stop{false};
    SNDFILE* file = nullptr;
    // scratch
    std::vector<float> left = std::vector<float>(kScratchFrames);
    std::vector<float> right = std::vector<float>(kScratchFrames);
    std::vector<float> interleaved;
};

AudioOut::AudioOut(const AudioOutDevice& device, int start)
    : deviceID(device.id),
      deviceUID(device.uid),
      deviceName(device.name),
      deviceChannels(device.channels),
      channelStart(std::clamp(start, 0, std::max(device.channels - 2, 0))),
      filePath_(defaultFilePath()) {}

AudioOut::~AudioOut() { stop(); }

void AudioOut::report(const std::string& line) const {
    if (onStatus) onStatus(line);
}

bool AudioOut::start(Render render) {
    if (running()) return true;
    render_ = std::move(render);
    backend_ = std::make_unique<Backend>();
    if (deviceUID == AudioOutDevice::nullUID) return startThread(false);
    if (deviceUID == AudioOutDevice::fileUID) return startThread(true);
    return startPortAudio();
}

void AudioOut::reportStarted() {
    const std::string chan = deviceChannels > 2 ? " Ch " + channelPairLabel(channelStart) : "";
    report(formatStarted(deviceName, chan, sampleRate, outLatency.value()));
}

bool AudioOut::startThread(bool toFile) {
    Backend& b = *backend_;
    const uint32_t frames = std::min(requestBufferFrames ? requestBufferFrames : kThreadDefaultFrames, kScratchFrames);
    sampleRate = kThreadRate;
    if (toFile) {
        SF_INFO info{};
        info.samplerate = static_cast<int>(kThreadRate);
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        b.file = sf_open(filePath_.c_str(), SFM_WRITE, &info);
        if (!b.file) {
            report("Audio out " + deviceName + ": start failed: " + sf_strerror(nullptr) + " (" + filePath_ + ")");
            backend_.reset();
            return false;
        }
        b.interleaved.resize(2 * static_cast<size_t>(frames));
    }
    outLatency.setValue(0.0);
    running_.store(true, std::memory_order_release);
    b.thread = std::thread([this, &b, frames, toFile] {
        pthread_setname_np(pthread_self(), toFile ? "audio.file" : "audio.null");
        const long periodNs = static_cast<long>(1e9 * frames / kThreadRate);
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        uint32_t due = 1;     // periods pulled on this wake
        uint32_t silent = 0;  // periods in a row that came out silent
        while (!b.stop.load(std::memory_order_acquire)) {
            for (uint32_t k = 0; k < due; ++k) {
                render_(b.left.data(), b.right.data(), frames);
                if (!b.file) silent = isSilent(b.left.data(), b.right.data(), frames) ? silent + 1 : 0;
                if (b.file) {
                    for (uint32_t i = 0; i < frames; ++i) {
                        b.interleaved[2 * i] = b.left[i];
                        b.interleaved[2 * i + 1] = b.right[i];
                    }
                    sf_writef_float(b.file, b.interleaved.data(), frames);
                }
                addNs(next, periodNs);
            }
            // Nobody hears the null device: while it only pulls silence it wakes once per batch of periods,
            // each pulled when it is due (never ahead of time), and returns to one per wake with the first sound.
            due = silent >= kQuietAfterPeriods ? kQuietBatch : 1;
            timespec wake = next;
            addNs(wake, periodNs * static_cast<long>(due - 1));
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        }
    });
    reportStarted();
    return true;
}

bool AudioOut::startPortAudio() {
    Backend& b = *backend_;
    std::lock_guard g(portAudioLock());
    if (Pa_Initialize() != paNoError) {
        report("Audio out " + deviceName + ": set device failed (" + std::to_string(paNotInitialized) + ")");
        backend_.reset();
        return false;
    }
    b.paInitialised = true;
    auto fail = [&](const std::string& line) {
        report(line);
        Pa_Terminate();
        backend_.reset();
        return false;
    };
    // The id is only valid for this run's list; check that it still names the device.
    const int index = static_cast<int>(deviceID) - static_cast<int>(AudioOutDevice::firstCardId);
    const PaDeviceInfo* info = index >= 0 && index < Pa_GetDeviceCount() ? Pa_GetDeviceInfo(index) : nullptr;
    if (!info || info->maxOutputChannels < 1 || deviceName != (info->name ? info->name : "")) {
        return fail("Audio out " + deviceName + ": set device failed (" + std::to_string(paInvalidDevice) + ")");
    }
    deviceChannels = info->maxOutputChannels;
    channelStart = std::clamp(channelStart, 0, std::max(deviceChannels - 2, 0));
    PaStreamParameters params{};
    params.device = index;
    params.channelCount = deviceChannels;
    params.sampleFormat = paFloat32 | paNonInterleaved;
    params.suggestedLatency = info->defaultLowOutputLatency;
    const double rate = info->defaultSampleRate > 0 ? info->defaultSampleRate : 48000.0;
    sampleRate = rate;
    const unsigned long frames = requestBufferFrames ? requestBufferFrames : paFramesPerBufferUnspecified;
    PaError err = Pa_OpenStream(
        &b.stream, nullptr, &params, rate, frames, paNoFlag,
        [](const void*, void* output, unsigned long n, const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags,
           void* user) -> int {
            auto* self = static_cast<AudioOut*>(user);
            Backend& be = *self->backend_;
            auto** ch = static_cast<float**>(output);
            const int c0 = self->channelStart;
            const bool stereo = c0 + 1 < self->deviceChannels;
            for (int c = 0; c < self->deviceChannels; ++c) {
                if (c != c0 && !(stereo && c == c0 + 1)) std::fill_n(ch[c], n, 0.0f);
            }
            // Render straight into the device's channels; a mono device takes the left channel.
            for (unsigned long done = 0; done < n;) {
                const auto chunk = static_cast<uint32_t>(std::min<unsigned long>(n - done, kScratchFrames));
                float* right = stereo ? ch[c0 + 1] + done : be.right.data();
                self->render_(ch[c0] + done, right, chunk);
                done += chunk;
            }
            return paContinue;
        },
        this);
    if (err != paNoError) {
        b.stream = nullptr;
        return fail("Audio out " + deviceName + ": start failed: " + Pa_GetErrorText(err));
    }
    if (const PaStreamInfo* si = Pa_GetStreamInfo(b.stream)) {
        if (si->sampleRate > 0) sampleRate = si->sampleRate;
        outLatency.setValue(si->outputLatency);
    }
    err = Pa_StartStream(b.stream);
    if (err != paNoError) {
        Pa_CloseStream(b.stream);
        b.stream = nullptr;
        return fail("Audio out " + deviceName + ": start failed: " + Pa_GetErrorText(err));
    }
    running_.store(true, std::memory_order_release);
    reportStarted();
    return true;
}

void AudioOut::stop() {
    if (!backend_) return;
    Backend& b = *backend_;
    if (b.thread.joinable()) {
        b.stop.store(true, std::memory_order_release);
        b.thread.join();
    }
    if (b.file) {
        sf_close(b.file);
        b.file = nullptr;
    }
    if (b.stream || b.paInitialised) {
        std::lock_guard g(portAudioLock());
        if (b.stream) {
            Pa_StopStream(b.stream);
            Pa_CloseStream(b.stream);
        }
        if (b.paInitialised) Pa_Terminate();
    }
    running_.store(false, std::memory_order_release);
    backend_.reset();
}

}  // namespace plindo::motion
