#pragma once
// The output devices a deck can play on, and the label of a channel pair. Besides the sound cards that
// PortAudio lists, every machine has two built-in devices: "null" (paced by a thread, no sound) and "file"
// (renders into a WAV file).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plindo::motion {

struct AudioOutDevice {
    uint32_t id = 0;      // identity for lists; not stable across runs
    std::string uid;      // persistent: host API and device name
    std::string name;
    int channels = 0;     // output channels

    bool operator==(const AudioOutDevice&) const = default;

    // The built-in devices' uids.
    static constexpr const char* nullUID = "null";
    static constexpr const char* fileUID = "file";

    // Every output device: the built-in ones first, then the sound cards of the default source.
    static std::vector<AudioOutDevice> outputDevices();

    // One device as a source reports it, before the listing rules apply.
    struct Raw {
        int index = -1;        // the source's own index (PortAudio device index)
        std::string hostApi;   // e.g. "ALSA", "JACK Audio Connection Kit"
        std::string name;
        int outputChannels = 0;
    };

    // Where the sound cards come from; tests inject their own.
    using Source = std::function<std::vector<Raw>()>;
    static std::vector<AudioOutDevice> outputDevices(const Source& source);

    // The PortAudio device list; empty when PortAudio cannot start.
    static std::vector<Raw> portAudioDevices();

    // The id given to the sound card with PortAudio index i; the built-in devices sit below it.
    static constexpr uint32_t firstCardId = 16;
    static constexpr uint32_t nullId = 1;
    static constexpr uint32_t fileId = 2;
};

// PortAudio's set-up and tear-down are not thread-safe; every user takes this lock around them.
std::mutex& portAudioLock();

// The 1-based pair of a 0-based first channel, joined by an en dash: 0 gives "1–2".
std::string channelPairLabel(int start);

}  // namespace plindo::motion

template <>
struct std::hash<plindo::motion::AudioOutDevice> {
    size_t operator()(const plindo::motion::AudioOutDevice& d) const noexcept {
        size_t h = std::hash<uint32_t>{}(d.id);
        auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
        mix(std::hash<std::string>{}(d.uid));
        mix(std::hash<std::string>{}(d.name));
        mix(std::hash<int>{}(d.channels));
        return h;
    }
};
