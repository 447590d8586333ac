// The controller's timers on main: the 0.1 s interface tick, the 1 s check whether the DJ application runs
// and the 0.5 s watch on its MIDI mapping folder.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "platform/log.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>

namespace plindo::host {

namespace {
using link::OSCValue;

constexpr int kTicksPerSecond = 10;
constexpr int kAnchorEveryTicks = 3;
// The screen tap's time went quiet this long: the phone gets the last known time instead.
constexpr double kTapSilentSec = 0.3;
// At most ten playheads a second to a phone.
constexpr double kPhonePushSec = 0.1;
constexpr double kRemoteFreshSec = 0.6;
constexpr double kBudAliveSec = 1.0;
constexpr double kImuFreshSec = 0.5;
// A deck the DJ application played within this long still counts as bridged.
constexpr double kOwnHoldSec = 1.5;
// A platter slower than this had stopped when its spinner left.
constexpr double kHoldMinRate = 0.05;
constexpr double kStuckAfterSec = 12.0;
constexpr double kSecPerTurn = 1.8;
// 33 1/3 rpm: one turn per 1.8 s, the angle falling as the platter turns forward.
constexpr double kStandaloneOmega = -2 * std::numbers::pi / kSecPerTurn;
constexpr double kLeaveTimerSec = 0.1;
// A phone deck counts as playing above this rate.
constexpr double kPlayingRate = 0.1;

std::string deckText(int deck) { return "Deck " + std::to_string(deck); }

std::optional<int64_t> mtimeNs(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}
}  // namespace

void HostState::uiTick() {
    const double now = clock_.now();
    // Buffers the players let go of are freed here, on main.
    for (const auto& p : players) {
        if (p) p->collectRetired();
    }
    releaseRetiredPlayers();

    // While the screen tap is silent, the phone keeps getting the last time the DJ application told.
    for (int deck = 1; deck <= 2; ++deck) {
        const int i = deck - 1;
        if (!std::isfinite(seratoLastSec[i]) || !seratoOut->isActive(deck)) continue;
        if (now - seratoTapWall[i] < kTapSilentSec || now - seratoPhoneWall[i] < kPhonePushSec) continue;
        seratoTapPlausible[i] = 0;
        seratoTapRate[i] = 0;
        seratoPhoneWall[i] = now;
        server->sendPlayhead(deck, seratoLastSec[i], 1, 0.0);
        feeds->imuCell[i].update([](ImuState& st) { ++st.hpSent; });
    }

    const double gate = config_.stillGate();
    for (const auto& p : players) {
        if (p) p->stillGate.setValue(gate);
    }

    ++groupBcastTick;
    const bool everySecond = groupBcastTick % kTicksPerSecond == 0;
    if (everySecond) sendDeckModes();
    groupTick(clock_.now(), everySecond);

    for (int deck = 1; deck <= 2; ++deck) {
        DeckInfo d = this->deck(deck);
        d.standalone = server->remoteMode(deck) == "standalone";
        d.remoteFresh = server->isRemoteFresh(deck, kRemoteFreshSec);
        d.remoteName = server->remoteName(deck);
        d.jitterMs = server->remoteJitterMs(deck);
        d.maxGapMs = server->remoteMaxGapMs(deck);
        d.via = server->remoteVia(deck);
        d.wavOk = server->remoteWavOk(deck);
        if (players.size() == 2 && players[0] && players[1]) superviseDeck(deck, d, now);

        const int i = deck - 1;
        const auto shot = feeds->wireDiag[i].cell.read();
        d.wirePos = shot.pos;
        d.lastFrameAngle = shot.lastAngle;
        d.wireRate = shot.rate;
        if (!seratoOut->isActive(deck)) {
            d.seratoPlay = std::nullopt;
        } else {
            const auto imu = feeds->imuCell[i].read();
            d.rate = clock_.now() - imu.lastWall < kImuFreshSec ? imu.rate : 0.0;
            d.seratoPlay = hostMotor.isOn(deck);
        }
        d.frameN = shot.frameN;
        d.angleAdvN = shot.advN;
        d.angNetRev = shot.netRev;
        d.tsBackN = shot.tsBackN;
        d.wireTs = shot.ts;
        assignDeck(deck, d);
        checkStuck(deck);
    }
}

// Who drives the deck: the phone, the earbuds, the host alone or the DJ application.
void HostState::superviseDeck(int deck, DeckInfo& d, double now) {
    const int i = deck - 1;
    if (seratoOut->isActive(deck) && seratoPlaying[i]) seratoOwnWall[i] = clock_.now();
    if (!isSeratoDeck(deck) && seratoOut->isActive(deck)) {
        seratoOut->setActive(deck, false);
        hostMotor.set(deck, false);
        seratoShippedPath[i].clear();
        setStatus("Deck " + std::to_string(deck) + ": Serato emitter was still on with a real track \u2014 off");
    }
    const bool bridged =
        isSeratoDeck(deck) || (seratoOut->isActive(deck) && clock_.now() - seratoOwnWall[i] < kOwnHoldSec);
    if (bridgedWas[i] && !bridged) {
        // The host's own following resumes where the display stood.
        const double p = std::isfinite(d.posSec) ? std::max(0.0, d.posSec) : 0.0;
        auto& rf = *feeds->rawFollow[i];
        {
            std::lock_guard g(rf.lock);
            rf.posSec = p;
        }
        feeds->integrators[i].cell.update([p](motion::AngleIntegrator::State& st) {
            st.posSec = p;
            st.primed = false;
        });
    }
    bridgedWas[i] = bridged;

    const double budAge = now - feeds->budWall[i].value();
    const bool budFresh = budAge < kBudAliveSec;
    // A standalone run ends when a phone or the earbuds take over, or when the DJ application has the deck.
    if (hostStandalone[i] && (d.remoteFresh || budFresh || bridged)) {
        hostStandalone[i] = false;
        stopStandalone(deck);
        feeds->rawFollow[i]->setRawSynth(0, true);
    }

    // A bridged deck may be driven by tick batches alone: they are its phone's feed as much as frames are.
    double tickWall = 0;
    if (bridged) feeds->tunnelCell[i].update([&](TunnelState& st) { tickWall = st.wall; });
    const bool ticksFresh = tickWall > 0 && now - tickWall < kRemoteFreshSec;
    const bool alive = ((d.remoteFresh || ticksFresh) && feeds->phoneSynthCell[i].value() < 0.5) || budFresh;
    outSettings_.engaged[i] = alive;
    if (!alive && !hostStandalone[i] && seratoOut->isActive(deck)) {
        if (!withdrawn[i]) {
            withdrawn[i] = true;
            withdrawDeck(deck);
        }
        if (leaveTimer[i]) endSpinnerHold(deck);
    } else {
        if (alive) withdrawn[i] = false;
        if (d.remoteFresh || budFresh || hostStandalone[i]) {
            if (leaveTimer[i]) endSpinnerHold(deck);
        } else if (!leaveTimer[i]) {
            const auto imu = feeds->imuCell[i].read();
            if (!imu.platterPlay.value_or(false) || !(std::abs(imu.rate) > kHoldMinRate)) {
                auto& core = feeds->rawFollow[i]->core;
                bool spinning = false;
                {
                    std::lock_guard g(core.lock);
                    spinning = core.synthSpinOn;
                }
                if (spinning) {
                    feeds->rawFollow[i]->setRawSynth(0, true);
                    setStatus("Deck " + std::to_string(deck) + ": spinner gone, was stopped \u2014 stays stopped");
                }
            } else {
                startSpinnerHold(deck, imu.rate, imu.angle);
            }
        }
    }

    auto& p = *players[i];
    const auto stem = p.table.read();
    const double duration = stem ? stem->seconds() : 0.0;
    if (leaveTimer[i] && duration > 0) endHoldOffTrack(deck, duration);
    const bool playing = d.remoteFresh || d.standalone || hostStandalone[i] || budFresh || leaveTimer[i];
    p.mute.setValue(groupMuted() || !playing || bridged ? 1.0 : 0.0);
    p.easeOn.setValue(config_.followEase() ? 1.0 : 0.0);
    if (!bridged) {
        d.posSec = p.posCell.value();
        d.rate = p.rateCell.value();
    }
    d.durationSec = duration;
}

void HostState::sendDeckModes() {
    for (int deck = 1; deck <= 2; ++deck) {
        const OSCValue args[] = {OSCValue::int32(deck), OSCValue::string(isSeratoDeck(deck) ? "serato" : "")};
        server->sendToDeck(deck, "/orv/deckmode", args);
    }
}

void HostState::broadcastOtherAnchors() {
    if (++otherAnchorTick % kAnchorEveryTicks != 0) return;
    if (players.size() != 2) return;
    const double now = clock_.now();
    for (int d = 1; d <= 2; ++d) {
        const int o = 3 - d;
        const int j = o - 1;
        const auto p = feeds->playerOf(o);
        if (!p) continue;
        const auto snap = p->anchor.cell.read();
        if (!snap.valid) continue;
        const std::string& path = isSeratoDeck(o) ? seratoShippedPath[j] : deck(o).path;
        double pos = snap.pos + (now - snap.wall) * snap.rate;
        if (!(pos >= 0)) pos = 0;  // negative or not a number
        const OSCValue args[] = {OSCValue::int32(o), OSCValue::string(path), OSCValue::float64(pos),
                                 OSCValue::float64(snap.rate)};
        server->sendToDeck(d, "/orv/other", args);
    }
}

void HostState::checkStuck(int deck) {
    if (deck < 1 || deck > 2) return;
    const int i = deck - 1;
    const double now = clock_.now();
    const auto reset = [&] {
        stuckSince[i] = 0;
        stuckTold[i] = false;
    };
    const DeckInfo& d = this->deck(deck);
    if (!d.remoteFresh || players.size() != 2 || !players[i] || seratoOut->isActive(deck)) return reset();
    const auto stem = players[i]->table.read();
    if ((stem ? stem->seconds() : 0.0) > 0 || d.path.empty()) return reset();
    if (stuckSince[i] == 0) {
        stuckSince[i] = now;
        return;
    }
    if (now - stuckSince[i] < kStuckAfterSec || stuckTold[i]) return;
    stuckTold[i] = true;
    server->sendStuck(deck, "host " + std::to_string(link::OrvServer::kHostBuild) + " has no audio for " + d.path +
                                " \u2014 fetch or decode failed");
    setStatus("Plindo: deck " + std::to_string(deck) + " stuck at 0:00 \u2014 told the remote");
}

void HostState::presenceCheck() { applyPresence(isSeratoRunning()); }

void HostState::applyPresence(bool running) {
    seratoRunning_ = running;
    if (running != seratoSeen_) {
        seratoSeen_ = running;
        mappingOfferedThisRun_ = false;  // a new run may offer the mapping again
        platform::logger("host").info("Serato {}", running ? "running" : "gone");
        if (!running) detectSerato();
    }
}

void HostState::mappingWatch() {
    const auto folder = seratoLibrary_.root() / "MIDI" / "Xml";
    // The DJ application rewrites its auto-save file when it reloads a mapping: the decks it drives then
    // need their initialisation again. The first sight of the file is only remembered.
    const auto stamp = mtimeNs(folder / "AUTO_SAVE.xml");
    if (stamp) {
        if (autoSaveStamp_ && *autoSaveStamp_ != *stamp) seratoOut->reinitActiveDecks();
        autoSaveStamp_ = stamp;
    }
    if (seratoRunning_ && !mappingOfferedThisRun_) {
        std::error_code ec;
        if (!std::filesystem::exists(folder / "Plindo.xml", ec)) {
            mappingOfferedThisRun_ = true;
            assignMappingOffer(true);
            setStatus("Serato mapping Plindo.xml not installed \u2014 Settings \u2192 Save Serato mapping\u2026");
        }
    }
}

// --- Transport and standalone play ---

void HostState::transportButton(int deck) {
    if (deck < 1 || deck > 2) return;
    const int i = deck - 1;
    const bool fresh = server->isRemoteFresh(deck, kRemoteFreshSec);
    const bool budFresh = clock_.now() - feeds->budWall[i].value() < kBudAliveSec;
    // The DJ application plays a bridged deck itself: its transport is all the button sends.
    if (isSeratoDeck(deck)) {
        const bool on = !hostMotor.isOn(deck);
        hostMotor.set(deck, on);
        seratoOut->transport(deck, on, "button");
        if (fresh) server->sendPlay(deck, on);
        setStatus(deckText(deck) + ": Serato " + (on ? "play" : "stop"));
    } else if (fresh && !isSeratoDeck(deck)) {
        const bool playing = std::abs(this->deck(deck).rate) > kPlayingRate;
        server->sendPlay(deck, !playing);
        setStatus(deckText(deck) + ": phone " + (playing ? "stop" : "play"));
    } else if (budFresh && !isSeratoDeck(deck)) {
        setStatus(deckText(deck) + ": AirPod drives \u2014 the platter is the transport");
    } else if (hostStandalone[i]) {
        stopStandalone(deck);
        forgetPlatter(deck);
    } else {
        startStandalone(deck);
    }
}

void HostState::startStandalone(int deck) {
    if (deck < 1 || deck > 2 || hostStandalone[deck - 1] || isSeratoDeck(deck)) return;
    const int i = deck - 1;
    startGlide(deck);
    feeds->rawFollow[i]->setRawSynth(kStandaloneOmega, false);
    hostStandalone[i] = true;
    setStatus(deckText(deck) + ": standalone 33\u2153");
}

void HostState::stopStandalone(int deck) {
    if (deck < 1 || deck > 2) return;
    const int i = deck - 1;
    if (!leaveTimer[i]) feeds->rawFollow[i]->setRawSynth(0, true);
    hostStandalone[i] = false;
    setStatus(deckText(deck) + ": standalone off");
}

// --- A feed that went away ---

void HostState::withdrawDeck(int deck) {
    if (deck < 1 || deck > 2) return;
    const auto imu = feeds->imuCell[deck - 1].read();
    char line[160];
    if (imu.platterPlay.value_or(false)) {
        std::snprintf(line, sizeof line, "Deck %d: Remote weg \u2014 letzter valider Zustand: spielt %.3fx, dann Ruhe",
                      deck, std::isfinite(imu.rate) ? imu.rate : 0.0);
    } else {
        std::snprintf(line, sizeof line, "Deck %d: Remote weg \u2014 letzter valider Zustand: steht, dann Ruhe", deck);
    }
    setStatus(line);
    seratoOut->sendRest(deck);
}

void HostState::startSpinnerHold(int deck, double rate, double angle) {
    (void)angle;  // the glide goes on from where the deck plays, not from the platter's angle
    if (deck < 1 || deck > 2 || !std::isfinite(rate) || seratoOut->isActive(deck)) return;
    const int i = deck - 1;
    // The hold carries the platter's last motion on; read again later, it would start the hold once more.
    forgetPlatter(deck);
    startGlide(deck);
    const double omega = -rate * 2 * std::numbers::pi / kSecPerTurn;
    feeds->rawFollow[i]->setRawSynth(omega, false);
    armLeaveTimer(deck, omega);
    char line[96];
    std::snprintf(line, sizeof line, "Deck %d: spinner gone \u2014 holding %.2fx", deck, rate);
    setStatus(line);
}

// A glide (a hold, or standalone play) starts where the deck plays now, and its first synthetic step measures
// from here, not from the last step of an earlier glide.
void HostState::startGlide(int deck) {
    const int i = deck - 1;
    const double from = playingAt(deck);
    auto& rf = *feeds->rawFollow[i];
    feeds->rawTrack[i].update([&](RawTrack& t) {
        t.angleKnown = false;
        std::lock_guard g(rf.lock);
        rf.posSec = from;
    });
}

// Where the deck's player stands now, as an anchor position: the player plays the anchor its output latency
// ahead. The card's position is a tick old; without a player it is all there is.
double HostState::playingAt(int deck) const {
    const int i = deck - 1;
    double pos = this->deck(deck).posSec;
    if (i < static_cast<int>(players.size()) && players[i]) {
        const auto& p = *players[i];
        const double latency = p.out ? p.out->outLatency.value() : 0.0;
        pos = p.posCell.value() - (std::isfinite(latency) ? latency : 0.0);
    }
    return std::isfinite(pos) ? std::max(0.0, pos) : 0.0;
}

void HostState::armLeaveTimer(int deck, double omega) {
    const int i = deck - 1;
    if (leaveTimer[i]) leaveTimer[i]->cancel();
    std::weak_ptr<int> alive = life_;
    // The synthesis waits while raw samples are fresh; asking again each 0.1 s starts it once they stop.
    leaveTimer[i] = main_.schedule(kLeaveTimerSec, [this, alive, deck, omega, i] {
        if (!alive.lock() || !leaveTimer[i] || leaveTimer[i]->cancelled()) return;
        feeds->rawFollow[i]->setRawSynth(omega, false);
        armLeaveTimer(deck, omega);
    });
}

// A hold glides on only within the track: past its end (or, turning backwards, at its start) the glide stops
// and the deck rests there.
void HostState::endHoldOffTrack(int deck, double duration) {
    const int i = deck - 1;
    auto& rf = *feeds->rawFollow[i];
    double pos = 0;
    {
        std::lock_guard g(rf.lock);
        pos = rf.posSec;
    }
    double omega = 0;
    {
        std::lock_guard g(rf.core.lock);
        omega = rf.core.synthOmega;
    }
    const bool atEnd = omega < 0 && pos >= duration;  // a falling angle plays forward
    const bool atStart = omega > 0 && pos <= 0;
    if (!atEnd && !atStart) return;
    leaveTimer[i]->cancel();
    leaveTimer[i].reset();
    rf.setRawSynth(0, true);
    setStatus(deckText(deck) + ": spinner hold reached the " + (atEnd ? "end" : "start") +
              " of the track \u2014 stopped");
}

// The platter state a gone phone left behind: no longer what the platter does.
void HostState::forgetPlatter(int deck) {
    feeds->imuCell[deck - 1].update([](ImuState& st) {
        st.platterPlay.reset();
        st.rate = 0;
    });
}

void HostState::endSpinnerHold(int deck) {
    if (deck < 1 || deck > 2) return;
    const int i = deck - 1;
    if (leaveTimer[i]) leaveTimer[i]->cancel();
    leaveTimer[i].reset();
    if (!hostStandalone[i]) feeds->rawFollow[i]->setRawSynth(0, true);
    setStatus(deckText(deck) + ": spinner back \u2014 following it");
}

std::optional<std::vector<SeratoCueRow>> HostState::seratoCueRows(int deck) const {
    static const char* const kDefaultColours[8] = {"#CC0000", "#CC4400", "#0000CC", "#CCCC00",
                                                   "#00CC00", "#CC00CC", "#00CCCC", "#8800CC"};
    if (deck < 1 || deck > 2 || !seratoOut->isActive(deck)) return std::nullopt;
    const int i = deck - 1;
    std::vector<SeratoCueRow> rows;
    for (int slot = 0; slot < 8; ++slot) {
        if (!seratoCueSet[i][slot]) continue;
        const auto& c = seratoCueColor[i][slot];
        rows.push_back({slot, seratoCueSec[i][slot], c.empty() ? kDefaultColours[slot] : c});
    }
    if (rows.empty()) return std::nullopt;
    return rows;
}

}  // namespace plindo::host
