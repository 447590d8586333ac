// The library panes of the window: the Files folder and the DJ application's library, read on the
// "plindo.library" queue and shown on main; the keys that move through them; the Dynamo view switch; the
// waveform zoom; and the folder crates the track server offers.
#include "host/host_state.h"

#include "host/library_reads.h"
#include "host/serato_parts.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace plindo::host {

namespace {
// A load that finds the DJ application's library empty tries again this often, and this long apart.
constexpr int kLastRetryAttempt = 12;
constexpr double kRetrySec = 5.0;
// A local zoom change wins over the phone's mirror for this long.
constexpr double kZoomPendingSec = 1.5;
// The phone's mirrored zoom counts while its place record is younger than this.
constexpr double kPlaceFreshSec = 1.0;
constexpr double kZoomMin = -23.0;

constexpr uint16_t kKeyReturn = 36, kKeyEnter = 76, kKeyTab = 48, kKeySpace = 49;
constexpr uint16_t kKeyLeft = 123, kKeyRight = 124, kKeyDown = 125, kKeyUp = 126;

bool validPane(int pane) { return pane == 0 || pane == 1; }
bool validDeck(int deck) { return deck == 1 || deck == 2; }

// The crate rows a pane shows below the top level, in order: each node followed by its children when open.
void visibleCrates(const std::vector<library::CrateNode>& nodes, const std::set<std::string>& expanded, int depth,
                   std::vector<std::string>& out) {
    for (const auto& n : nodes) {
        if (depth > 0) out.push_back(n.fullName);
        if (n.children && expanded.count(n.fullName)) visibleCrates(*n.children, expanded, depth + 1, out);
    }
}
}  // namespace

struct HostState::LibraryChain {
    uint64_t gen = 0;
    int pane = 0;
    bool copyToOther = false;
    int attempt = 0;
    std::array<uint64_t, 2> epochAtStart{};  // crate choices per pane when the chain began
    std::function<void()> firstPassDone;      // run on main once the first pass has landed

    std::vector<int> panes() const { return copyToOther ? std::vector<int>{pane, 1 - pane} : std::vector<int>{pane}; }
};

struct HostState::LibraryPassResult {
    std::string folder;
    LibraryReads::LibraryPass pass;
};

void HostState::wireLibrary() {
    libraryQueue_ = std::make_unique<platform::SerialQueue>("plindo.library");
    // The track server reads the folder on its own queue: it gets a copy, renewed whenever the setting changes.
    folderCell_ = std::make_shared<motion::UnfairCell<std::string>>(config_.libraryFolder());
    folderListener_ = settings_.addChangeListener([this, cell = folderCell_](const std::string& key) {
        if (key == "orv.libraryFolder") cell->write(config_.libraryFolder());
    });
    // The track server stops (and joins its queue) before the controller's members go.
    fileServer->onFolderCrates = [this] { return folderCrates(); };
    fileServer->onFolderCrateTracks = [this](const std::string& name) { return folderCrateTracks(name); };

    // The browser of the DJ application: the screen tap reports on its spy thread, the MIDI input on its
    // receive thread; both hop to main.
    using namespace serato::RaneLibraryDecoder;
    seratoTap->onLibRow = [this](int row, const std::string& title, const std::string& artist) {
        postSeratoBrowserEvent(Row{row, title, artist});
    };
    seratoTap->onLibCrate = [this](const std::string& name) { postSeratoBrowserEvent(Crate{name}); };
    seratoTap->onLibCursor = [this](int row, int a, int b) { postSeratoBrowserEvent(Cursor{row, a, b}); };
    seratoIn->onOtherRaneFrame = [this](std::span<const uint8_t> message) {
        constexpr size_t kTypeAt = 7, kLeast = 13;
        if (message.size() < kLeast || message[kTypeAt] < 0x20 || message[kTypeAt] > 0x25) return;
        if (auto event = decode(message)) postSeratoBrowserEvent(std::move(*event));
    };
}

void HostState::cancelLibraryWork() {
    for (auto& call : retryCall_) {
        if (call) call->cancel();
    }
    if (seratoBrowserPushItem_) seratoBrowserPushItem_->cancel();
    if (folderListener_) settings_.removeChangeListener(folderListener_);
    folderListener_ = 0;
}

