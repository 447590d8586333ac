#pragma once
// Shared helpers of the serato tests: mixer SysEx frames, screen text fields, platter angles, a capture of a
// log category, a bounded wait and a fresh driver namespace per test.
#include "log_lines.h"
#include "platform/log.h"
#include "serato/rane_screen_event.h"
#include "serato/screen_wave.h"
#include "serato/serato_return.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <numbers>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plindo::serato::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// A return frame (family 0x25) whose payload is packed into septets.
inline Bytes rane(uint8_t device, uint8_t type, const Bytes& payload) {
    const Bytes body = SeratoReturn::packSeptets(payload);
    Bytes m{0xF0, 0x00, 0x00, 0x17, device, 0x25, 0x05, type, 0, 0,
            static_cast<uint8_t>(body.size() / 128), static_cast<uint8_t>(body.size() % 128)};
    m.insert(m.end(), body.begin(), body.end());
    m.push_back(0xF7);
    return m;
}

// A platter record of `deck` (0 or 1) at the mixer clock `clock`.
inline Bytes platterFrame(uint8_t deck, uint32_t clock) {
    Bytes p(15, 0);
    p[0] = deck;
    for (int i = 0; i < 4; ++i) p[1 + i] = static_cast<uint8_t>(clock >> (8 * i));
    return rane(0, 5, p);
}

// A screen-waveform record at `offset` ms whose first pixel is `fill`.
inline Bytes waveFrame(uint8_t deck, uint32_t offset, uint8_t fill, uint8_t device = 1) {
    Bytes p(SeratoReturn::ScreenWave::kRecordSize, 0);
    p[0] = deck;
    for (int i = 0; i < 4; ++i) p[2 + i] = static_cast<uint8_t>(offset >> (8 * i));
    p[8] = 0x70;
    p[9] = 0x08;
    p[10] = fill;
    return rane(device, 9, p);
}

// A screen frame (family 0x1B): the parameter byte as it stands, then `rest` packed into septets.
inline Bytes screenFrame(uint8_t type, uint8_t param, std::span<const uint8_t> rest) {
    const Bytes packed = RaneScreenEvent::packSeptets(rest);
    const size_t len = packed.size() + 1;
    Bytes f{0xF0, 0x00, 0x00, 0x17, 0x00, 0x1B, 0x05, type, uint8_t(((len + 2) >> 7) & 0x7F), uint8_t((len + 2) & 0x7F),
            uint8_t((len >> 7) & 0x7F), uint8_t(len & 0x7F), param};
    f.insert(f.end(), packed.begin(), packed.end());
    f.push_back(0xF7);
    return f;
}

// Screen text as the mixer writes it: each UTF-16 unit shifted left by one, little-endian, zero-padded.
inline Bytes screenField(const std::string& ascii, size_t size) {
    Bytes b;
    for (char c : ascii) {
        const uint16_t u = static_cast<uint16_t>(uint8_t(c) << 1);
        b.push_back(uint8_t(u & 0xFF));
        b.push_back(uint8_t(u >> 8));
    }
    b.resize(size, 0);
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const auto& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

// A SysEx whose body is `s` as it stands.
inline Bytes framedText(std::string_view s) {
    Bytes m{0xF0};
    m.insert(m.end(), s.begin(), s.end());
    m.push_back(0xF7);
    return m;
}

inline const Bytes kSongInfoMarker =
    cat({{0xF0}, Bytes(SeratoReturn::songInfoMarker.begin(), SeratoReturn::songInfoMarker.end()), {0xF7}});

// The phone angle of a platter position in ticks.
inline double angleOf(double ticks, double perTurn = 3600.0) { return -ticks / perTurn * 2 * std::numbers::pi; }

// A driver namespace no other test (or test process) uses.
inline std::string freshNamespace() {
    static std::atomic<int> n{0};
    return "plindo-serato-test-" + std::to_string(::getpid()) + "-" + std::to_string(n++) + "/";
}

using LogLines = ::plindo::testing::LogLines;

template <typename Pred>
inline bool waitUntil(Pred pred, double seconds = 3.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace
}  // namespace plindo::serato::testing
