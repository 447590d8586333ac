// What the DJ application reports back about its decks, through the MIDI input and the screen tap. Every
// value is stored per deck on main; the phone hears of it only while the deck's emitter is active. The deck
// and slot numbers come from the wire unchecked, so each handler checks them before it indexes anything.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include <cmath>
#include <filesystem>

namespace plindo::host {

namespace {
using StartStop = serato::SeratoMIDIIn::StartStop;

// A tap time that moved this close to the media clock counts as the deck playing on.
constexpr double kTapPlausibleSec = 0.25;
// Tap times in a row that must advance with the clock before the phone gets them.
constexpr int kTapPlausibleRun = 3;
constexpr double kPhonePushSec = 0.1;

bool validDeck(int deck) { return deck == 1 || deck == 2; }
bool validSlot(int slot) { return slot >= 0 && slot < 8; }
}  // namespace

void HostState::wireSeratoFeedback() {
    auto& in = *seratoIn;
    // The input posts these to main itself.
    in.onTime = [this](int deck, double sec) { seratoTime(deck, sec); };
    in.onStartStop = [this](int deck, StartStop s) {
        seratoStartStop(deck, s == StartStop::start || s == StartStop::instantStart);
    };
    in.onPath = [this](int deck, const std::string& path) { seratoPathReported(deck, path); };
    in.onSongChanged = [this](int deck) { seratoSongChanged(deck); };
    in.onPitch = [this](int deck, double pitch) { seratoPitch(deck, pitch); };
    in.onMute = [this](int deck, bool on) { seratoMute(deck, on); };
    in.onScreenWave = [this](const serato::SeratoReturn::ScreenWave& w) { seratoScreenWave(w); };
    in.onCueSet = [this](int deck, int slot, bool set, int) { seratoCueSetReported(deck, slot, set); };
    in.onCueColor = [this](int deck, int slot, const std::string& hex) { seratoCueColorReported(deck, slot, hex); };
    in.onCueTime = [this](int deck, int slot, double sec) { seratoCueTimeReported(deck, slot, sec); };
    in.onText = [this](int deck, int slot, const std::string& text) { seratoTextReported(deck, slot, text); };
    in.onProgress = [this](int deck, double progress) { seratoProgressReported(deck, progress); };

    std::weak_ptr<int> alive = life_;
    // The tap's time arrives on its spy thread: it hops to main before it touches anything.
    seratoTap->onTime = [this, alive](int deckIndex, double sec, double vel) {
        main_.post([this, alive, deckIndex, sec, vel] {
            if (alive.lock()) seratoTapTime(deckIndex, sec, vel);
        });
    };
    // Posted to main by the tap, which may run after the controller has gone.
    seratoTap->onTrack = [this, alive](int deckIndex, const std::string& title, const std::string& artist) {
        if (alive.lock()) seratoTapTrack(deckIndex, title, artist);
    };
}

void HostState::seratoTime(int deck, double sec) {
    if (!validDeck(deck) || !std::isfinite(sec)) return;
    seratoLastSec[deck - 1] = sec;
}

void HostState::seratoTapTime(int deckIndex, double sec, double vel) {
    if (deckIndex < 0 || deckIndex > 1 || !std::isfinite(sec)) return;
    const int i = deckIndex;
    const int deck = i + 1;
    const double now = clock_.now();
    const double dWall = now - seratoTapWall[i];
    const double dSec = sec - seratoLastSec[i];
    const bool seen = seratoTapWall[i] > 0 && std::isfinite(seratoLastSec[i]) && dWall > 0;
    if (seen && std::abs(dSec - dWall) <= kTapPlausibleSec) {
        ++seratoTapPlausible[i];
    } else {
        seratoTapPlausible[i] = 0;
    }
    seratoTapRate[i] = seen ? dSec / dWall : 0.0;
    seratoLastSec[i] = sec;
    seratoTapWall[i] = now;
    if (!seratoOut->isActive(deck) || seratoTapPlausible[i] < kTapPlausibleRun) return;
    if (now - seratoPhoneWall[i] < kPhonePushSec) return;
    seratoPhoneWall[i] = now;
    server->sendPlayhead(deck, sec, 1, std::isfinite(vel) ? vel : seratoTapRate[i]);
    feeds->imuCell[i].update([](ImuState& st) { ++st.hpSent; });
}

void HostState::seratoTapTrack(int deckIndex, const std::string& title, const std::string& artist) {
    if (deckIndex < 0 || deckIndex > 1) return;
    const int deck = deckIndex + 1;
    if (!seratoOut->isActive(deck)) return;
    if (const auto t = seratoLibrary_.track(title, artist, "")) {
        applySeratoBridge(deck, t->path, std::filesystem::path(t->path).filename().string());
        return;
    }
    DeckInfo d = this->deck(deck);
    d.name = artist + " - " + title;
    assignDeck(deck, d);
}

void HostState::seratoStartStop(int deck, bool playing) {
    if (!validDeck(deck)) return;
    seratoPlaying[deck - 1] = playing;
    hostMotor.set(deck, playing);
    if (seratoOut->isActive(deck)) server->sendPlay(deck, playing);
}

void HostState::seratoPathReported(int deck, const std::string& path) {
    if (!validDeck(deck)) return;
    seratoLastPath[deck - 1] = path;
    if (seratoOut->isActive(deck)) applySeratoBridge(deck, path, std::filesystem::path(path).filename().string());
}

void HostState::seratoSongChanged(int deck) {
    if (!validDeck(deck)) return;
    const int i = deck - 1;
    seratoCueSet[i].fill(false);
    seratoCueSec[i].fill(0);
    for (auto& c : seratoCueColor[i]) c.clear();
    seratoLastSec[i] = kNaN;
}

void HostState::seratoPitch(int deck, double pitch) {
    if (!validDeck(deck) || !std::isfinite(pitch) || !seratoOut->isActive(deck)) return;
    server->sendPitch(deck, pitch, outSettings_.pitchRangePercent.load());
}

void HostState::seratoMute(int deck, bool on) {
    if (validDeck(deck) && seratoOut->isActive(deck)) server->sendMuteInfo(deck, on);
}

void HostState::seratoScreenWave(const serato::SeratoReturn::ScreenWave& wave) {
    if (wave.deck < 0 || wave.deck > 1) return;
    const int deck = wave.deck + 1;
    if (!seratoOut->isActive(deck)) return;
    const auto cols = wave.columns();
    server->sendScreenWave(deck, static_cast<int32_t>(std::min<uint32_t>(wave.offsetMs, INT32_MAX)), cols);
}

void HostState::seratoCueSetReported(int deck, int slot, bool set) {
    if (validDeck(deck) && validSlot(slot)) seratoCueSet[deck - 1][slot] = set;
}

void HostState::seratoCueColorReported(int deck, int slot, const std::string& hex) {
    if (validDeck(deck) && validSlot(slot)) seratoCueColor[deck - 1][slot] = hex;
}

void HostState::seratoCueTimeReported(int deck, int slot, double sec) {
    if (validDeck(deck) && validSlot(slot) && std::isfinite(sec)) seratoCueSec[deck - 1][slot] = sec;
}

void HostState::seratoTextReported(int deck, int slot, const std::string& text) {
    if (validDeck(deck) && validSlot(slot)) seratoText[deck - 1][slot] = text;
}

void HostState::seratoProgressReported(int deck, double progress) {
    if (validDeck(deck) && std::isfinite(progress)) seratoProgress[deck - 1] = progress;
}

}  // namespace plindo::host