void HostState::restoreLibraryFolder() {
    // Plain paths: the folder needs no grant to be read again. The track server gets the current one.
    folderCell_->write(config_.libraryFolder());
}

void HostState::setLibraryFolder(const std::string& path) {
    if (path.empty()) return;
    config_.setLibraryFolderPath(path);
    reloadLibrary();
}

// --- Loading ---

void HostState::reloadLibrary() { startLibraryChain(0, true, 0, {}); }

void HostState::loadLibraryPane(int attempt, int pane) { startLibraryChain(pane, false, std::max(0, attempt), {}); }

void HostState::startLibraryChain(int pane, bool copyToOther, int attempt, std::function<void()> done) {
    if (!validPane(pane)) return;
    auto chain = std::make_shared<LibraryChain>();
    chain->gen = ++chainSeq_;
    chain->pane = pane;
    chain->copyToOther = copyToOther;
    chain->attempt = attempt;
    chain->firstPassDone = std::move(done);
    for (int q : chain->panes()) {
        // A newer chain takes the pane over; the older one stops at its next pass.
        paneChain_[q] = chain->gen;
        if (retryCall_[q]) retryCall_[q]->cancel();
        LibPane p = panes()[q];
        p.status = LibraryReads::kLoading;
        p.selectedCrate.reset();
        assignPane(q, p);
        chain->epochAtStart[q] = crateEpoch_[q];
    }
    runLibraryPass(chain);
}

void HostState::runLibraryPass(const std::shared_ptr<LibraryChain>& chain) {
    const std::string folder = config_.libraryFolder();
    const library::SeratoLibrary& lib = seratoLibrary_;
    std::weak_ptr<int> alive = life_;
    platform::MainExecutor& main = main_;
    libraryQueue_->post([this, alive, chain, folder, &lib, &main] {
        auto r = std::make_shared<LibraryPassResult>(LibraryPassResult{folder, LibraryReads::readLibrary(folder, lib)});
        main.post([this, alive, chain, r] {
            if (alive.lock()) libraryPassArrived(chain, *r);
        });
    });
}

void HostState::libraryPassArrived(const std::shared_ptr<LibraryChain>& chain, const LibraryPassResult& r) {
    const std::string status = LibraryReads::libraryStatus(r.folder, r.pass.files.size(), r.pass.seratoTracks);
    bool follows = false;
    for (int q : chain->panes()) {
        if (paneChain_[q] != chain->gen) continue;
        follows = true;
        LibPane p = panes()[q];
        p.crateTree = r.pass.tree;
        // A crate chosen since the chain began keeps its tracks and its status; the pass only renews the tree.
        if (crateEpoch_[q] == chain->epochAtStart[q]) {
            p.tracks = r.pass.files;
            p.status = status;
        }
        assignPane(q, p);
    }
    if (auto done = std::exchange(chain->firstPassDone, nullptr)) done();
    if (!follows || terminated_ || r.pass.seratoTracks > 0 || chain->attempt >= kLastRetryAttempt) return;
    std::weak_ptr<int> alive = life_;
    retryCall_[chain->pane] = main_.schedule(kRetrySec, [this, alive, chain] {
        if (!alive.lock()) return;
        ++chain->attempt;
        runLibraryPass(chain);
    });
}

void HostState::selectCrate(const std::optional<std::string>& fullName, int pane, bool useActive) {
    chooseCrate(fullName, useActive ? activePane() : pane, {});
}

void HostState::chooseCrate(const std::optional<std::string>& key, int pane, std::function<void()> done) {
    if (!validPane(pane)) return;
    LibPane p = panes()[pane];
    p.selectedCrate = key;
    assignPane(pane, p);
    ++crateEpoch_[pane];
    if (libSync()) copyPane(pane, 1 - pane);
    loadCrateTracksIn(key, pane, std::move(done));
}

void HostState::loadCrateTracks(const std::optional<std::string>& key, int pane) { loadCrateTracksIn(key, pane, {}); }

