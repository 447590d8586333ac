#pragma once
// The records the controller publishes to the window: a deck as the views show it, a library pane, and the
// snapshots the placement, diagnostics and cue views read.
#include "library/crate_node.h"
#include "library/lib_track.h"
#include "library/peak_envelope.h"
#include "library/serato_file_meta.h"
#include "link/orv_remote_link.h"
#include "motion/audio_out_device.h"
#include "motion/dynamo_frame.h"

#include <QImage>

#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace plindo::host {

// One deck as the views show it.
struct DeckInfo {
    std::string path;                 // empty while no track is loaded; "serato-midi://deck" while bridged
    std::string name;                 // the track name shown
    double posSec = 0;                // play position
    double rate = 0;                  // 1 = nominal
    std::optional<bool> seratoPlay;   // the DJ application's play state while the deck's emitter is active
    double jitterMs = 0;
    double maxGapMs = 0;
    std::string via = "?";            // the phone's link: "WLAN", "LAN" or "?"
    int wavOk = -1;                   // 1 the phone holds the file, 0 it does not, negative not reported
    double durationSec = 0;           // 0 while no length is known
    bool remoteFresh = false;         // the phone was heard less than 0.6 s ago
    std::string remoteName;
    bool standalone = false;          // the phone runs in standalone mode
    QImage cover;                     // null: none
    double wirePos = 0;
    double wireRate = 0;
    double lastFrameAngle = 0;
    int64_t angleAdvN = 0;
    int64_t frameN = 0;
    double wireTs = 0;
    double angNetRev = 0;
    int64_t tsBackN = 0;

    bool operator==(const DeckInfo&) const = default;
};

enum class LibFocus { crates, tracks };

// One library pane; pane p belongs to deck p + 1.
struct LibPane {
    std::vector<library::CrateNode> crateTree;
    std::optional<std::string> selectedCrate;  // full name
    std::vector<library::LibTrack> tracks;
    int selectedTrackIdx = 0;
    std::string libFocusPath;
    int libEntryCount = 0;
    LibFocus focus = LibFocus::tracks;
    std::set<std::string> expanded;  // crate full names
    std::string status = "Library: not loaded yet";
    std::string view = "kiste";      // "kiste", "liste" or "dynamo"

    bool operator==(const LibPane&) const = default;
};

// The deck's latest raw record with its age on the media clock.
struct PlaceSnapshot {
    link::OrvRemoteLink::RawMirror raw;
    double age = std::numeric_limits<double>::infinity();
    bool fresh = false;  // age below 1.0 s
};

// The deck's latest diagnostics frame with its age.
struct DynamoSnapshot {
    motion::DynamoFrame frame;
    double age = std::numeric_limits<double>::infinity();
    bool live = false;  // age below 1.0 s
};

// A cue slot the DJ application reported as set on a bridged deck.
struct SeratoCueRow {
    int slot = 0;           // 0 to 7
    double sec = 0;
    std::string colorHex;   // six hex digits after "#"
    bool operator==(const SeratoCueRow&) const = default;
};

// The DJ application's library browser as the phones and the pane show it.
struct SeratoBrowserSnapshot {
    std::string title;
    int cursor = 0;
    bool crates = false;
    std::vector<std::pair<std::string, std::string>> rows;  // (title, artist) or (crate name, "")
    bool operator==(const SeratoBrowserSnapshot&) const = default;
};

}  // namespace plindo::host
