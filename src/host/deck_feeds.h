#pragma once
// The per-deck state that the feed threads (the phone server's queue, the tunnel pump, the synthesis timers)
// share with the main thread, each value in its own short-lock cell. Qt-free; the threads hold the block
// weakly, so a pass that outlives the controller finds it gone and drops its work.
#include "host/host_motor.h"
#include "host/raw_follow.h"
#include "link/orv_remote_link.h"
#include "motion/angle_integrator.h"
#include "motion/cells.h"
#include "motion/dynamo_frame.h"
#include "motion/follow_player.h"
#include "motion/serato_tunnel.h"
#include "motion/serato_upsampler.h"
#include "motion/unfair_cell.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace plindo::serato {
class SeratoMIDIOut;
}

namespace plindo::host {

// The IMU road state of one deck.
struct ImuState {
    double angle = 0;                 // last platter angle, radians
    double lastWall = 0;              // media-clock time of the last IMU sample
    double rate = 0;                  // the platter rate as the IMU road estimates it (1 = nominal)
    std::optional<bool> platterPlay;  // the platter was playing
    int64_t hpSent = 0;               // playhead pushes to the phone
    bool engaged = false;             // handed to the MIDI output with every motion sample
};

// The diagnostics of the deck's last phone frame.
struct WireDiag {
    struct Shot {
        double pos = 0;
        double rate = 0;
        double ts = 0;
        double lastAngle = 0;
        int64_t frameN = 0;
        int64_t advN = 0;
        int64_t tsBackN = 0;
        double netRev = 0;
    };
    motion::UnfairCell<Shot> cell;
};

// The tick tunnel of one deck.
struct TunnelState {
    motion::SeratoTunnel tun;
    int32_t epoch = 0;
    double wall = 0;         // media-clock time of the last received batch, 0 before any
    double lastOutWall = 0;  // time of the last output
    int64_t guessRun = 0;    // outputs made by the pump since the last batch
    int64_t offset = 0;      // added to the tunnel's sentCum to give the host's tick position
    int64_t hostCum = 0;
    int64_t outs = 0, guessed = 0, jumped = 0, resets = 0, late = 0;
};

// The earbud upsampler of one deck.
struct BudUpState {
    motion::SeratoUpsampler up{0.005, 0.06};  // its tunnel at k 0.2 with a 0.2 s jump drain
    double offMax = -std::numeric_limits<double>::infinity();  // phone clock minus media clock, held at its max
    double wall = 0;  // time of the last earbud sample, 0 before any
    int64_t outs = 0, guessed = 0, jumped = 0, resets = 0;
};

// The deck's latest raw record and when it arrived.
struct PlaceRecord {
    link::OrvRemoteLink::RawMirror raw;
    double wall = -std::numeric_limits<double>::infinity();
};

// The deck's latest diagnostics frame and when it arrived.
struct DynamoRecord {
    motion::DynamoFrame frame;
    double wall = -std::numeric_limits<double>::infinity();
};

// Where the raw follower of one deck stands: its last record and the core's last published angle.
struct RawTrack {
    double lastTs = 0;     // phone seconds of the last record taken
    double lastWall = 0;   // media time it arrived, 0 before any
    double lastAngle = 0;  // the core's angle at the last position step
    bool angleKnown = false;
};

// Lets the tunnel pump sleep while no stream is live: the pump arms it, looks once more whether a stream
// came in, and parks; a feed thread that took a batch wakes it. While the pump runs, a wake costs one load.
class PumpWake {
public:
    // A stream took a batch (any thread).
    void notify() {
        if (parked_.load(std::memory_order_seq_cst)) wake();
    }
    // Wakes a parked pump whatever it looked at (the pump is stopping).
    void wake() {
        gen_.fetch_add(1, std::memory_order_seq_cst);
        gen_.notify_all();
    }
    // Pump side: announce the park; a batch taken after this wakes the park that follows.
    uint32_t arm() {
        parked_.store(true, std::memory_order_seq_cst);
        return gen_.load(std::memory_order_seq_cst);
    }
    // Pump side: sleeps until a wake after `arm` returned `armed` (at once if one came already).
    void park(uint32_t armed) {
        gen_.wait(armed, std::memory_order_seq_cst);
        parked_.store(false, std::memory_order_relaxed);
    }
    void disarm() { parked_.store(false, std::memory_order_relaxed); }
    bool parked() const { return parked_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> parked_{false};
    std::atomic<uint32_t> gen_{0};
};

// Process-wide tunables of the tunnel and earbud roads, changed by the control endpoint.
struct FeedTunables {
    std::atomic<bool> tunnelOn{true};
    std::atomic<double> tunnelK{0.2};
    std::atomic<double> tunnelJumpDrainSec{0.2};
    std::atomic<int64_t> tunnelMaxGuessRun{10};
    std::atomic<bool> budUpOn{true};
    std::atomic<double> budGridSec{0.005};
    std::atomic<double> budLeadSec{0.06};
};

struct DeckFeeds {
    explicit DeckFeeds(const platform::Clock& clock) : rawFollow{std::make_unique<RawFollow>(clock), std::make_unique<RawFollow>(clock)} {}

    // Each deck's player: main puts it in place, every other thread reads it here and nowhere else.
    std::array<motion::UnfairCell<std::shared_ptr<motion::FollowPlayer>>, 2> player;
    std::array<motion::AngleIntegrator, 2> integrators;
    std::array<motion::UnfairCell<ImuState>, 2> imuCell;
    std::array<WireDiag, 2> wireDiag;
    std::array<std::unique_ptr<RawFollow>, 2> rawFollow;
    std::array<motion::UnfairCell<TunnelState>, 2> tunnelCell;
    std::array<motion::UnfairCell<BudUpState>, 2> budUpCell;
    std::array<motion::ValueCell, 2> budWall;         // time of the last earbud sample
    std::array<motion::ValueCell, 2> phoneSynthCell;  // above 0.5: the phone asked the host to spin the deck
    std::array<motion::UnfairCell<PlaceRecord>, 2> placeCell;
    std::array<motion::UnfairCell<DynamoRecord>, 2> dynamoCell;
    std::array<motion::ValueCell, 2> placeYawRate;    // the phone's yaw rate, rad/s
    FeedTunables tunables;
    HostMotor hostMotor;
    std::shared_ptr<serato::SeratoMIDIOut> seratoOut;  // set once at construction
    // The motion road's own state: the raw followers' progress and the sensor messages counted.
    std::array<motion::UnfairCell<RawTrack>, 2> rawTrack;
    std::array<std::shared_ptr<motion::RateCell>, 2> rawRate{std::make_shared<motion::RateCell>(),
                                                            std::make_shared<motion::RateCell>()};
    std::atomic<int64_t> sensorMessages{0};
    PumpWake pumpWake;  // the tunnel pump's sleep between streams

    // The deck's player (deck 1 or 2), null before the services start or for any other deck.
    std::shared_ptr<motion::FollowPlayer> playerOf(int deck) const {
        return deck == 1 || deck == 2 ? player[deck - 1].read() : nullptr;
    }
};

}  // namespace plindo::host