void HostState::loadCrateTracksIn(const std::optional<std::string>& key, int pane, std::function<void()> done) {
    if (!validPane(pane)) return;
    if (!key || LibraryReads::routeOf(*key).kind == LibraryReads::CrateRoute::Kind::root) {
        startLibraryChain(pane, false, 0, std::move(done));
        return;
    }
    LibPane p = panes()[pane];
    p.status = LibraryReads::kCrateLoading;
    assignPane(pane, p);
    const std::string folder = config_.libraryFolder();
    const library::SeratoLibrary& lib = seratoLibrary_;
    std::weak_ptr<int> alive = life_;
    platform::MainExecutor& main = main_;
    libraryQueue_->post([this, alive, key = *key, pane, folder, &lib, &main, done = std::move(done)] {
        auto tracks = std::make_shared<std::vector<library::LibTrack>>(LibraryReads::crateTracks(key, folder, lib));
        main.post([this, alive, key, pane, tracks, done] {
            if (!alive.lock()) return;
            crateTracksArrived(key, pane, std::move(*tracks));
            if (done) done();
        });
    });
}

void HostState::crateTracksArrived(const std::string& key, int pane, std::vector<library::LibTrack> tracks) {
    // Only the crate still selected writes its tracks.
    if (panes()[pane].selectedCrate != key) return;
    LibPane p = panes()[pane];
    p.status = LibraryReads::crateStatus(key, tracks.size());
    p.tracks = std::move(tracks);
    assignPane(pane, p);
    // After the status, so that a linked pane copies the finished record.
    setActivePane(pane);
}

// --- Panes ---

void HostState::copyPane(int from, int to) {
    if (!validPane(from) || !validPane(to) || from == to) return;
    assignPane(to, panes()[from]);
    // The copy's crate counts as chosen there, so a library retry keeps its tracks.
    if (panes()[to].selectedCrate) ++crateEpoch_[to];
}

void HostState::setActivePane(int pane) {
    if (!validPane(pane)) return;
    lastMovedPane_ = pane;
    assignActivePane(pane);
    if (libSync()) copyPane(pane, 1 - pane);
}

void HostState::setLibFocus(bool tracks) { writePaneFocus(activePane(), tracks ? LibFocus::tracks : LibFocus::crates); }

void HostState::setLibSync(bool on) {
    const bool was = libSync();
    assignLibSync(on);
    if (on && !was) copyPane(lastMovedPane_, 1 - lastMovedPane_);
}

bool HostState::libraryCommand(uint16_t keyCode, bool shift) {
    int pane = activePane();
    if (isSeratoDeck(pane + 1)) {
        const char* command = nullptr;
        switch (keyCode) {
            case kKeyReturn:
            case kKeyEnter: command = "load"; break;
            case kKeyTab: command = "tab"; break;
            case kKeyLeft: command = "left"; break;
            case kKeyRight: command = "right"; break;
            case kKeyDown: command = "down"; break;
            case kKeyUp: command = "up"; break;
            default: break;
        }
        if (command) {
            seratoLibraryCommand(pane + 1, command, 1);
            return true;
        }
        // Other keys act on the pane of the deck the host plays, when there is one.
        if (!isSeratoDeck(2 - pane)) {
            pane = 1 - pane;
            lastMovedPane_ = pane;
            assignActivePane(pane);
        }
    }
    if (isSeratoDeck(pane + 1)) return false;
    const LibPane& p = panes()[pane];
    const bool trackFocus = p.focus == LibFocus::tracks;
    switch (keyCode) {
        case kKeyLeft:
        case kKeyRight: {
            if (trackFocus) {
                loadFocusedTrack(pane, keyCode == kKeyLeft ? 1 : 2);
            } else if (p.selectedCrate) {
                auto expanded = p.expanded;
                if (keyCode == kKeyLeft) expanded.erase(*p.selectedCrate);
                else expanded.insert(*p.selectedCrate);
                writeExpanded(pane, expanded);
            }
            return true;
        }
        case kKeyDown:
        case kKeyUp: {
            const int by = keyCode == kKeyDown ? 1 : -1;
            if (!shift && trackFocus) moveTrackSelection(pane, by);
            else moveCrateSelection(pane, by);
            return true;
        }
        case kKeySpace:
            if (!trackFocus) return false;
            moveTrackSelection(pane, 1);
            return true;
        case kKeyTab:
            writePaneFocus(pane, trackFocus ? LibFocus::crates : LibFocus::tracks);
            return true;
        default: return false;
    }
}

