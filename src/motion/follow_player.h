#pragma once
// One deck that the host plays itself: its decoded track, its output, and the render servo that steers the
// play position towards the platter anchor on the audio thread. Every exchange with other threads goes
// through the cells below.
#include "motion/audio_out.h"
#include "motion/cells.h"
#include "motion/host_config.h"
#include "platform/clock.h"
#include "platform/main_executor.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plindo::motion {

// The servo's fixed tuning: the host's constants.
struct FollowTuning {
    double feedStaleSec = HostConfig::feedStaleSec;
    double leadTrimSec = HostConfig::leadTrimSec;
    double anchorExtrapMaxSec = HostConfig::anchorExtrapMaxSec;
    double snapSec = HostConfig::snapSec;
    double servoSat = HostConfig::servoSat;
    double servoI = HostConfig::servoI;
    double servoP = HostConfig::servoP;
};

// What start() takes from the settings: "orv.followEase" and "orv.stillGate".
struct FollowConfig {
    bool followEase = true;
    double stillGate = HostConfig::defaultStillGate;
    FollowTuning tuning;

    static FollowConfig from(const HostConfig& c) { return {c.followEase(), c.stillGate(), {}}; }
};

// Where the memory a process may use is read: the machine's physical memory and the memory limits of the
// control groups the process belongs to. The defaults are this machine's own.
struct MemorySources {
    std::string unifiedRoot = "/sys/fs/cgroup";         // the unified hierarchy, a "memory.max" in each group
    std::string legacyRoot = "/sys/fs/cgroup/memory";   // the older layout's memory controller, "memory.limit_in_bytes"
    std::string selfCgroup = "/proc/self/cgroup";       // names the process' group in each hierarchy
    std::optional<uint64_t> physicalBytes;              // none: the machine's
};

class FollowPlayer {
public:
    // Output buffer size each player requests from its device.
    static constexpr uint32_t defaultBufferFrames = HostConfig::outBufferFrames;

    FollowPlayer(const AudioOutDevice& device, int channelStart, uint32_t bufferFrames,
                 const platform::Clock& clock = platform::systemClock());
    ~FollowPlayer();
    FollowPlayer(const FollowPlayer&) = delete;
    FollowPlayer& operator=(const FollowPlayer&) = delete;

    // Sets the cells from the config, makes the render state and starts the output. Failures are status
    // lines; the player then stays silent and stopped.
    void start(const FollowConfig& config);
    void start(const HostConfig& config) { start(FollowConfig::from(config)); }
    // The same without a device: for rendering offline (tests, benchmarks).
    void prepare(const FollowConfig& config);

    // The render: one callback of `frames` output frames at `outRate`, with `now` the media-clock time.
    // Real-time safe: no allocation, no log, only cell locks.
    void render(double now, double outRate, float* left, float* right, uint32_t frames);

    // Puts a decoded track in place (control side). The render fades it in because the number changes.
    // The replaced buffer is released on the calling thread, never on the audio thread.
    void install(StemRef stem, int gen);
    // Frees the replaced buffers that the render has let go of. Runs by itself on `loadMain` after each
    // replacement that met a callback in flight; the owner may call it too (control side only).
    void collectRetired();
    // Replaced buffers still waiting for a callback in flight to end.
    std::size_t retiredCount() const;

    AnchorCell anchor;
    ValueCell easeOn{1.0};
    ValueCell errCell{0.0};
    ValueCell posCell{0.0};
    ValueCell rateCell{0.0};
    SeekCell seek;
    ValueCell mute{0.0};
    ValueCell stillGate{0.0};
    ValueCell loadGenCell{0.0};

    std::function<void(const std::string&)> onStatus;
    std::function<void()> onLoaded;
    std::function<void()> onLoadFailed;
    // Every successful decode with its file name, also of an overtaken load; on `loadMain` before the install.
    std::function<void(StemRef, const std::string&)> onDecoded;

    std::unique_ptr<AudioOut> out;
    StemTable table;
    int loadGen = 0;          // load counter; main thread only
    std::string loadedPath;   // path of the loaded or pending track; main thread only

    // Track loading (follow_player_load.cpp). load and unload run on the main thread; a load fetches and
    // decodes in the background and comes back through `loadMain` to install its track or report.
    struct FetchedFile {
        std::optional<std::string> path;  // a temporary file the loader now owns
        std::string error;                // why there is none, as the user reads it
    };
    // Fetches a file from another host's track server: request target, service name (none: any other
    // host), suggested file name, time limit. Blocks the background load that calls it.
    using PeerFetch = std::function<FetchedFile(const std::string& requestPath, const std::optional<std::string>& server,
                                                const std::string& suggestedName, double timeoutSec)>;
    // Where a track may lie. With ThisHost, a track that lies on this disk as its load starts and that its own
    // track server cannot deliver is looked at again: gone, or changed since, the load fails at once instead
    // of asking other hosts. A path that is not on this disk goes to the other hosts all the same.
    enum class TrackHome { OtherHost, ThisHost };
    void load(const std::string& path, const HostConfig& config, const std::optional<std::string>& base = std::nullopt,
              const std::optional<std::string>& server = std::nullopt, TrackHome home = TrackHome::OtherHost);
    void unload();
    // A deck's decoded track may take a quarter of the memory the process may use, so that both decks stay
    // under half: a larger one is refused before decoding, or stopped when the decode passes it.
    std::optional<uint64_t> memoryBytes;  // the memory the process may use; none reads it from the machine
    // Physical memory, or the process' cgroup limit when lower; 0 when neither can be read.
    static uint64_t processMemoryBytes(const MemorySources& from = {});
    // The lowest memory limit of the groups on the way from each hierarchy's root down to the process' group
    // there, as `from.selfCgroup` names it: the unified hierarchy's "memory.max" and the older layout's
    // "memory.limit_in_bytes"; none when no group on the way sets one.
    static std::optional<uint64_t> cgroupMemoryMax(const MemorySources& from);
    int deckNumber = 0;  // names the deck in status lines; 0 when it has none
    platform::MainExecutor* loadMain = nullptr;  // the main thread; null runs those steps on the load's thread
    PeerFetch peerFetch;

private:
    struct RenderState;

    // A replaced buffer and the render count that was odd (a callback in flight) when it was replaced.
    struct Retired {
        StemRef stem;
        uint64_t renderCount = 0;
    };
    // Takes the buffer `table` no longer holds: frees it now when no callback can still be using it, else
    // keeps it until the callback in flight has ended.
    void retire(StemRef old);
    // Drops a buffer on the control side; when it was the last reference, its pages go back to the system.
    void release(StemRef stem);
    void postCollect();

    const platform::Clock& clock_;
    std::unique_ptr<RenderState> state_;
    FollowTuning tuning_;
    // Odd while a render callback runs: raised as it starts (before it reads the table) and as it ends
    // (after it let go of the track), so the control side knows when a replaced track is free.
    std::atomic<uint64_t> renderCount_{0};
    mutable std::mutex retireLock_;  // control side only; the render never takes it
    std::vector<Retired> retired_;
    bool collectPosted_ = false;  // under retireLock_

public:
    struct LoadLink;  // lets background loads find out whether the player still exists

private:
    // Declared last so that it lets go of the player first.
    struct LoadAnchor {
        LoadAnchor();
        ~LoadAnchor();
        std::shared_ptr<LoadLink> link;
    };
    LoadAnchor loadAnchor_;
};

}  // namespace plindo::motion
