#pragma once
// The fixed tuning constants of platter following and the typed accessors of the user settings that the
// players, the controller and the views share. Reads go to the settings store on every call.
#include "motion/cells.h"
#include "platform/settings.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plindo::motion {

class HostConfig {
public:
    // `homeFolder` is where the default library folder ("Music") lives; empty means $HOME.
    explicit HostConfig(platform::Settings& d, std::string homeFolder = {});
    HostConfig(const HostConfig&) = delete;
    HostConfig& operator=(const HostConfig&) = delete;

    platform::Settings& d() const { return d_; }

    static constexpr uint32_t outBufferFrames = 128;    // frames each deck player asks of its device
    static constexpr double servoP = 2.0;                // servo gain per second of follow error
    static constexpr double servoI = 0.5;                // integral gain of the servo
    static constexpr double servoSat = 0.5;              // limit of the integral term and the correction
    static constexpr double snapSec = 0.25;              // larger follow errors jump instead of servoing
    static constexpr double feedStaleSec = 0.6;          // an older anchor no longer drives the player
    static constexpr double bindStaleSec = 2.5;          // a phone silent this long loses its deck
    static constexpr double leadTrimSec = 0.0;           // fixed offset added to the anchor position
    static constexpr double anchorExtrapMaxSec = 0.25;   // longest extrapolation of an anchor by its rate

    static constexpr double defaultStillGate = 0.005;
    static constexpr int defaultTrackServerPort = 17600;
    static constexpr int defaultMeOscPort = 6000;

    // Settings; per-deck keys end in the deck number (1 to 4).
    bool shareTracks(int deck) const;
    void setShareTracks(int deck, bool on);  // then the change notice
    bool anyDeckSharesTracks() const;
    void setGroupSlot(int deck, int64_t slot);  // then the change notice
    bool followEase() const;
    void setFollowEase(bool on);  // then the change notice
    bool mePlayhead() const;      // "orv.mePlayhead", off while absent
    void setMePlayhead(bool on);  // then the change notice
    int meOscPort() const;        // "orv.meOscPort" when above 0, else 6000
    std::optional<std::string> deviceUID(int deck) const;
    void setDeviceUID(int deck, const std::string& uid);  // no change notice
    std::string libraryFolder() const;
    void setLibraryFolderPath(const std::string& path);  // then the change notice
    double stillGate() const;  // "orv.stillGate" when above 0, else 0.005
    // "orv.guiBase" when set, else this host's own track server on the port it listens on (the default port
    // until the controller says otherwise).
    std::string guiBase() const;
    // The port this host's track server listens on; not a setting, a fact of this run. 0 forgets it.
    void setOwnServerPort(int port) { ownServerPort_ = port; }

    // URLs on the track server at `guiBase`, with the single query item "path"; none when the base does
    // not parse as a URL.
    std::optional<std::string> audioStreamURL(const std::string& path) const;
    std::optional<std::string> coverArtURL(const std::string& path) const;
    std::optional<std::string> tagsURL(const std::string& path) const;
    std::optional<std::string> deckMetaURL(const std::string& path) const;

    // The change notice: runs on the thread of the setter, after the value is stored, never under a lock.
    int addChangeListener(std::function<void()> f);
    void removeChangeListener(int id);

    // The process-wide sign-flip mask: "plindo.signFlips" as read on first use (from `source`), never again.
    static ValueCell& signFlipMask(const platform::Settings& source);
    // True when bit < 64 and that bit of the mask is set.
    bool signFlip(uint8_t bit) const;
    static bool maskHasBit(double mask, uint8_t bit);

private:
    std::optional<std::string> trackServerURL(const char* route, const std::string& path) const;
    void publishChange();

    platform::Settings& d_;
    std::string homeFolder_;
    std::atomic<int> ownServerPort_{0};
    std::mutex listenersMutex_;
    std::vector<std::pair<int, std::function<void()>>> listeners_;
    int nextListener_ = 1;
};

}  // namespace plindo::motion