void HostState::moveTrackSelection(int pane, int by) {
    const LibPane& p = panes()[pane];
    const int count = p.libEntryCount >= 1 ? p.libEntryCount : static_cast<int>(p.tracks.size());
    if (count == 0) return;
    writeSelectedTrackIdx(pane, std::clamp(p.selectedTrackIdx + by, 0, count - 1));
}

void HostState::moveCrateSelection(int pane, int by) {
    const LibPane& p = panes()[pane];
    std::vector<std::string> rows;
    visibleCrates(p.crateTree, p.expanded, 0, rows);
    if (rows.empty()) return;
    const auto at = p.selectedCrate ? std::find(rows.begin(), rows.end(), *p.selectedCrate) : rows.end();
    int next = 0;
    if (at != rows.end()) next = std::clamp(static_cast<int>(at - rows.begin()) + by, 0, static_cast<int>(rows.size()) - 1);
    else if (by < 0) next = static_cast<int>(rows.size()) - 1;
    if (p.selectedCrate == rows[next]) return;
    chooseCrate(rows[next], pane, {});
}

void HostState::loadFocusedTrack(int pane, int deck) {
    const LibPane& p = panes()[pane];
    std::string path = p.libFocusPath;
    if (path.empty() && p.selectedTrackIdx >= 0 && p.selectedTrackIdx < static_cast<int>(p.tracks.size()))
        path = p.tracks[p.selectedTrackIdx].path;
    if (!path.empty()) loadDeck(deck, path);
}

void HostState::toggleDeckView(int deck, bool on, bool stato) {
    if (!validDeck(deck)) return;
    const int pane = deck - 1;
    LibPane p = panes()[pane];
    if (on) {
        if (p.view != "dynamo") viewBeforeDynamo_[pane] = p.view;
        p.view = "dynamo";
    } else if (p.view == "dynamo") {
        p.view = viewBeforeDynamo_[pane];
    }
    assignPane(pane, p);
    server->sendDynGate(deck, on, stato);
}

void HostState::setDynamoUnlocked(bool on) {
    assignDynamoUnlocked(on);
    if (on) return;
    for (int pane = 0; pane < 2; ++pane) {
        if (panes()[pane].view == "dynamo") writePaneView(pane, viewBeforeDynamo_[pane]);
    }
}

// --- Zoom ---

double HostState::zoom(int deck) const {
    if (!validDeck(deck)) return 0;
    const int i = deck - 1;
    const double now = clock_.now();
    if (now < zoomPendingUntil_[i]) return deckZoom_[i];
    double mirrored = 0, wall = 0;
    feeds->placeCell[i].update([&](const PlaceRecord& r) {
        mirrored = r.raw.zoom;
        wall = r.wall;
    });
    return now - wall < kPlaceFreshSec && std::isfinite(mirrored) ? mirrored : deckZoom_[i];
}

void HostState::setZoom(int deck, double step) {
    if (!validDeck(deck) || !std::isfinite(step)) return;
    const int i = deck - 1;
    const double v = std::clamp(std::round(step), kZoomMin, 0.0);
    const double mirrored = feeds->placeCell[i].update([](const PlaceRecord& r) { return r.raw.zoom; });
    if (v == deckZoom_[i] && v == mirrored) return;
    deckZoom_[i] = v;
    zoomPendingUntil_[i] = clock_.now() + kZoomPendingSec;
    server->sendZoom(deck, v);
    noteZoomChanged();
}

