// The DJ application's library browser on the phones: what its screen and the MIDI input report, the
// debounced push of "/orv/serbrowser" to every bridged deck's phone with each row completed from the library,
// and the browser commands a phone's gestures and the keys send back.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include <algorithm>
#include <type_traits>

namespace plindo::host {

namespace {
// Bursts of screen rows within this window become one push.
constexpr double kPushDebounceSec = 0.015;
constexpr int kTrackRows = 16;
constexpr int kCrateRows = 8;
// The phone shows at least this many track rows, and a crate cursor no lower than this row.
constexpr int kLeastRows = 7;
constexpr int kLastCrateCursor = 7;
}  // namespace

void HostState::postSeratoBrowserEvent(serato::RaneLibraryDecoder::Event event) {
    std::weak_ptr<int> alive = life_;
    main_.post([this, alive, event = std::move(event)] {
        if (alive.lock()) applySeratoBrowserEvent(event);
    });
}

void HostState::applySeratoBrowserEvent(const serato::RaneLibraryDecoder::Event& event) {
    using namespace serato::RaneLibraryDecoder;
    const bool kept = std::visit(
        [this](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, Row>) {
                if (e.row < 0 || e.row >= kTrackRows) return false;
                seratoBrowser[e.row] = {e.title, e.artist};
                seratoRowsSeen = std::max(seratoRowsSeen, e.row + 1);
            } else if constexpr (std::is_same_v<T, Crate>) {
                seratoBrowserCrate = e.name;
            } else if constexpr (std::is_same_v<T, Cursor>) {
                if (e.row < 0 || e.row >= kTrackRows) return false;
                seratoBrowserCursor = e.row;
                seratoFocusCrates = false;
            } else if constexpr (std::is_same_v<T, CrateRow>) {
                if (e.slot < 0 || e.slot >= kCrateRows) return false;
                if (static_cast<int>(seratoCrateRows.size()) <= e.slot) seratoCrateRows.resize(e.slot + 1);
                seratoCrateRows[e.slot] = {e.secondByte, e.name};
            } else if constexpr (std::is_same_v<T, CrateCursor>) {
                if (e.slot < 0 || e.slot >= kCrateRows) return false;
                seratoCrateCursor = e.slot;
                seratoFocusCrates = true;
            } else if constexpr (std::is_same_v<T, RowExtra>) {
                if (e.row < 0 || e.row >= kTrackRows) return false;
                seratoRowExtra[e.row] = {e.lengthMs, e.key};
            }
            return true;
        },
        event);
    if (kept) scheduleSeratoBrowserPush();
}

void HostState::scheduleSeratoBrowserPush() {
    bumpSeratoBrowserRev();
    if (seratoBrowserPushItem_) seratoBrowserPushItem_->cancel();
    if (terminated_) return;
    std::weak_ptr<int> alive = life_;
    seratoBrowserPushItem_ = main_.schedule(kPushDebounceSec, [this, alive] {
        if (alive.lock()) pushSeratoBrowser();
    });
}

void HostState::pushSeratoBrowser() {
    // The row completion needs the library's index; it is built on the library queue, never here.
    if (!seratoMetaWarming && !seratoLibrary_.indexLoaded()) {
        seratoMetaWarming = true;
        std::weak_ptr<int> alive = life_;
        library::SeratoLibrary& lib = seratoLibrary_;
        platform::MainExecutor& main = main_;
        libraryQueue_->post([this, alive, &lib, &main] {
            lib.reloadIndex();
            main.post([this, alive] {
                if (!alive.lock()) return;
                seratoMetaWarming = false;
                if (seratoLibrary_.indexLoaded()) scheduleSeratoBrowserPush();
            });
        });
    }

    std::array<bool, 2> bridged{};
    for (int deck = 1; deck <= 2; ++deck) bridged[deck - 1] = seratoOut->isActive(deck);
    if (!bridged[0] && !bridged[1]) return;

    // The rows as the DJ application's screen shows them; track rows get bpm, key, length and file from the
    // library, while title and artist stay as the screen spells them.
    const SeratoBrowserSnapshot shown = seratoBrowserRows();
    std::vector<link::SeratoBrowserRow> rows;
    rows.reserve(shown.rows.size());
    for (size_t i = 0; i < shown.rows.size(); ++i) {
        const auto& [title, artist] = shown.rows[i];
        link::SeratoBrowserRow row{.title = title, .artist = artist};
        if (!shown.crates && !title.empty()) {
            const auto extra = seratoRowExtra.find(static_cast<int>(i));
            const bool hasExtra = extra != seratoRowExtra.end();
            const auto found = seratoLibrary_.track(title, artist, seratoBrowserCrate, hasExtra ? extra->second.first : 0,
                                                    hasExtra ? extra->second.second : std::string());
            if (found) {
                row.bpm = found->bpm;
                row.key = found->key;
                row.len = found->len;
                row.path = found->path;
            }
        }
        rows.push_back(std::move(row));
    }
    for (int deck = 1; deck <= 2; ++deck) {
        if (bridged[deck - 1]) server->sendSeratoBrowser(deck, shown.title, shown.cursor, rows);
    }
}

SeratoBrowserSnapshot HostState::seratoBrowserRows() const {
    SeratoBrowserSnapshot s;
    if (seratoFocusCrates) {
        s.title = "\U0001F4C1 " + seratoBrowserCrate;
        s.cursor = std::min(seratoCrateCursor, kLastCrateCursor);
        s.crates = true;
        for (const auto& [second, name] : seratoCrateRows) s.rows.emplace_back(name, std::string());
        return s;
    }
    s.title = seratoBrowserCrate;
    s.cursor = seratoBrowserCursor.value_or(0);
    const size_t n = std::min(seratoBrowser.size(), static_cast<size_t>(std::max(kLeastRows, seratoRowsSeen)));
    s.rows.assign(seratoBrowser.begin(), seratoBrowser.begin() + static_cast<std::ptrdiff_t>(n));
    return s;
}

void HostState::seratoLibraryCommand(int deck, const std::string& command, int count) {
    if (deck < 1 || deck > 2) return;
    if (command == "down" || command == "up") {
        const int64_t steps = std::max(count, 1);
        seratoOut->libraryScroll(command == "down" ? steps : -steps);
    } else if (command == "left" || command == "right" || command == "tab" || command == "double") {
        seratoOut->libraryKey(command, deck);
    } else if (command == "load") {
        seratoOut->libraryKey(command, deck);
        setStatus("Serato: Load auf Deck " + std::to_string(deck));
    } else if (command == "tap") {
        // The phone tapped a row: move the highlighted row there. Rows outside the screen are no target.
        if (count < 0 || count >= kTrackRows) return;
        const int from = seratoFocusCrates ? seratoCrateCursor : seratoBrowserCursor.value_or(0);
        if (count != from) seratoOut->libraryScroll(count - from);
    }
    // "sync" and anything else: the DJ application's mapping has no message for it.
}

}  // namespace plindo::host
