#include "host/host_ui.h"

#include "platform/text.h"

namespace plindo::host {

namespace {
bool validDeck(int deck) { return deck == 1 || deck == 2; }
bool validPane(int pane) { return pane == 0 || pane == 1; }
}  // namespace

HostUi::HostUi(platform::MainExecutor& main) : main_(main) {}

HostUi::~HostUi() = default;

const DeckInfo& HostUi::deck(int deck) const {
    static const DeckInfo none;
    return validDeck(deck) ? decks_[deck - 1] : none;
}

std::shared_ptr<const library::PeakEnvelope> HostUi::deckEnv(int deck) const {
    return validDeck(deck) ? deckEnv_[deck - 1] : nullptr;
}

std::shared_ptr<const library::SeratoFileMeta> HostUi::deckMarks(int deck) const {
    return validDeck(deck) ? deckMarks_[deck - 1] : nullptr;
}

std::string HostUi::activePaneStatus() const { return validPane(activePane_) ? panes_[activePane_].status : ""; }

std::optional<motion::AudioOutDevice> HostUi::selectedDevice(int deckIndex) const {
    if (deckIndex < 0 || deckIndex > 1) return std::nullopt;
    for (const auto& d : devices_) {
        if (d.uid == selectedUID_[deckIndex]) return d;
    }
    return std::nullopt;
}

bool HostUi::isSeratoDeck(int deck) const {
    return validDeck(deck) && decks_[deck - 1].path.starts_with("serato-midi://");
}

// --- View writes ---

void HostUi::writeStatusLine(const std::string& line) { assignStatusLine(line); }
void HostUi::writeSelectedUID(int deckIndex, const std::string& uid) { assignSelectedUID(deckIndex, uid); }
void HostUi::writeSelectedChan(int deckIndex, int start) { assignSelectedChan(deckIndex, start); }
void HostUi::writeMappingOffer(bool on) { assignMappingOffer(on); }
void HostUi::writeShowSecret(bool on) { assignShowSecret(on); }
void HostUi::writeActivePane(int pane) { assignActivePane(pane); }

void HostUi::writePaneView(int pane, const std::string& view) {
    if (!validPane(pane)) return;
    LibPane p = panes_[pane];
    p.view = view;
    assignPane(pane, p);
}

void HostUi::writeSelectedTrackIdx(int pane, int index) {
    if (!validPane(pane)) return;
    LibPane p = panes_[pane];
    p.selectedTrackIdx = index;
    assignPane(pane, p);
}

void HostUi::writeLibFocusPath(int pane, const std::string& path) {
    if (!validPane(pane)) return;
    LibPane p = panes_[pane];
    p.libFocusPath = path;
    assignPane(pane, p);
}

void HostUi::writeLibEntryCount(int pane, int count) {
    if (!validPane(pane)) return;
    LibPane p = panes_[pane];
    p.libEntryCount = count;
    assignPane(pane, p);
}

void HostUi::writePaneFocus(int pane, LibFocus focus) {
    if (!validPane(pane)) return;
    LibPane p = panes_[pane];
    p.focus = focus;
    assignPane(pane, p);
}

void HostUi::writeExpanded(int pane, const std::set<std::string>& expanded) {
    if (!validPane(pane)) return;
    LibPane p = panes_[pane];
    p.expanded = expanded;
    assignPane(pane, p);
}

void HostUi::setLibSync(bool on) { assignLibSync(on); }
void HostUi::setDynamoUnlocked(bool on) { assignDynamoUnlocked(on); }
void HostUi::setActivePane(int pane) { assignActivePane(pane); }

// --- Controller writes ---

void HostUi::assignDeck(int deck, const DeckInfo& info) {
    if (!validDeck(deck) || decks_[deck - 1] == info) return;
    decks_[deck - 1] = info;
    changed(pDecks);
}

void HostUi::assignDeckEnv(int deck, std::shared_ptr<const library::PeakEnvelope> env) {
    if (!validDeck(deck) || deckEnv_[deck - 1] == env) return;
    deckEnv_[deck - 1] = std::move(env);
    changed(pDeckEnv);
}

void HostUi::assignDeckMarks(int deck, std::shared_ptr<const library::SeratoFileMeta> marks) {
    if (!validDeck(deck) || deckMarks_[deck - 1] == marks) return;
    deckMarks_[deck - 1] = std::move(marks);
    changed(pDeckMarks);
}

void HostUi::assignPane(int pane, const LibPane& record) {
    if (!validPane(pane) || panes_[pane] == record) return;
    panes_[pane] = record;
    changed(pPanes);
}

void HostUi::assignActivePane(int pane) {
    if (!validPane(pane) || activePane_ == pane) return;
    activePane_ = pane;
    changed(pActivePane);
}

void HostUi::assignLibSync(bool on) {
    if (libSync_ == on) return;
    libSync_ = on;
    changed(pLibSync);
}

void HostUi::assignStatusLine(const std::string& line) {
    // Names and paths from phones and files are shown, never obeyed: one line, no terminal escapes.
    std::string shown = platform::text::escapeControls(line);
    if (statusLine_ == shown) return;
    statusLine_ = std::move(shown);
    changed(pStatusLine);
}

void HostUi::assignBlinkColor(int colour) {
    if (blinkColor_ == colour) return;
    blinkColor_ = colour;
    changed(pBlinkColor);
}

void HostUi::assignSecretBlinkUntil(double until) {
    if (secretBlinkUntil_ == until) return;
    secretBlinkUntil_ = until;
    changed(pSecretBlinkUntil);
}

void HostUi::assignShowSecret(bool on) {
    if (showSecret_ == on) return;
    showSecret_ = on;
    changed(pShowSecret);
}

void HostUi::assignDynamoUnlocked(bool on) {
    if (dynamoUnlocked_ == on) return;
    dynamoUnlocked_ = on;
    changed(pDynamoUnlocked);
}

void HostUi::assignDJLogo(const QImage& logo) {
    if (djLogo_ == logo) return;
    djLogo_ = logo;
    changed(pDJLogo);
}

void HostUi::bumpSeratoBrowserRev() {
    ++seratoBrowserRev_;
    changed(pSeratoBrowserRev);
}

void HostUi::assignGroupMuted(bool on) {
    if (groupMuted_ == on) return;
    groupMuted_ = on;
    changed(pGroupMuted);
}

void HostUi::assignMappingOffer(bool on) {
    if (mappingOffer_ == on) return;
    mappingOffer_ = on;
    changed(pMappingOffer);
}

void HostUi::assignDevices(const std::vector<motion::AudioOutDevice>& devices) {
    if (devices_ == devices) return;
    devices_ = devices;
    changed(pDevices);
}

void HostUi::assignSelectedUID(int deckIndex, const std::string& uid) {
    if (deckIndex < 0 || deckIndex > 1 || selectedUID_[deckIndex] == uid) return;
    selectedUID_[deckIndex] = uid;
    changed(pSelectedUID);
}

void HostUi::assignSelectedChan(int deckIndex, int start) {
    if (deckIndex < 0 || deckIndex > 1 || selectedChan_[deckIndex] == start) return;
    selectedChan_[deckIndex] = start;
    changed(pSelectedChan);
}

void HostUi::noteConfigChanged() {
    std::weak_ptr<int> alive = life_;
    main_.post([this, alive] {
        if (alive.lock()) changed(pConfig);
    });
}

void HostUi::noteZoomChanged() { changed(pZoom); }

void HostUi::changed(uint32_t prop) {
    const bool scheduled = dirty_ != 0;
    dirty_ |= prop;
    if (scheduled) return;
    std::weak_ptr<int> alive = life_;
    main_.post([this, alive] {
        if (alive.lock()) flush();
    });
}

void HostUi::flush() {
    const uint32_t d = dirty_;
    dirty_ = 0;
    if (d & pDecks) Q_EMIT decksChanged();
    if (d & pDeckEnv) Q_EMIT deckEnvChanged();
    if (d & pDeckMarks) Q_EMIT deckMarksChanged();
    if (d & pPanes) Q_EMIT panesChanged();
    if (d & pActivePane) Q_EMIT activePaneChanged();
    if (d & pLibSync) Q_EMIT libSyncChanged();
    if (d & pStatusLine) Q_EMIT statusLineChanged();
    if (d & pBlinkColor) Q_EMIT blinkColorChanged();
    if (d & pSecretBlinkUntil) Q_EMIT secretBlinkUntilChanged();
    if (d & pShowSecret) Q_EMIT showSecretChanged();
    if (d & pDynamoUnlocked) Q_EMIT dynamoUnlockedChanged();
    if (d & pDJLogo) Q_EMIT djLogoChanged();
    if (d & pSeratoBrowserRev) Q_EMIT seratoBrowserRevChanged();
    if (d & pGroupMuted) Q_EMIT groupMutedChanged();
    if (d & pMappingOffer) Q_EMIT mappingOfferChanged();
    if (d & pDevices) Q_EMIT devicesChanged();
    if (d & pSelectedUID) Q_EMIT selectedUIDChanged();
    if (d & pSelectedChan) Q_EMIT selectedChanChanged();
    if (d & pConfig) Q_EMIT configChanged();
    if (d & pZoom) Q_EMIT zoomChanged();
}

}  // namespace plindo::host
