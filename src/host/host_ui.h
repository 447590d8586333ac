#pragma once
// What the window sees of the controller: the published state with one change signal per property, the plain
// field writes of the views (`write…`) and the controller's operations. The controller implements it; the
// window's tests use a fake. Everything here runs on the main thread.
#include "host/host_ui_types.h"
#include "motion/host_config.h"
#include "platform/main_executor.h"

#include <QImage>
#include <QObject>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plindo::group {
class DeckInventory;
}

namespace plindo::host {

class HostUi : public QObject {
    Q_OBJECT

public:
    // Change signals are coalesced: every property changed within one main turn signals once, on `main`.
    explicit HostUi(platform::MainExecutor& main);
    ~HostUi() override;

    // --- Published state (getters) ---
    const std::array<DeckInfo, 2>& decks() const { return decks_; }
    const DeckInfo& deck(int deck) const;  // deck 1 or 2; an empty record for any other
    std::shared_ptr<const library::PeakEnvelope> deckEnv(int deck) const;
    std::shared_ptr<const library::SeratoFileMeta> deckMarks(int deck) const;
    const std::array<LibPane, 2>& panes() const { return panes_; }
    int activePane() const { return activePane_; }
    bool libSync() const { return libSync_; }
    const std::string& statusLine() const { return statusLine_; }
    int blinkColor() const { return blinkColor_; }
    double secretBlinkUntil() const { return secretBlinkUntil_; }
    bool showSecret() const { return showSecret_; }
    bool dynamoUnlocked() const { return dynamoUnlocked_; }
    const QImage& djLogo() const { return djLogo_; }
    int64_t seratoBrowserRev() const { return seratoBrowserRev_; }
    bool groupMuted() const { return groupMuted_; }
    bool mappingOffer() const { return mappingOffer_; }
    const std::vector<motion::AudioOutDevice>& devices() const { return devices_; }
    const std::array<std::string, 2>& selectedUID() const { return selectedUID_; }
    const std::array<int, 2>& selectedChan() const { return selectedChan_; }
    // The status of the pane at `activePane`.
    std::string activePaneStatus() const;
    // The first device whose uid is the deck's selected uid (0-based deck index); none when none matches.
    std::optional<motion::AudioOutDevice> selectedDevice(int deckIndex) const;

    virtual motion::HostConfig& config() = 0;
    // Seconds of the media clock (the clock of every `…Wall` time).
    virtual double mediaNow() const = 0;

    // --- Plain field writes of the views: each is one change of its property ---
    virtual void writeStatusLine(const std::string& line);
    virtual void writeSelectedUID(int deckIndex, const std::string& uid);
    virtual void writeSelectedChan(int deckIndex, int start);
    virtual void writeMappingOffer(bool on);
    virtual void writeShowSecret(bool on);
    virtual void writeActivePane(int pane);
    virtual void writePaneView(int pane, const std::string& view);
    virtual void writeSelectedTrackIdx(int pane, int index);
    virtual void writeLibFocusPath(int pane, const std::string& path);
    virtual void writeLibEntryCount(int pane, int count);
    virtual void writePaneFocus(int pane, LibFocus focus);
    virtual void writeExpanded(int pane, const std::set<std::string>& expanded);

    // --- Operations (the controller acts; the defaults do nothing or answer the initial value) ---
    virtual void start() {}
    virtual void terminate() {}
    virtual void loadDeviceChannels() {}
    virtual void applyOutput(int /*deck*/) {}
    virtual void setLibraryFolder(const std::string& /*path*/) {}
    virtual void reloadLibrary() {}
    virtual void useDJLogo(const std::string& /*path*/) {}
    virtual void setDJLogo(const std::vector<uint8_t>& /*jpeg*/, bool /*broadcast*/) {}
    virtual void setLibSync(bool on);
    virtual void setDynamoUnlocked(bool on);
    virtual void blinkPanelTapped() {}

    virtual double zoom(int /*deck*/) const { return 0; }
    virtual void setZoom(int /*deck*/, double /*step*/) {}
    virtual bool zoomAuto(int /*deck*/) const { return true; }
    virtual void setZoomAuto(int /*deck*/, bool /*on*/) {}
    // True when the key was used.
    virtual bool libraryCommand(uint16_t /*keyCode*/, bool /*shift*/) { return false; }
    virtual void seratoLibraryCommand(int /*deck*/, const std::string& /*command*/, int /*count*/) {}
    virtual SeratoBrowserSnapshot seratoBrowserRows() const { return {}; }
    virtual void setActivePane(int pane);
    virtual void selectCrate(const std::optional<std::string>& /*fullName*/, int /*pane*/, bool /*useActive*/) {}
    virtual void setLibFocus(bool /*tracks*/) {}
    virtual void toggleDeckView(int /*deck*/, bool /*on*/, bool /*stato*/) {}

    virtual bool isSeratoDeck(int deck) const;
    virtual void setSeratoDeck(int /*deck*/, bool /*on*/) {}
    virtual void transportButton(int /*deck*/) {}
    virtual void announceLocalLoad(int /*deck*/, const std::string& /*path*/) {}
    virtual void setShareTracks(int /*deck*/, bool /*on*/) {}
    virtual void setGroupMuted(bool /*on*/) {}
    // The side ("left", "right" or "") of this host's seat record for the ordinal; none without a record.
    virtual std::optional<std::string> slotSide(int /*ordinal*/) const { return std::nullopt; }
    // The platter angle of the deck's phone's last frame (radians), also when stale; 0 when none is known.
    virtual double remoteLastAngle(int /*deck*/) const { return 0; }

