// The controller's timers on main: the 0.1 s interface tick, the 1 s check whether the DJ application runs
// and the 0.5 s watch on its MIDI mapping folder.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "platform/log.h"

#include <sys/stat.h>

#include <filesystem>

namespace plindo::host {

namespace {
std::optional<int64_t> mtimeNs(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}
}  // namespace

void HostState::uiTick() {
    // The follow-ease toggle acts while playing; buffers the players let go of are freed here, on main.
    const double ease = config_.followEase() ? 1.0 : 0.0;
    for (const auto& p : players) {
        if (!p) continue;
        p->easeOn.setValue(ease);
        p->collectRetired();
    }
    releaseRetiredPlayers();
    refreshDecks();
}

void HostState::refreshDecks() {
    for (int deck = 1; deck <= 2; ++deck) {
        const auto p = deck <= static_cast<int>(players.size()) ? players[deck - 1] : nullptr;
        if (!p) continue;
        DeckInfo d = this->deck(deck);
        d.posSec = p->posCell.value();
        d.rate = p->rateCell.value();
        assignDeck(deck, d);
    }
}

void HostState::presenceCheck() {
    const bool running = isSeratoRunning();
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

}  // namespace plindo::host
