// The motion road: phone frames, seeks and the external playhead reach the deck players through the feed
// cells; the 2 ms tunnel pump keeps the tick and earbud streams flowing between batches.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "platform/log.h"

#include <algorithm>
#include <cmath>

namespace plindo::host {

namespace {
// An external playhead update older than this says nothing about the current speed.
constexpr double kPlayheadRateWindowSec = 0.5;
// Rates derived from playhead jumps are clamped: a seek must not read as a 1000x spin.
constexpr double kPlayheadRateLimit = 4.0;
}  // namespace

void HostState::tunnelPumpTick(DeckFeeds& feeds, double now) {
    // The tunnel and earbud roads fill this pass; until then the pump only keeps its period.
    (void)feeds;
    (void)now;
}

void HostState::wireServer() {
    auto& s = *server;
    auto& serverLog = platform::logger("orv-server");
    std::weak_ptr<DeckFeeds> weak = feeds;
    const platform::Clock& clock = clock_;
    // Runs on the server queue: the hot path takes only cell locks.
    s.onFrame = [weak, &clock](int deck, std::string_view, double, double,
                               std::span<const link::OrvServer::FrameSample> samples) {
        if (auto f = weak.lock()) routeFrame(*f, deck, samples, clock.now());
    };
    s.onStatus = [this](const std::string& line) { postStatus(line); };
    s.onHello = [&serverLog](int deck, const std::string& name, const std::string& mode) {
        serverLog.info("hello: deck {} from \"{}\" ({})", deck, name, mode);
    };
    s.onRemoteLoad = [&serverLog](int deck, const std::string& path) {
        serverLog.info("deck {}: phone loads \"{}\"", deck, path);
    };
    std::weak_ptr<int> alive = life_;
    // Another host's logo, chunk by chunk; a complete one becomes ours without being shared on.
    s.onDJLogo = [this, alive](double generation, int index, int count, std::string_view chunk) {
        main_.post([this, alive, generation, index, count, text = std::string(chunk)] {
            if (!alive.lock()) return;
            if (auto bytes = logoAssembler_.add(generation, index, count, text)) setDJLogo(*bytes, false);
        });
    };
    s.onPeerJoined = [&serverLog](const std::string& name) { serverLog.info("group peer \"{}\" joined", name); };
    s.onSeek = [weak](int deck, double seconds) {
        auto f = weak.lock();
        if (!f || deck < 1 || deck > 2 || !std::isfinite(seconds)) return;
        f->integrators[deck - 1].seek(seconds);
        if (auto p = f->playerOf(deck)) p->seek.request(std::max(0.0, seconds));
    };
}

void HostState::routeFrame(DeckFeeds& feeds, int deck, std::span<const link::OrvServer::FrameSample> samples,
                           double now) {
    if (deck < 1 || deck > 2 || samples.empty()) return;
    auto player = feeds.playerOf(deck);
    if (!player) return;
    const auto r = feeds.integrators[deck - 1].cell.update([&](motion::AngleIntegrator::State& st) {
        for (const auto& smp : samples) motion::AngleIntegrator::step(st, smp.angle, smp.ts);
        return motion::AngleIntegrator::Result{st.posSec, st.rate};
    });
    if (!std::isfinite(r.posSec) || !std::isfinite(r.rate)) return;
    player->anchor.cell.write({r.posSec, now, r.rate, true});
}

void HostState::routePlayhead(int deckIndex, double seconds) {
    if (deckIndex < 0 || deckIndex > 1 || !std::isfinite(seconds)) return;
    auto player = feeds->playerOf(deckIndex + 1);
    if (!player) return;
    const double now = clock_.now();
    auto& t = playheadTrack_[deckIndex];
    double rate = 0;
    if (t.seen && now - t.wall > 0 && now - t.wall < kPlayheadRateWindowSec) {
        rate = std::clamp((seconds - t.pos) / (now - t.wall), -kPlayheadRateLimit, kPlayheadRateLimit);
    }
    t = {seconds, now, true};
    player->anchor.cell.write({std::max(0.0, seconds), now, rate, true});
}

}  // namespace plindo::host