    virtual PlaceSnapshot place(int /*deck*/) const { return {}; }
    virtual double placeYawRate(int /*deck*/) const { return 0; }
    virtual DynamoSnapshot dynamo(int /*deck*/) const { return {}; }
    // The name of the group member whose earbuds (watch) feed the deck, seen within `maxAge` seconds.
    virtual std::optional<std::string> budMember(int /*deck*/, double /*maxAge*/) const { return std::nullopt; }
    virtual std::optional<std::string> watchMember(int /*deck*/, double /*maxAge*/) const { return std::nullopt; }
    // The cue rows the DJ application reported for a bridged deck; none otherwise.
    virtual std::optional<std::vector<SeratoCueRow>> seratoCueRows(int /*deck*/) const { return std::nullopt; }
    // This host's named deck seats; null until the group part exists.
    virtual group::DeckInventory* deckInventory() { return nullptr; }

Q_SIGNALS:
    void decksChanged();
    void deckEnvChanged();
    void deckMarksChanged();
    void panesChanged();
    void activePaneChanged();
    void libSyncChanged();
    void statusLineChanged();
    void blinkColorChanged();
    void secretBlinkUntilChanged();
    void showSecretChanged();
    void dynamoUnlockedChanged();
    void djLogoChanged();
    void seratoBrowserRevChanged();
    void groupMutedChanged();
    void mappingOfferChanged();
    void devicesChanged();
    void selectedUIDChanged();
    void selectedChanChanged();
    // The settings object's change notice, re-emitted on the main thread.
    void configChanged();
    // A deck's zoom step or mode was set here; `zoom` and `zoomAuto` may answer differently.
    void zoomChanged();

protected:
    // The controller's own writes of published state: store, and signal once this main turn when changed.
    void assignDeck(int deck, const DeckInfo& info);
    void assignDeckEnv(int deck, std::shared_ptr<const library::PeakEnvelope> env);
    void assignDeckMarks(int deck, std::shared_ptr<const library::SeratoFileMeta> marks);
    void assignPane(int pane, const LibPane& record);
    void assignActivePane(int pane);
    void assignLibSync(bool on);
    void assignStatusLine(const std::string& line);
    void assignBlinkColor(int colour);
    void assignSecretBlinkUntil(double until);
    void assignShowSecret(bool on);
    void assignDynamoUnlocked(bool on);
    void assignDJLogo(const QImage& logo);
    void bumpSeratoBrowserRev();
    void assignGroupMuted(bool on);
    void assignMappingOffer(bool on);
    void assignDevices(const std::vector<motion::AudioOutDevice>& devices);
    void assignSelectedUID(int deckIndex, const std::string& uid);
    void assignSelectedChan(int deckIndex, int start);
    // Call from any thread on a settings change: re-emitted as `configChanged` on main.
    void noteConfigChanged();
    // The controller took a zoom step or mode (main thread): `zoomChanged` once this turn.
    void noteZoomChanged();

    platform::MainExecutor& mainExecutor() { return main_; }

private:
    enum Prop : uint32_t {
        pDecks = 1u << 0, pDeckEnv = 1u << 1, pDeckMarks = 1u << 2, pPanes = 1u << 3, pActivePane = 1u << 4,
        pLibSync = 1u << 5, pStatusLine = 1u << 6, pBlinkColor = 1u << 7, pSecretBlinkUntil = 1u << 8,
        pShowSecret = 1u << 9, pDynamoUnlocked = 1u << 10, pDJLogo = 1u << 11, pSeratoBrowserRev = 1u << 12,
        pGroupMuted = 1u << 13, pMappingOffer = 1u << 14, pDevices = 1u << 15, pSelectedUID = 1u << 16,
        pSelectedChan = 1u << 17, pConfig = 1u << 18, pZoom = 1u << 19,
    };
    void changed(uint32_t prop);
    void flush();

    platform::MainExecutor& main_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);  // posted flushes hold it weakly
    uint32_t dirty_ = 0;

    std::array<DeckInfo, 2> decks_{};
    std::array<std::shared_ptr<const library::PeakEnvelope>, 2> deckEnv_{};
    std::array<std::shared_ptr<const library::SeratoFileMeta>, 2> deckMarks_{};
    std::array<LibPane, 2> panes_{};
    int activePane_ = 0;
    bool libSync_ = false;
    std::string statusLine_;
    int blinkColor_ = -1;
    double secretBlinkUntil_ = 0;
    bool showSecret_ = false;
    bool dynamoUnlocked_ = false;
    QImage djLogo_;
    int64_t seratoBrowserRev_ = 0;
    bool groupMuted_ = false;
    bool mappingOffer_ = false;
    std::vector<motion::AudioOutDevice> devices_;
    std::array<std::string, 2> selectedUID_{};
    std::array<int, 2> selectedChan_{0, 0};
};

}  // namespace plindo::host
