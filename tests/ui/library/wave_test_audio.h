#pragma once
// Small stereo WAV files for the waveform tests: a tone whose loudness and pitch change over the track, so
// its waveform has a shape and its colours vary.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace plindo::ui::test {

inline void writeToneWav(const std::string& path, double seconds, int rate = 22050) {
    const auto frames = static_cast<uint32_t>(seconds * rate);
    std::vector<int16_t> pcm;
    pcm.reserve(size_t(frames) * 2);
    double phase = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double freq = 80 + 2000 * (0.5 + 0.5 * std::sin(t * 0.9));
        phase += 2 * M_PI * freq / rate;
        const double beat = std::fmod(t * 2, 1.0) < 0.15 ? 1.0 : 0.35;  // a pulse twice a second
        const double amp = beat * (0.4 + 0.5 * std::abs(std::sin(t * 0.37)));
        pcm.push_back(int16_t(std::lround(std::sin(phase) * amp * 30000)));
        pcm.push_back(int16_t(std::lround(std::sin(phase * 1.01) * amp * 0.8 * 30000)));
    }
    const uint32_t dataBytes = frames * 4;
    std::ofstream f(path, std::ios::binary);
    const auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4);
    u32(36 + dataBytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(2);
    u32(uint32_t(rate));
    u32(uint32_t(rate) * 4);
    u16(4);
    u16(16);
    f.write("data", 4);
    u32(dataBytes);
    f.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(dataBytes));
}

}  // namespace plindo::ui::test
