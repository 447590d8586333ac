#include "serato/rane_screen_event.h"

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/text.h"
#include "serato/utf16_units.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <set>
#include <unordered_map>

namespace plindo::serato {

std::atomic<bool> RaneScreenEvent::dumpFrames{false};

namespace {

spdlog::logger& log() { return platform::logger("serato.tap"); }

// Diagnostics shared by every decode of the process. Only the spy thread decodes, so the lock is never
// contended; it keeps tests and fuzzers that decode from several threads sound.
struct Diagnostics {
    std::mutex m;
    std::set<uint8_t> seenFrameTypes;
    std::unordered_map<int, size_t> lastRawHex;  // a hash of the hex text: enough to tell a change
    std::unordered_map<int, double> lastDumpWall;
    int64_t timeFrameCount = 0;
};
Diagnostics& diag() {
    static Diagnostics* d = new Diagnostics;  // kept for the life of the process
    return *d;
}

constexpr uint8_t kHeader[7] = {0xF0, 0x00, 0x00, 0x17, 0x00, 0x1B, 0x05};

std::string hexJoined(std::span<const uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

uint32_t le32(std::span<const uint8_t> p, size_t at) {
    return uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
}

double secondsAt(const std::vector<uint8_t>& bytes) { return bytes.size() > 4 ? le32(bytes, 1) * 0.0005 : 0.0; }

// Shortest decimal text that reads back as the same double, with ".0" on whole numbers.
std::string doubleText(double v) {
    std::string s = fmt::format("{}", v);
    if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

void dumpFrame(uint8_t type, uint8_t param, const std::vector<uint8_t>& p) {
    const bool dumping = RaneScreenEvent::dumpFrames.load(std::memory_order_relaxed);
    if (!(p.size() < 73 || (p.size() < 401 && dumping))) return;
    const double now = platform::mediaNow();
    const int key = type * 256 + param;
    {
        Diagnostics& d = diag();
        std::lock_guard l(d.m);
        const bool always = dumping && (type == 0x05 || type == 0x21 || type == 0x24);
        auto it = d.lastDumpWall.find(key);
        if (!always && it != d.lastDumpWall.end() && now - it->second < 2.0) return;
        d.lastDumpWall[key] = now;
    }
    log().info("dump t={:.3f} type=0x{:x} deck={} n={} [{}]", now, type, param, p.size(), hexJoined(p));
}

void logTimeFrame(std::span<const uint8_t> m, uint32_t t) {
    {
        Diagnostics& d = diag();
        std::lock_guard l(d.m);
        if (++d.timeFrameCount % 40 != 1) return;
    }
    const auto raw = m.subspan(12, std::min<size_t>(24, m.size() - 1) - 12);
    const double msb = secondsAt(RaneScreenEvent::unpackSeptetsMSB(raw));
    const double korg = secondsAt(RaneScreenEvent::unpackHeaderBits(raw));
    log().info("0x05 raw [{}] lsb={:f} msb={:f} korg={:f}", hexJoined(raw), t * 0.0005, msb, korg);
}

void logRawOnChange(uint8_t type, uint8_t param, const std::vector<uint8_t>& p) {
    std::string hex = hexJoined(p);
    const size_t h = std::hash<std::string>{}(hex);
    {
        Diagnostics& d = diag();
        std::lock_guard l(d.m);
        auto [it, added] = d.lastRawHex.try_emplace(type * 256 + param, h);
        if (!added && it->second == h) return;
        it->second = h;
    }
    log().info("raw 0x{:x} deck {} n={} [{}]", type, param, p.size(), hex);
}

void logFirstOfType(uint8_t type, const std::vector<uint8_t>& p) {
    {
        Diagnostics& d = diag();
        std::lock_guard l(d.m);
        if (!d.seenFrameTypes.insert(type).second) return;
    }
    const auto head = std::span<const uint8_t>(p).first(std::min<size_t>(24, p.size()));
    std::string text;
    for (size_t i = 0; i < std::min<size_t>(48, p.size()); ++i)
        text += (p[i] >= 0x20 && p[i] <= 0x7E) ? char(p[i]) : '.';
    log().info("type 0x{:x} n={} [{}] '{}'", type, p.size(), hexJoined(head), text);
}

}  // namespace

std::vector<uint8_t> RaneScreenEvent::packSeptets(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out;
    out.reserve((bytes.size() * 8 + 6) / 7);
    uint32_t acc = 0;
    int count = 0;
    for (uint8_t b : bytes) {
        acc |= uint32_t(b) << count;
        count += 8;
        while (count >= 7) {
            out.push_back(static_cast<uint8_t>(acc & 0x7F));
            acc >>= 7;
            count -= 7;
        }
    }
    if (count > 0) out.push_back(static_cast<uint8_t>(acc & 0x7F));
    return out;
}

std::vector<uint8_t> RaneScreenEvent::unpackSeptets(std::span<const uint8_t> septets) {
    std::vector<uint8_t> out;
    out.reserve(septets.size() * 7 / 8);
    uint32_t acc = 0;
    int count = 0;
    for (uint8_t b : septets) {
        acc |= uint32_t(b & 0x7F) << count;
        if (count == 0) {
            count = 7;
            continue;
        }
        out.push_back(static_cast<uint8_t>(acc & 0xFF));
        acc >>= 8;
        --count;
    }
    return out;
}

std::vector<uint8_t> RaneScreenEvent::unpackSeptetsMSB(std::span<const uint8_t> septets) {
    std::vector<uint8_t> out;
    out.reserve(septets.size() * 7 / 8);
    uint32_t acc = 0;
    int count = 0;
    for (uint8_t b : septets) {
        acc = (acc << 7) | (b & 0x7F);
        if (count + 7 < 8) {
            count = 7;
            continue;
        }
        --count;
        out.push_back(static_cast<uint8_t>((acc >> count) & 0xFF));
        acc &= (1u << count) - 1;
    }
    return out;
}

std::vector<uint8_t> RaneScreenEvent::unpackHeaderBits(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out;
    out.reserve(bytes.size());
    for (size_t g = 0; g < bytes.size(); g += 8) {
        const uint8_t header = bytes[g];
        for (size_t j = 0; j < 7 && g + 1 + j < bytes.size(); ++j)
            out.push_back(static_cast<uint8_t>((bytes[g + 1 + j] & 0x7F) | ((header >> j) & 1) << 7));
    }
    return out;
}

std::string RaneScreenEvent::screenText(std::span<const uint8_t> bytes, int shift) {
    shift = std::clamp(shift, 0, 15);
    std::vector<uint16_t> units;
    units.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto unit = static_cast<uint16_t>((bytes[i] | bytes[i + 1] << 8) >> shift);
        if (unit == 0) break;
        units.push_back(unit);
    }
    const auto cps = Utf16Units::codePoints(units);
    const std::string s = Utf16Units::toUtf8(cps, 0, cps.size());
    return std::string(platform::text::trimWhitespace(s));
}

std::optional<RaneScreenEvent> RaneScreenEvent::decode(std::span<const uint8_t> m) {
    const size_t n = m.size();
    if (n < 13 || !std::equal(std::begin(kHeader), std::end(kHeader), m.begin()) || m[n - 1] != 0xF7)
        return std::nullopt;
    const uint8_t type = m[7];
    const uint8_t param = m[12];
    std::vector<uint8_t> p = unpackSeptets(n > 14 ? m.subspan(13, n - 14) : std::span<const uint8_t>());
    p.insert(p.begin(), param);
    dumpFrame(type, param, p);

    switch (type) {
        case 0x05: {
            if (p.size() < 9) return std::nullopt;
            const uint32_t t = le32(p, 5);
            if (t == 0xFFFFFFFFu) return RaneScreenEvent{Other{type, param, int(p.size())}};
            logTimeFrame(m, t);
            const double vel = p.size() >= 13 ? double(int16_t(uint16_t(p[11] | p[12] << 8))) : 0.0;
            const double sec = std::max(0.0, double(int32_t(t)) * 0.0005);
            return RaneScreenEvent{Time{param, sec, vel}};
        }
        case 0x01:
            return RaneScreenEvent{Title{param, screenText(std::span(p).subspan(1), 1)}};
        case 0x02:
            return RaneScreenEvent{Artist{param, screenText(std::span(p).subspan(1), 1)}};
        case 0x22:
            if (p.size() < 3) return std::nullopt;
            return RaneScreenEvent{LibCrate{screenText(std::span(p).subspan(1), 1)}};
        case 0x23:
            if (p.size() < 7) return std::nullopt;
            return RaneScreenEvent{LibCursor{param, p[1] << 8 | p[2], p[5] << 8 | p[6]}};
        case 0x24:
            if (p.size() < 361) return std::nullopt;
            return RaneScreenEvent{LibRow{param, screenText(std::span(p).subspan(1, 256), 1),
                                          screenText(std::span(p).subspan(257, 104), 1)}};
        case 0x46:
        case 0x47:
            logRawOnChange(type, param, p);
            [[fallthrough]];
        default:
            logFirstOfType(type, p);
            return RaneScreenEvent{Other{type, param, int(p.size())}};
    }
}

std::vector<std::string> RaneScreenEvent::selfTest() {
    std::vector<std::string> fails;
    const std::vector<uint8_t> x{0x01, 0x10, 0x27, 0x00, 0x00, 0xAB, 0xCD, 0x7F, 0x80};
    std::vector<uint8_t> u = unpackSeptets(packSeptets(x));
    if (u.size() > x.size()) u.resize(x.size());
    if (u != x) fails.push_back("rane: unpack(pack(x)) != x");

    const std::vector<uint8_t> fields{0x10, 0x27, 0x00, 0x00, 0x40, 0x9C, 0x00, 0x00, 0x64, 0x04, 0xD0, 0x07};
    std::vector<uint8_t> body{0x01};
    const auto packed = packSeptets(fields);
    body.insert(body.end(), packed.begin(), packed.end());
    const size_t len = body.size();
    std::vector<uint8_t> frame{0xF0,
                               0x00,
                               0x00,
                               0x17,
                               0x00,
                               0x1B,
                               0x05,
                               0x05,
                               static_cast<uint8_t>((len + 2) >> 7),
                               static_cast<uint8_t>((len + 2) & 0x7F),
                               static_cast<uint8_t>(len >> 7),
                               static_cast<uint8_t>(len & 0x7F)};
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(0xF7);

    const auto e = decode(frame);
    const Time* time = e ? std::get_if<Time>(&e->value) : nullptr;
    if (!time) {
        fails.push_back("rane: 0x05 frame not decoded");
        return fails;
    }
    if (time->deck != 1 || std::fabs(time->sec - 20.0) > 1e-9)
        fails.push_back("rane: time decode " + std::to_string(time->deck) + " " + doubleText(time->sec));
    if (std::fabs(time->vel - 2000.0) > 1e-9) fails.push_back("rane: vel decode " + doubleText(time->vel));
    return fails;
}

}  // namespace plindo::serato
