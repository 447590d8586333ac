#include "serato/sysex_router.h"

#include <spdlog/fmt/fmt.h>

#include <algorithm>

namespace plindo::serato {

namespace {

constexpr int kKindLength = 3;
constexpr int kKindTime = 4;
constexpr uint8_t kFramePlatter = 5;
constexpr uint8_t kFrameScreenWave = 9;
constexpr double kLogEvery = 1.0;  // seconds between the per-deck log lines
constexpr size_t kHexHeadBytes = 40;

}  // namespace

std::string SysexRouter::hexHead(std::span<const uint8_t> m) {
    std::string out;
    const size_t n = std::min(m.size(), kHexHeadBytes);
    out.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i) out.push_back(' ');
        out += fmt::format("{:02X}", m[i]);
    }
    return out;
}

std::string SysexRouter::printable(std::span<const uint8_t> m) {
    std::string out(m.size(), '.');
    for (size_t i = 0; i < m.size(); ++i)
        if (m[i] >= 0x20 && m[i] <= 0x7E) out[i] = static_cast<char>(m[i]);
    return out;
}

SysexRouter::Route SysexRouter::route(std::span<const uint8_t> m, const Context& ctx) {
    if (const auto t = SeratoReturn::decodeTimeInfo(m)) return timeInfo(*t, ctx);

    if (auto f = SeratoReturn::unpackRaneFrame(m)) {
        Route other{.kind = Route::Kind::otherFrame};
        other.capture = ctx.capture && f->type != kFramePlatter;
        if (f->type == kFrameScreenWave) {
            if (auto w = SeratoReturn::screenWave(f->payload); w && (w->deck == 0 || w->deck == 1)) {
                Route r = assemble(std::move(*w), ctx);
                r.capture = other.capture;
                return r;
            }
            return other;
        }
        if (f->type == kFramePlatter && f->device == 0) {
            if (const auto p = SeratoReturn::platterPosition(f->payload); p && p->deck <= 1)
                return platterRecord(*p, ctx);
        }
        return other;
    }

    if (SeratoReturn::isRaneFrame(m)) return Route{.kind = Route::Kind::otherFrame, .capture = ctx.capture};

    return songText(m, ctx);
}

SysexRouter::Route SysexRouter::timeInfo(const SeratoReturn::TimeInfo& t, const Context& ctx) {
    Route r;
    const int d = t.deck - 1;
    if (t.kind == kKindLength) {
        if (t.value == lastLengthMs[d]) return r;
        lastLengthMs[d] = t.value;
        r.logs.push_back(fmt::format("serato length d{} {} ms", t.deck, t.value));
    } else if (t.kind == kKindTime) {
        if (t.value == lastTimeMs[d]) return r;
        lastTimeMs[d] = t.value;
        if (ctx.now - timeLogWall[d] >= kLogEvery) {
            timeLogWall[d] = ctx.now;
            r.logs.push_back(fmt::format("serato time d{} {} ms", t.deck, t.value));
        }
        r.kind = Route::Kind::time;
        r.deck = t.deck;
        r.seconds = t.value / 1000.0;
    }
    return r;
}

SysexRouter::Route SysexRouter::platterRecord(const SeratoReturn::PlatterPosition& p, const Context& ctx) {
    const auto d = static_cast<size_t>(p.deck);
    if (lastPlatter[d] == p) return {};
    lastPlatter[d] = p;
    Route r{.kind = Route::Kind::platter, .platter = p};
    ++platterCount[d];
    const double since = ctx.now - platterLogWall[d];
    if (since < kLogEvery) return r;
    const int64_t n = platterCount[d];
    const double interval = platterLogWall[d] > 0 ? since : 1.0;
    platterCount[d] = 0;
    platterLogWall[d] = ctx.now;
    r.logs.push_back(fmt::format("serato pos d{} clock {} pos {} ms ang {}/1024 tempo {:.3f} rate {:.1f} Hz",
                                 d + 1, p.clockMs, p.positionMs, p.angleRaw, p.velocityRaw / 1000.0,
                                 static_cast<double>(n) / std::max(interval, 0.001)));
    return r;
}

SysexRouter::Route SysexRouter::assemble(SeratoReturn::ScreenWave&& w, const Context& ctx) {
    const auto d = static_cast<size_t>(w.deck);
    auto& store = screenWave[d];
    if (const auto it = store.find(w.offsetMs); it != store.end() && it->second == w) return {};
    const uint32_t offset = w.offsetMs;
    store.insert_or_assign(offset, w);
    if (store.size() > kMaxScreenWaves) {
        // Drop the bitmap farthest from the one just stored; it is at one end of the ordered store.
        const auto first = store.begin();
        const auto lastIt = std::prev(store.end());
        store.erase(offset - first->first >= lastIt->first - offset ? first : lastIt);
    }
    Route r{.kind = Route::Kind::screenWave};
    if (ctx.now - screenWaveLogWall[d] >= kLogEvery) {
        screenWaveLogWall[d] = ctx.now;
        const auto lit = std::count_if(w.pixels.begin(), w.pixels.end(), [](uint8_t v) { return v != 0; });
        r.logs.push_back(fmt::format("serato screenwave d{} {} Rahmen, zuletzt {} ms, {}/2160 belegt", d + 1,
                                     store.size(), offset, lit));
    }
    r.wave = std::move(w);
    return r;
}

SysexRouter::Route SysexRouter::songText(std::span<const uint8_t> m, const Context& ctx) {
    Route r;
    if (sysexLogged < kMaxLoggedUnknown) {
        ++sysexLogged;
        r.logs.push_back(fmt::format("sysex {} B [{}] '{}'", m.size(), hexHead(m), printable(m)));
    }
    auto info = songInfo.feed(m, ctx.ccDeck, ctx.now);
    if (info) {
        r.logs.push_back(fmt::format("song info d{} slot {}: {}", info->deck, info->slot, info->text));
    } else {
        info = SeratoReturn::decodeSongInfo(m, ctx.lastChangedDeck);
        if (!info) return r;
    }
    r.kind = info->slot == 7 ? Route::Kind::path : Route::Kind::text;
    r.deck = info->deck;
    r.slot = info->slot;
    r.text = std::move(info->text);
    return r;
}

}  // namespace plindo::serato
