#pragma once
// Generated audio for the waveform tests: a tone whose pitch sweeps and whose loudness pulses twice a second,
// so its waveform has a shape and its colours vary; as samples, or written as a 16-bit stereo WAV file.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace plindo::ui::test {

struct Stereo {
    std::vector<float> left, right;
};

inline Stereo toneSamples(double seconds, int rate, double pitch = 80) {
    Stereo s;
    const auto frames = static_cast<size_t>(seconds * rate);
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        phase += 2 * M_PI * (pitch + 2000 * (0.5 + 0.5 * std::sin(t * 0.9))) / rate;
        const double amp = (std::fmod(t * 2, 1.0) < 0.15 ? 1.0 : 0.35) * (0.4 + 0.5 * std::abs(std::sin(t * 0.37)));
        s.left.push_back(float(std::sin(phase) * amp * 0.9));
        s.right.push_back(float(std::sin(phase * 1.01) * amp * 0.75));
    }
    return s;
}

inline void writeToneWav(const std::string& path, double seconds, int rate = 22050) {
    const Stereo s = toneSamples(seconds, rate);
    std::vector<int16_t> pcm;
    for (size_t i = 0; i < s.left.size(); ++i) {
        pcm.push_back(int16_t(std::lround(s.left[i] * 32000)));
        pcm.push_back(int16_t(std::lround(s.right[i] * 32000)));
    }
    const auto dataBytes = uint32_t(pcm.size() * 2);
    std::ofstream f(path, std::ios::binary);
    const auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4);
    u32(36 + dataBytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);  // PCM
    u16(2);  // stereo
    u32(uint32_t(rate));
    u32(uint32_t(rate) * 4);
    u16(4);
    u16(16);
    f.write("data", 4);
    u32(dataBytes);
    f.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(dataBytes));
}

}  // namespace plindo::ui::test
