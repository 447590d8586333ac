#pragma once
// The output a deck plays on: a device from AudioOutDevice and a pair of its channels. Sound cards go
// through PortAudio, opened with all their output channels and the deck written into its pair; the
// built-in "null" device is a thread paced at the period that pulls renders, and "file" does the same and
// records what it pulled into a WAV file.
#include "motion/audio_out_device.h"
#include "motion/cells.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace plindo::motion {

class AudioOut {
public:
    // Fills `frames` samples of each channel. Called on the audio thread: must not allocate, lock or log.
    using Render = std::function<void(float* left, float* right, uint32_t frames)>;

    AudioOut(const AudioOutDevice& device, int channelStart);
    ~AudioOut();
    AudioOut(const AudioOut&) = delete;
    AudioOut& operator=(const AudioOut&) = delete;

    // Opens the device and starts pulling renders. Failures are reported through onStatus only; the
    // output then stays stopped. Returns whether it runs.
    bool start(Render render);
    // Stops and joins the audio thread; safe to call more than once.
    void stop();
    bool running() const { return running_.load(std::memory_order_acquire); }

    // Where the "file" device writes: set before start. Default: $PLINDO_FILE_DEVICE, else
    // $TMPDIR/plindo-file-device.wav.
    void setFilePath(std::string path) { filePath_ = std::move(path); }
    const std::string& filePath() const { return filePath_; }

    std::function<void(const std::string&)> onStatus;
    ValueCell outLatency{0.0};  // presentation latency, seconds; 0 until started
    double sampleRate = 0;      // set by start
    uint32_t deviceID = 0;
    std::string deviceUID;
    std::string deviceName;
    int deviceChannels = 0;
    int channelStart = 0;              // first of the deck's two device channels, 0-based
    uint32_t requestBufferFrames = 0;  // 0 takes the device's default

    struct Backend;

private:
    void report(const std::string& line) const;
    bool startPortAudio();
    bool startThread(bool toFile);
    void reportStarted();

    Render render_;
    std::unique_ptr<Backend> backend_;
    std::atomic<bool> running_{false};
    std::string filePath_;
};

}  // namespace plindo::motion
