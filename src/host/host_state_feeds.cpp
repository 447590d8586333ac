// The motion road: phone frames, IMU samples, tick batches, earbud samples, raw records and seeks reach the
// deck players or the MIDI output through the feed cells; the 2 ms tunnel pump keeps the tick and earbud
// streams flowing between batches. Also the deck loader and the bridge to the DJ application.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "library/cover_store.h"
#include "library/peak_envelope.h"
#include "library/serato_file_meta.h"
#include "motion/dynamo_gate.h"
#include "platform/base64.h"
#include "platform/freed_memory.h"
#include "platform/log.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>

namespace plindo::host {

namespace {
// An external playhead update older than this says nothing about the current speed.
constexpr double kPlayheadRateWindowSec = 0.5;
// Rates derived from playhead jumps are clamped: a seek must not read as a 1000x spin.
constexpr double kPlayheadRateLimit = 4.0;
// A newer feed of the same deck holds the older one off for this long.
constexpr double kFreshSec = 0.5;
// Platter speeds above this (1 = nominal) count as playing.
constexpr double kPlayingRate = 0.05;
constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr double kSecPerRev = 1.8;
constexpr double kTicksPerRev = 36000;
constexpr double kGridSec = 0.005;
// Outputs a batch releases at once while more than kBatchKeep received ticks wait.
constexpr int kBatchDrainMax = 64;
constexpr int64_t kBatchKeep = 2;
constexpr double kBudResetGapSec = 0.25;
constexpr double kOffMaxDecay = 0.0005;
constexpr double kSecretSec = 5.0;
// A decoded track is analysed this much at a time, looking between blocks whether it is still on the deck.
constexpr double kEnvelopeBlockSec = 10.0;
constexpr const char* kSeratoPath = "serato-midi://deck";
constexpr const char* kSeratoPrefix = "serato-midi://";

// A step of an angle folded into (-pi, pi].
double fold(double step) {
    double r = std::remainder(step, kTwoPi);
    if (r <= -std::numbers::pi) r += kTwoPi;
    return r;
}

bool finite(std::initializer_list<double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

bool bridged(const DeckFeeds& f, int deck) { return f.seratoOut && f.seratoOut->isActive(deck); }

std::string slotKey(const char* prefix, int deck) { return prefix + std::to_string(deck); }

std::string stem(const std::string& path) { return std::filesystem::path(path).stem().string(); }

// The raw follower's position step from the core's last published sample: the angle moved since the last
// step turns into track seconds (a decreasing angle plays forward), and the rate into a playback speed. Raw
// records and synthesis steps both move it; only a raw record says the phone's raw stream is live.
struct RawStep {
    double pos = 0;
    double speed = 0;
};
RawStep rawAdvance(DeckFeeds& f, int i) {
    const auto sample = f.rawRate[i]->cell.read();
    const double speed = sample.rate * (-kSecPerRev / kTwoPi);
    const double angle = sample.angle;
    double pos = 0;
    f.rawTrack[i].update([&](RawTrack& t) {
        const double moved = t.angleKnown ? (t.lastAngle - angle) / kTwoPi * kSecPerRev : 0.0;
        t.lastAngle = angle;
        t.angleKnown = true;
        std::lock_guard g(f.rawFollow[i]->lock);
        auto& rf = *f.rawFollow[i];
        if (std::isfinite(moved)) rf.posSec = std::max(0.0, rf.posSec + moved);
        pos = rf.posSec;
    });
    return {pos, speed};
}

void anchorTo(DeckFeeds& f, int deck, double pos, double now, double rate) {
    if (auto p = f.playerOf(deck)) p->anchor.cell.write({std::max(0.0, pos), now, rate, true});
}
}  // namespace

// --- The tunnel pump and the emit step ---

HostState::EmitPairs HostState::budUpDrain(BudUpState& st, double now) {
    EmitPairs pairs;
    if (!std::isfinite(st.offMax)) return pairs;
    const auto steps = st.up.drain(now + st.offMax);
    for (const auto& s : steps) {
        ++st.outs;
        if (s.guessed) ++st.guessed;
        if (s.jumped) ++st.jumped;
    }
    // The last step stands at the tunnel's sent position; each earlier one a delta before the next.
    int64_t cum = st.up.tun.sentCum();
    std::array<int64_t, motion::SeratoUpsampler::kMaxDrain> cums{};
    for (size_t k = steps.size(); k-- > 0;) {
        cums[k] = cum;
        cum -= steps[k].delta;
    }
    for (size_t k = 0; k < steps.size(); ++k) pairs.push({cums[k], steps[k]});
    return pairs;
}

void HostState::emitTicks(DeckFeeds& feeds, int deck, std::span<const EmitPair> pairs) {
    if (pairs.empty() || deck < 1 || deck > 2 || !feeds.seratoOut) return;
    // The phone asked the host to spin the deck: its own motion must not fight the synthesis.
    if (feeds.phoneSynthCell[deck - 1].value() > 0.5) return;
    const bool engaged = feeds.imuCell[deck - 1].read().engaged;
    for (const auto& p : pairs) {
        if (p.out.delta == 0 && p.out.guessed) continue;
        const double angle = static_cast<double>(p.cum) / -kTicksPerRev * kTwoPi;
        const double omega = static_cast<double>(p.out.delta) / -kTicksPerRev * kTwoPi / kGridSec;
        feeds.seratoOut->drive(deck, engaged, angle, p.out.stamp, omega);
    }
}

bool HostState::streamsLive(DeckFeeds& feeds, double now) {
    const auto& tun = feeds.tunables;
    if (!tun.tunnelOn.load(std::memory_order_relaxed)) return false;
    const bool budOn = tun.budUpOn.load(std::memory_order_relaxed);
    const auto fresh = [now](double wall) { return wall > 0 && now - wall < kFreshSec; };
    for (int i = 0; i < 2; ++i) {
        bool live = false;
        feeds.tunnelCell[i].update([&](TunnelState& st) { live = fresh(st.wall); });
        if (!live && budOn) feeds.budUpCell[i].update([&](BudUpState& st) { live = fresh(st.wall); });
        if (live) return true;
    }
    return false;
}

bool HostState::tunnelPumpTick(DeckFeeds& feeds, double now) {
    auto& tun = feeds.tunables;
    if (!tun.tunnelOn.load(std::memory_order_relaxed)) return false;
    bool live = false;
    const int64_t maxRun = tun.tunnelMaxGuessRun.load(std::memory_order_relaxed);
    const bool budOn = tun.budUpOn.load(std::memory_order_relaxed);
    for (int deck = 1; deck <= 2; ++deck) {
        const int i = deck - 1;
        std::optional<EmitPair> one;
        feeds.tunnelCell[i].update([&](TunnelState& st) {
            if (st.wall <= 0 || now - st.wall >= kFreshSec) return;
            live = true;
            if (st.guessRun >= maxRun) return;
            if (now - st.lastOutWall <= st.tun.period() * 1.5) return;
            const auto out = st.tun.next();
            if (!out) return;
            ++st.guessRun;
            st.lastOutWall = now;
            st.hostCum = st.tun.sentCum() + st.offset;
            ++st.outs;
            if (out->guessed) ++st.guessed;
            one = EmitPair{st.hostCum, *out};
        });
        if (one && bridged(feeds, deck)) emitTicks(feeds, deck, std::span(&*one, 1));
        if (!budOn) continue;
        EmitPairs pairs;
        feeds.budUpCell[i].update([&](BudUpState& st) {
            if (st.wall <= 0 || now - st.wall >= kFreshSec) return;
            live = true;
            pairs = budUpDrain(st, now);
        });
        if (!pairs.empty() && bridged(feeds, deck)) emitTicks(feeds, deck, std::span(pairs.begin(), pairs.size()));
    }
    return live;
}

// --- The phone's messages (server queue unless noted) ---

void HostState::wireServer() {
    auto& s = *server;
    auto& serverLog = platform::logger("orv-server");
    std::weak_ptr<DeckFeeds> weak = feeds;
    const platform::Clock& clock = clock_;
    for (int i = 0; i < 2; ++i) {
        auto& rf = *feeds->rawFollow[i];
        {
            std::lock_guard g(rf.core.lock);
            rf.core.rateSink = feeds->rawRate[i];
        }
        // The synthesis step: while the phone asks for it, the core turns at its speed on the media clock.
        rf.onSynthStep = [weak, &clock, i](RawFollow& follow) {
            auto f = weak.lock();
            if (!f) return;
            const double now = clock.now();
            const auto t = f->rawTrack[i].read();
            {
                std::lock_guard g(follow.core.lock);
                if (!follow.core.synthSpinOn) return;
                const double ts = t.lastWall > 0 ? t.lastTs + (now - t.lastWall) : now;
                follow.core.update(true, follow.core.synthOmega, ts);
            }
            const auto step = rawAdvance(*f, i);
            if (!bridged(*f, i + 1)) anchorTo(*f, i + 1, step.pos, now, step.speed);
        };
    }

    s.onFrame = [weak, &clock](int deck, std::string_view, double pos, double rate,
                               std::span<const link::OrvServer::FrameSample> samples) {
        if (auto f = weak.lock()) routeFrame(*f, deck, samples, clock.now(), rate, pos);
    };
    s.onIMU = [weak, &clock](int deck, const link::OrvRemoteLink::IMUSample& smp) {
        if (auto f = weak.lock()) routeIMU(*f, deck, smp, clock.now());
    };
    s.onTunnel = [weak, &clock](int deck, int32_t epoch, std::span<const link::OrvServer::Tick> ticks) {
        if (auto f = weak.lock()) routeTunnel(*f, deck, epoch, ticks, clock.now());
    };
    s.onBud = [weak, &clock](int deck, const link::OrvRemoteLink::IMUSample& smp) {
        if (auto f = weak.lock()) routeBud(*f, deck, smp, clock.now());
    };
    s.onRaw = [weak, &clock](int deck, const link::OrvRemoteLink::RawMirror& raw) {
        if (auto f = weak.lock()) routeRaw(*f, deck, raw, clock.now());
    };
    s.onSynth = [weak](int deck, std::optional<double> omega, double) {
        auto f = weak.lock();
        if (!f || deck < 1 || deck > 2) return;
        const bool on = omega && std::isfinite(*omega);
        f->phoneSynthCell[deck - 1].setValue(on ? 1.0 : 0.0);
        f->rawFollow[deck - 1]->setRawSynth(on ? *omega : 0.0, !on);
    };
    s.onTouch = [weak](int deck, bool on) {
        auto f = weak.lock();
        if (!f || deck < 1 || deck > 2) return;
        f->imuCell[deck - 1].update([&](ImuState& st) { st.engaged = on; });
        if (bridged(*f, deck)) f->seratoOut->touch(deck, on);
    };
    std::weak_ptr<int> alive = life_;
    s.onCue = [this, weak, alive](int deck, int slot, bool on) {
        auto f = weak.lock();
        if (!f || deck < 1 || deck > 2 || slot < 0 || slot > 7) return;
        if (bridged(*f, deck)) {
            f->seratoOut->cueButton(deck, slot, on);
            return;
        }
        if (!on) return;
        // The file's cue lives with the deck's markers, on main.
        main_.post([this, alive, deck, slot] {
            if (!alive.lock()) return;
            const auto marks = deckMarks(deck);
            if (!marks) return;
            for (const auto& c : marks->cues) {
                if (c.idx == slot && std::isfinite(c.posSec)) seekDeck(*feeds, deck, c.posSec, clock_.now());
            }
        });
    };
    s.onMute = [weak](int deck, bool on, bool sticky) {
        auto f = weak.lock();
        if (f && deck >= 1 && deck <= 2 && bridged(*f, deck)) f->seratoOut->mute(deck, on, sticky);
    };
    s.onSeek = [weak, &clock](int deck, double seconds) {
        auto f = weak.lock();
        if (!f || deck < 1 || deck > 2 || !std::isfinite(seconds) || bridged(*f, deck)) return;
        seekDeck(*f, deck, seconds, clock.now());
    };
    s.onSensorMessage = [weak](std::string_view, std::span<const link::OSCValue>) {
        if (auto f = weak.lock()) f->sensorMessages.fetch_add(1, std::memory_order_relaxed);
    };
    s.onDyn = [weak, &clock](int deck, std::string_view text) {
        auto f = weak.lock();
        if (!f || deck < 1 || deck > 2) return;
        const auto bytes = platform::base64Decode(text);
        if (!bytes) return;
        const double now = clock.now();
        if (auto frame = motion::DynamoGate::decode(*bytes, now)) f->dynamoCell[deck - 1].write({std::move(*frame), now});
    };
    s.onDynGate = [this, alive](int deck, bool on, int, int) {
        if (deck < 1 || deck > 2) return;
        main_.post([this, alive, deck, on] {
            if (!alive.lock() || !dynamoUnlocked()) return;
            const auto& view = panes()[deck - 1].view;
            if (on && view != "dynamo") writePaneView(deck - 1, "dynamo");
            if (!on && view == "dynamo") writePaneView(deck - 1, "kiste");
        });
    };
    s.onSecret = [this, alive] {
        main_.post([this, alive] {
            if (!alive.lock()) return;
            secretUnlockUntil = clock_.now() + kSecretSec;
        });
    };
    s.onStatus = [this](const std::string& line) { postStatus(line); };
    s.onHello = [this, alive](int deck, const std::string& name, const std::string& mode) {
        if (!alive.lock() || deck < 1 || deck > 2) return;
        setStatus("Deck " + std::to_string(deck) + ": " + name + " (" + mode + ")");
        const bool serato = isSeratoDeck(deck);
        const link::OSCValue args[] = {link::OSCValue::int32(deck), link::OSCValue::string(serato ? "serato" : "")};
        server->sendToDeck(deck, "/orv/deckmode", args);
        const std::string path = serato ? seratoShippedPath[deck - 1] : this->deck(deck).path;
        if (!path.empty()) server->sendLoad(deck, path);
    };
    s.onRemoteLoad = [this, alive, &serverLog](int deck, const std::string& path) {
        if (!alive.lock() || deck < 1 || deck > 2) return;
        serverLog.info("deck {}: phone loads \"{}\"", deck, path);
        lastRemotePath[deck - 1] = path;
        loadDeck(deck, link::DeckFileServer::namedPath(path));
    };
    // Another host's logo, chunk by chunk; a complete one becomes ours without being shared on.
    s.onDJLogo = [this, alive](double generation, int index, int count, std::string_view chunk,
                               std::string_view sender) {
        main_.post([this, alive, generation, index, count, text = std::string(chunk), peer = std::string(sender)] {
            if (alive.lock()) takeLogoChunk(generation, index, count, text, peer);
        });
    };
    s.onPeerJoined = [&serverLog](const std::string& name) { serverLog.info("group peer \"{}\" joined", name); };
    wireGestures();
}

void HostState::wireGestures() {
    auto& s = *server;
    std::weak_ptr<int> alive = life_;
    std::weak_ptr<DeckFeeds> weak = feeds;
    s.onInstantDouble = [this, alive](int deck) {
        main_.post([this, alive, deck] {
            if (alive.lock()) seratoOut->instantDouble(deck);
        });
    };
    s.onLibGesture = [this, alive](int deck, const std::string& op, int count) {
        if (alive.lock()) seratoLibraryCommand(deck, op, count);
    };
    s.onBlink = [this, alive](int, int colour) {
        if (alive.lock()) assignBlinkColor(colour);
    };
    // Runs on the server queue while main may replace the players: only the player cell is read here.
    s.latencyProvider = [weak](int deck) -> double {
        auto f = weak.lock();
        auto p = f ? f->playerOf(deck) : nullptr;
        if (!p || !p->out) return 0.0;
        const double v = p->out->outLatency.value();
        return std::isfinite(v) ? v : 0.0;
    };
}

void HostState::seekDeck(DeckFeeds& f, int deck, double seconds, double now) {
    const double pos = std::max(0.0, seconds);
    const int i = deck - 1;
    f.integrators[i].seek(pos);
    {
        std::lock_guard g(f.rawFollow[i]->lock);
        f.rawFollow[i]->posSec = pos;
    }
    if (auto p = f.playerOf(deck)) {
        p->seek.request(pos);
        p->anchor.cell.write({pos, now, 0.0, true});
    }
}

void HostState::routeFrame(DeckFeeds& f, int deck, std::span<const link::OrvServer::FrameSample> samples, double now,
                           double rate, double pos) {
    if (deck < 1 || deck > 2 || samples.empty()) return;
    const int i = deck - 1;
    // One sample that is not a number would stick in every sum after it.
    size_t good = 0;
    for (const auto& smp : samples) good += finite({smp.angle, smp.ts}) ? 1 : 0;
    if (good == 0) return;
    if (!std::isfinite(rate)) rate = 0;
    if (!std::isfinite(pos)) pos = 0;
    const link::OrvServer::FrameSample* last = nullptr;
    f.wireDiag[i].cell.update([&](WireDiag::Shot& shot) {
        for (const auto& smp : samples) {
            if (!finite({smp.angle, smp.ts})) continue;
            if (shot.frameN > 0 || last) {
                const double prevAngle = last ? last->angle : shot.lastAngle;
                const double prevTs = last ? last->ts : shot.ts;
                if (smp.angle != prevAngle) ++shot.advN;
                if (smp.ts < prevTs) ++shot.tsBackN;
                shot.netRev += -(smp.angle - prevAngle) / kTwoPi;
            }
            last = &smp;
        }
        ++shot.frameN;
        shot.pos = pos;
        shot.rate = rate;
        shot.ts = last->ts;
        shot.lastAngle = last->angle;
    });

    if (bridged(f, deck)) {
        if (now - f.imuCell[i].read().lastWall < kFreshSec) return;  // the IMU road drives the deck
        // A frame holds a few samples; a small chunk keeps the per-frame clearing cheap.
        std::array<serato::SeratoEmit::Sample, 16> chunk;
        size_t n = 0;
        for (const auto& smp : samples) {
            if (!finite({smp.angle, smp.ts})) continue;
            chunk[n++] = {smp.angle, smp.ts};
            if (n == chunk.size()) {
                f.seratoOut->feed(deck, std::span(chunk.data(), n), rate, now);
                n = 0;
            }
        }
        if (n > 0) f.seratoOut->feed(deck, std::span(chunk.data(), n), rate, now);
        return;
    }
    f.imuCell[i].update([&](ImuState& st) {
        st.angle = last->angle;
        st.rate = rate;
        st.platterPlay = std::abs(rate) > kPlayingRate;
    });
    if (f.rawFollow[i]->drives(now)) return;
    auto player = f.playerOf(deck);
    if (!player) return;
    const auto r = f.integrators[i].cell.update([&](motion::AngleIntegrator::State& st) {
        for (const auto& smp : samples) {
            if (finite({smp.angle, smp.ts})) motion::AngleIntegrator::step(st, smp.angle, smp.ts);
        }
        return motion::AngleIntegrator::Result{st.posSec, st.rate};
    });
    if (!std::isfinite(r.posSec) || !std::isfinite(r.rate)) return;
    player->anchor.cell.write({r.posSec, now, r.rate, true});
}

void HostState::routeIMU(DeckFeeds& f, int deck, const link::OrvRemoteLink::IMUSample& smp, double now) {
    if (deck < 1 || deck > 2 || !finite({smp.yaw, smp.dmWz, smp.ts, smp.grip})) return;
    const int i = deck - 1;
    bool edge = false, play = false, engaged = false;
    double angle = 0, rate = 0;
    f.imuCell[i].update([&](ImuState& st) {
        st.angle = st.lastWall > 0 ? st.angle + fold(smp.yaw - st.angle) : smp.yaw;
        st.rate = -smp.dmWz * kSecPerRev / kTwoPi;
        st.engaged = smp.grip > 0.5;
        st.lastWall = now;
        play = std::abs(st.rate) > kPlayingRate;
        edge = !st.platterPlay || *st.platterPlay != play;
        st.platterPlay = play;
        angle = st.angle;
        rate = st.rate;
        engaged = st.engaged;
    });
    if (!bridged(f, deck)) return;
    if (edge) {
        f.seratoOut->transport(deck, play, "imu");
        f.hostMotor.set(deck, play);
    }
    if (play) f.seratoOut->pitch(deck, rate);
    const auto tw = f.tunnelCell[i].read().wall;  // a live tick stream drives the platter instead
    if (tw > 0 && now - tw < kFreshSec) return;
    f.seratoOut->drive(deck, engaged, angle, smp.ts, smp.dmWz);
}

void HostState::routeTunnel(DeckFeeds& f, int deck, int32_t epoch, std::span<const link::OrvServer::Tick> ticks,
                            double now) {
    if (deck < 1 || deck > 2 || ticks.empty()) return;
    std::array<link::OrvServer::Tick, 64> batch{};
    size_t n = 0;
    for (const auto& t : ticks) {
        if (n < batch.size() && std::isfinite(t.stamp)) batch[n++] = t;
    }
    if (n == 0) return;
    const double k = f.tunables.tunnelK.load(std::memory_order_relaxed);
    const double drain = f.tunables.tunnelJumpDrainSec.load(std::memory_order_relaxed);
    EmitPairs pairs;
    f.tunnelCell[deck - 1].update([&](TunnelState& st) {
        const bool fresh = st.wall <= 0 && st.resets == 0;
        if (fresh || epoch != st.epoch) {
            // A new stream (the phone restarted its counter): keep the host's position where it was.
            st.tun = motion::SeratoTunnel{};
            st.epoch = epoch;
            ++st.resets;
            st.guessRun = 0;
        }
        // The offset is taken with the first batch the tunnel accepts, which need not be the epoch's first.
        const bool first = !st.tun.nextSeq();
        st.tun.k = k;
        st.tun.jumpDrainSec = drain;
        if (!st.tun.ingest(std::span(batch.data(), n))) {
            ++st.late;
            return;
        }
        if (first) st.offset = st.hostCum - st.tun.sentCum();
        st.wall = now;
        st.guessRun = 0;
        for (int m = 0; m < kBatchDrainMax && st.tun.pending() > kBatchKeep; ++m) {
            const auto out = st.tun.next();
            if (!out) break;
            st.hostCum = st.tun.sentCum() + st.offset;
            st.lastOutWall = now;
            ++st.outs;
            if (out->guessed) ++st.guessed;
            if (out->jumped) ++st.jumped;
            pairs.push({st.hostCum, *out});
        }
    });
    f.pumpWake.notify();
    if (!pairs.empty() && bridged(f, deck)) emitTicks(f, deck, std::span(pairs.begin(), pairs.size()));
}

void HostState::routeBud(DeckFeeds& f, int deck, const link::OrvRemoteLink::IMUSample& smp, double now) {
    if (deck < 1 || deck > 2 || !finite({smp.yaw, smp.ts})) return;
    const int i = deck - 1;
    f.budWall[i].setValue(now);
    const auto& tun = f.tunables;
    const double grid = tun.budGridSec.load(std::memory_order_relaxed);
    const double lead = tun.budLeadSec.load(std::memory_order_relaxed);
    const double k = tun.tunnelK.load(std::memory_order_relaxed);
    const double drain = tun.tunnelJumpDrainSec.load(std::memory_order_relaxed);
    EmitPairs pairs;
    f.budUpCell[i].update([&](BudUpState& st) {
        const auto last = st.up.last();
        // The yaw unwrapped against the last sample's position.
        double yaw = smp.yaw;
        if (last) {
            const double prevYaw = last->cum / kTicksPerRev * -kTwoPi;
            yaw = prevYaw + fold(smp.yaw - prevYaw);
        }
        const double cum = yaw / -kTwoPi * kTicksPerRev;
        const double off = smp.ts - now;
        st.offMax = std::isfinite(st.offMax) ? std::max(st.offMax - kOffMaxDecay, off) : off;
        const bool restart = last && (smp.ts <= last->ts || smp.ts - last->ts > kBudResetGapSec ||
                                      (st.wall > 0 && now - st.wall > kFreshSec));
        if (restart) {
            st.up = motion::SeratoUpsampler(grid, lead);
            ++st.resets;
        }
        st.up.maxLead = lead;
        st.up.tun.k = k;
        st.up.tun.jumpDrainSec = drain;
        st.up.push(smp.ts, cum);
        st.wall = now;
        pairs = budUpDrain(st, now);
    });
    f.pumpWake.notify();
    if (!pairs.empty() && bridged(f, deck)) emitTicks(f, deck, std::span(pairs.begin(), pairs.size()));
}

void HostState::routeRaw(DeckFeeds& f, int deck, const link::OrvRemoteLink::RawMirror& raw, double now) {
    if (deck < 1 || deck > 2 || !finite({raw.yaw, raw.wz, raw.ts})) return;
    const int i = deck - 1;
    double yawRate = 0;
    f.placeCell[i].update([&](PlaceRecord& rec) {
        const double dt = now - rec.wall;
        if (std::isfinite(dt) && dt > 0) yawRate = fold(raw.yaw - rec.raw.yaw) / dt;
        rec.raw = raw;
        rec.wall = now;
    });
    f.placeYawRate[i].setValue(yawRate);

    auto& rf = *f.rawFollow[i];
    bool take = true;
    bool idle = false;
    f.rawTrack[i].update([&](RawTrack& t) {
        // Out of order is dropped; far behind means the phone's clock restarted.
        if (t.lastWall > 0 && raw.ts <= t.lastTs && raw.ts > t.lastTs - 5.0) {
            take = false;
            return;
        }
        idle = t.lastWall <= 0 || now - t.lastWall >= kFreshSec;
        t.lastTs = raw.ts;
        t.lastWall = now;
    });
    if (!take) return;
    // A stream that starts again picks the deck up where it plays.
    const auto player = idle ? f.playerOf(deck) : nullptr;
    const double playing = player ? std::max(0.0, player->posCell.value()) : 0.0;
    {
        std::lock_guard g(rf.lock);
        rf.lastWall = now;
        if (player) rf.posSec = playing;
    }
    const bool synth = raw.synthOn && std::isfinite(raw.synthOmega);
    {
        std::lock_guard g(rf.core.lock);
        rf.core.synthSpinOn = synth;
        rf.core.synthOmega = synth ? raw.synthOmega : 0.0;
        if (std::isfinite(raw.scaleK) && raw.scaleK > 0.97 && raw.scaleK < 1.03) rf.core.scaleK = raw.scaleK;
    }
    rf.core.feed(raw.wz, raw.ts);
    {
        std::lock_guard g(rf.core.lock);
        if (rf.core.synthSpinOn) rf.core.update(true, rf.core.synthOmega, raw.ts);
    }
    const auto step = rawAdvance(f, i);
    if (!bridged(f, deck)) anchorTo(f, deck, step.pos, now, step.speed);
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

// --- What the views read of the feeds ---

PlaceSnapshot HostState::place(int deck) const {
    if (deck < 1 || deck > 2) return {};
    const auto rec = feeds->placeCell[deck - 1].read();
    PlaceSnapshot s;
    s.raw = rec.raw;
    s.age = clock_.now() - rec.wall;
    s.fresh = s.age < 1.0;
    return s;
}

double HostState::remoteLastAngle(int deck) const {
    return deck == 1 || deck == 2 ? server->remoteLastAngle(deck) : 0.0;
}

double HostState::placeYawRate(int deck) const {
    return deck == 1 || deck == 2 ? feeds->placeYawRate[deck - 1].value() : 0.0;
}

DynamoSnapshot HostState::dynamo(int deck) const {
    if (deck < 1 || deck > 2) return {};
    const auto rec = feeds->dynamoCell[deck - 1].read();
    DynamoSnapshot s;
    s.frame = rec.frame;
    s.age = clock_.now() - rec.wall;
    s.live = s.age < 1.0;
    return s;
}

// --- The deck loader and the bridge (main) ---

bool HostState::isSeratoDeck(int deck) const {
    return (deck == 1 || deck == 2) && this->deck(deck).path.starts_with(kSeratoPrefix);
}

void HostState::setSeratoDeck(int deck, bool on) {
    if (deck < 1 || deck > 2) return;
    if (on && !isSeratoDeck(deck)) loadDeck(deck, kSeratoPath);
    if (!on && isSeratoDeck(deck)) leaveSeratoBridge(deck);
}

void HostState::loadDeck(int deck, const std::string& path) {
    if (deck < 1 || deck > 2 || path.empty()) return;
    if (path.starts_with(kSeratoPrefix)) {
        enterSeratoBridge(deck);
        return;
    }
    const int i = deck - 1;
    if (players.size() < 2 || !players[i]) {
        setStatus("Deck " + std::to_string(deck) + ": not ready to load \"" + stem(path) + "\"");
        return;
    }
    // A local track ends the bridge first: the deck's motion goes to its own player again.
    if (isSeratoDeck(deck) || seratoOut->isActive(deck)) leaveSeratoBridge(deck);
    auto& player = *players[i];
    const int gen = player.loadGen;
    player.load(path, config_, ownBase(), std::nullopt, motion::FollowPlayer::TrackHome::ThisHost);
    if (player.loadGen != gen) {
        // A new track starts at its start: the followers, the player and the screen all go back to 0, so that
        // a running hold or a standalone start goes on from 0:00 of the new track, not from the old position.
        seekDeck(*feeds, deck, 0, clock_.now());
        player.posCell.setValue(0);
    }
    assignDeckEnv(deck, nullptr);
    assignDeckMarks(deck, nullptr);
    DeckInfo d = this->deck(deck);
    d.path = path;
    d.name = stem(path);
    d.durationSec = 0;
    d.posSec = 0;
    assignDeck(deck, d);
    saveDeckMode(deck, "plindo");
    loadDeckCover(deck, path);
}

void HostState::onTrackDecoded(int deck, motion::StemRef stemRef, const std::string& path) {
    if (!stemRef || this->deck(deck).path != path) return;
    DeckInfo d = this->deck(deck);
    d.durationSec = stemRef->seconds();
    assignDeck(deck, d);
    std::weak_ptr<int> alive = life_;
    std::weak_ptr<DeckFeeds> weak = feeds;
    envelopeQueue_->post([this, alive, weak, deck, stemRef, path]() mutable {
        // A track that has left the deck's player is not analysed on: its buffer goes back at once. Nor is
        // one whose host is going: a long track's analysis must not hold up the exit.
        const auto onDeck = [&] {
            if (alive.expired()) return false;
            auto f = weak.lock();
            auto p = f ? f->playerOf(deck) : nullptr;
            return p && p->table.read() == stemRef;
        };
        const size_t n = stemRef->frames();
        library::PeakEnvelopeBuilder builder(n, stemRef->sampleRate, path);
        const auto block = static_cast<size_t>(std::max(1.0, stemRef->sampleRate * kEnvelopeBlockSec));
        bool dropped = false;
        for (size_t at = 0; at < n && !dropped; at += block) {
            dropped = !onDeck();
            if (dropped) break;
            const size_t len = std::min(block, n - at);
            builder.add(std::span(stemRef->left).subspan(at, len), std::span(stemRef->right).subspan(at, len));
        }
        dropped = dropped || !onDeck();
        auto env = dropped ? nullptr : std::make_shared<const library::PeakEnvelope>(builder.finish());
        stemRef.reset();
        platform::returnFreedMemory();  // the analysis' work memory, and the track if it was the last hold
        if (!env) return;
        std::shared_ptr<const library::SeratoFileMeta> marks;
        if (auto m = library::SeratoFileMeta::read(path)) marks = std::make_shared<const library::SeratoFileMeta>(*m);
        main_.post([this, alive, deck, path, env, marks] {
            if (!alive.lock() || this->deck(deck).path != path) return;  // the deck moved on meanwhile
            assignDeckEnv(deck, env);
            assignDeckMarks(deck, marks);
        });
    });
}

void HostState::resetDeck(int deck, const std::string& path, const std::string& name) {
    const int i = deck - 1;
    if (i < static_cast<int>(players.size()) && players[i]) players[i]->unload();
    assignDeckEnv(deck, nullptr);
    assignDeckMarks(deck, nullptr);
    DeckInfo d = this->deck(deck);
    d.path = path;
    d.name = name;
    d.durationSec = 0;
    d.posSec = 0;
    d.rate = 0;
    d.cover = QImage();
    assignDeck(deck, d);
}

void HostState::enterSeratoBridge(int deck) {
    const int i = deck - 1;
    settings_.setValue(slotKey("deck.mode.slot", deck), "serato");
    seratoTap->resetAnnounced();
    seratoOut->setActive(deck, true);
    seratoLastDummySlot = deck;
    resetDeck(deck, kSeratoPath, "Serato");
    seratoShippedPath[i].clear();
    lastRemotePath[i].clear();
    settings_.remove(slotKey("serato.lastPath.slot", deck));
    server->sendLoad(deck, "");
    setStatus("Deck " + std::to_string(deck) + " \u2192 Serato (serato bridge)");
    if (!seratoLastPath[i].empty() && seratoOut->isActive(deck)) {
        const std::string last = seratoLastPath[i];
        applySeratoBridge(deck, last, std::filesystem::path(last).filename().string());
    }
}

void HostState::leaveSeratoBridge(int deck) {
    if (deck < 1 || deck > 2) return;
    const int i = deck - 1;
    if (!isSeratoDeck(deck)) {
        if (seratoOut->isActive(deck)) {
            seratoOut->setActive(deck, false);
            hostMotor.set(deck, false);
            seratoShippedPath[i].clear();
        }
        return;
    }
    settings_.setValue(slotKey("deck.mode.slot", deck), "plindo");
    seratoOut->setActive(deck, false);
    hostMotor.set(deck, false);
    seratoShippedPath[i].clear();
    resetDeck(deck, "", "");
    server->sendLoad(deck, "");
    setStatus("Deck " + std::to_string(deck) + ": Bruecke verlassen \u2014 Plindo");
}

void HostState::applySeratoBridge(int deck, const std::string& path, const std::string& fileName) {
    if (deck < 1 || deck > 2) return;
    seratoShippedPath[deck - 1] = path;
    settings_.setValue(slotKey("serato.lastPath.slot", deck), path);
    DeckInfo d = this->deck(deck);
    d.name = stem(fileName);
    assignDeck(deck, d);
    loadDeckCover(deck, path);
    // The phone reads the cues from the file's own markers.
    server->sendLoad(deck, path);
}

void HostState::detectSerato() {
    for (int deck = 1; deck <= 2; ++deck) {
        if (!isSeratoDeck(deck)) continue;
        if (settings_.boolValue(slotKey("deck.mode.manual.slot", deck)).value_or(false)) continue;
        leaveSeratoBridge(deck);
    }
}

library::CoverStore& HostState::coverStore() {
    // Bytes that only start like an image are no cover. The store is the controller's, not the process-wide
    // one: that one keeps its first caller's executor for good, and a retry firing after the controller's
    // executor has gone would post to nothing.
    if (!coverStore_) {
        coverStore_ = std::make_unique<library::CoverStore>(library::CoverStore::Options{
            .main = main_, .readArtwork = {}, .retryDelaySec = 3.0, .decodes = [](std::span<const uint8_t> bytes) {
                QImage img;
                return img.loadFromData(bytes.data(), static_cast<int>(bytes.size()));
            }});
    }
    return *coverStore_;
}

void HostState::loadDeckCover(int deck, const std::string& path) {
    if (deck < 1 || deck > 2 || path.empty()) return;
    auto& store = coverStore();
    // The card drops the old cover at once; the new one follows once decoded.
    DeckInfo d = this->deck(deck);
    d.cover = QImage();
    assignDeck(deck, d);
    if (auto bytes = store.cached(path)) return showCover(deck, path, std::move(bytes));
    std::optional<std::string> file;
    std::error_code ec;
    if (path.starts_with("/") && std::filesystem::exists(path, ec)) file = path;
    std::weak_ptr<int> alive = life_;
    store.request(path, config_.coverArtURL(path), file, 0,
                  [this, alive, deck, path](library::CoverStore::Image bytes) {
                      if (alive.lock()) showCover(deck, path, std::move(bytes));
                  });
}

void HostState::showCover(int deck, const std::string& path, library::CoverStore::Image bytes) {
    if (!bytes) return;
    // A large embedded picture takes a while to decode: never on main.
    std::weak_ptr<int> alive = life_;
    platform::MainExecutor& main = main_;
    libraryQueue_->post([this, alive, &main, deck, path, bytes = std::move(bytes)] {
        QImage img;
        if (!img.loadFromData(bytes->data(), static_cast<int>(bytes->size()))) return;
        main.post([this, alive, deck, path, img = std::move(img)] {
            if (!alive.lock()) return;
            // A cover for the deck's previous track is dropped; a bridged deck is matched by its shipped track.
            if (this->deck(deck).path != path && seratoShippedPath[deck - 1] != path) return;
            DeckInfo now = this->deck(deck);
            now.cover = img;
            assignDeck(deck, now);
        });
    });
}

void HostState::restoreDecks() {
    for (int deck = 1; deck <= 2; ++deck) {
        if (auto last = settings_.stringValue(slotKey("serato.lastPath.slot", deck))) seratoLastPath[deck - 1] = *last;
        if (settings_.stringValue(slotKey("deck.mode.slot", deck)).value_or("") == "serato") loadDeck(deck, kSeratoPath);
    }
}

}  // namespace plindo::host