bool HostState::zoomAuto(int deck) const {
    if (!validDeck(deck)) return true;
    const int i = deck - 1;
    const double now = clock_.now();
    if (now < zoomModePendingUntil_[i]) return deckZoomAuto_[i];
    bool mirrored = false;
    double wall = 0;
    feeds->placeCell[i].update([&](const PlaceRecord& r) {
        mirrored = r.raw.zoomAuto;
        wall = r.wall;
    });
    return now - wall < kPlaceFreshSec ? mirrored : deckZoomAuto_[i];
}

void HostState::setZoomAuto(int deck, bool on) {
    if (!validDeck(deck)) return;
    deckZoomAuto_[deck - 1] = on;
    zoomModePendingUntil_[deck - 1] = clock_.now() + kZoomPendingSec;
    server->sendZoomMode(deck, on);
    noteZoomChanged();
}

// --- The control endpoint: "library", "crate", "browser" ---

namespace {
size_t countCrates(const std::vector<library::CrateNode>& nodes) {
    size_t n = 0;
    for (const auto& c : nodes) n += 1 + (c.children ? countCrates(*c.children) : 0);
    return n;
}

nlohmann::json paneRecord(const LibPane& p) {
    return {{"status", p.status},
            {"tracks", p.tracks.size()},
            {"crates", countCrates(p.crateTree)},
            {"selectedCrate", p.selectedCrate ? nlohmann::json(*p.selectedCrate) : nlohmann::json(nullptr)},
            {"focus", p.focus == LibFocus::tracks ? "tracks" : "crates"},
            {"view", p.view}};
}
}  // namespace

nlohmann::json HostState::libraryCommandAnswer(const std::string& cmd, const std::map<std::string, std::string>& params,
                                               const ControlLater& later) {
    using json = nlohmann::json;
    if (cmd == "browser") {
        // The track rows whatever has the focus: the report is about what each row resolves to.
        json rows = json::array();
        const size_t n = std::min(seratoBrowser.size(), static_cast<size_t>(std::max(7, seratoRowsSeen)));
        for (size_t i = 0; i < n; ++i)
            rows.push_back(browserRowRecord(static_cast<int>(i), seratoBrowser[i].first, seratoBrowser[i].second, seratoBrowserCrate));
        return {{"crate", seratoBrowserCrate},
                {"focus", seratoFocusCrates ? "crates" : "tracks"},
                {"cursor", seratoBrowserCursor ? json(*seratoBrowserCursor) : json(nullptr)},
                {"crateCursor", seratoCrateCursor},
                {"rows", rows}};
    }
    if (cmd == "crate") {
        const double pane = numberParam(params, "pane", activePane());
        if (pane != 0 && pane != 1) return {{"error", "pane out of range"}};
        const auto key = params.find("key");
        const int p = static_cast<int>(pane);
        const auto record = [this, p] {
            json out = paneRecord(panes()[p]);
            out["pane"] = p;
            return out;
        };
        const std::optional<std::string> crate =
            key == params.end() ? std::nullopt : std::optional<std::string>(key->second);
        if (!later) {
            chooseCrate(crate, p, {});
            return record();
        }
        // Answered once the tracks are in, so the answer carries the crate's status; main stays free meanwhile.
        chooseCrate(crate, p, [later, record] { later(record()); });
        return json(json::value_t::discarded);
    }
    const auto report = [this] {
        return json{{"folder", config_.libraryFolder()},
                    {"activePane", activePane()},
                    {"libSync", libSync()},
                    {"panes", json::array({paneRecord(panes()[0]), paneRecord(panes()[1])})}};
    };
    if (numberParam(params, "reload", 0) != 1) return report();
    if (!later) {
        startLibraryChain(0, true, 0, {});
        return report();
    }
    startLibraryChain(0, true, 0, [later, report] { later(report()); });
    return json(json::value_t::discarded);
}

// --- The track server's folder source (its queue) ---

std::vector<std::string> HostState::folderCrates() const { return LibraryReads::folderCrates(folderCell_->read()); }

std::vector<link::TrackEntry> HostState::folderCrateTracks(const std::string& name) const {
    std::vector<link::TrackEntry> out;
    for (auto& t : LibraryReads::folderCrateTracks(folderCell_->read(), name)) out.push_back({std::move(t.path), std::move(t.name)});
    return out;
}

}  // namespace plindo::host
