#pragma once
// One deck's placement tile: a header with the deck, the verdict on how the phone lies and the signal state;
// the placement canvas, redrawn every frame; and a band of the raw record's numbers that the column shows
// only while the deck's readings are open (hidden, it keeps its height). It changes nothing.
#include "host/host_ui_types.h"
#include "ui/kit/frame_clock.h"

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

#include <array>
#include <memory>
#include <string>
#include <utility>

class QLabel;

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

struct PlacementVerdict {
    std::string text;
    QColor color;
};

// The header's verdict: "—" when stale, "ANGEHOBEN", "PLATZIERUNG UNBEKANNT", "NEBEN DER PLATTE",
// "SCHRÄG · 2.6°" or "LIEGT", the first that applies.
PlacementVerdict placementStatus(const host::PlaceSnapshot& snapshot);
// The read-out band's caption on the learned plane.
std::string planeNote(const link::OrvRemoteLink::RawMirror& raw);
// The six label/value pairs of the read-out band.
std::array<std::pair<std::string, std::string>, 6> placementReadouts(const link::OrvRemoteLink::RawMirror& raw);

// What one canvas frame draws, read from the controller now.
struct PlacementInputs {
    host::PlaceSnapshot snapshot;
    double theta = 0;   // the yaw carried forward by the measured rate, at most half a second
    QString bigLabel;   // "🎧" and/or "⌚️" of the group members feeding the deck
    QString smallLabel; // that member's name without its seat suffix
};
PlacementInputs placementInputs(const host::HostUi& host, int deck);

struct PlacementShownKey;
class ReadoutBand;

class DeckPlacementPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int kCanvasMinHeight = 170;
    static constexpr double kMemberMaxAge = 2.5;  // seconds a member's earbuds or watch count as feeding
    static constexpr double kCarryMaxSec = 0.5;   // longest extrapolation of the yaw

    // `deck` is 1 or 2.
    DeckPlacementPanel(host::HostUi& host, int deck, QWidget* parent = nullptr);

    void setShowRows(bool show);
    bool showRows() const { return showRows_; }

    QWidget* canvas() const { return canvas_; }
    ReadoutBand* readouts() const { return readouts_; }
    QString verdictText() const;
    bool signalLost() const;  // "kein Signal" is shown
    // The band's texts for the controller's record now, whole, however much of them the band has room for.
    QString readoutValue(int row) const;
    QString caption() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh(const host::PlaceSnapshot& snapshot);

    host::HostUi& host_;
    const int deck_;
    bool showRows_ = false;
    QWidget* canvas_ = nullptr;
    ReadoutBand* readouts_ = nullptr;
    QLabel* verdict_ = nullptr;
    PlacementVerdict shownVerdict_;
    QLabel* noSignal_ = nullptr;
    std::shared_ptr<const PlacementShownKey> shown_;  // what the tile last showed; none before the first frame
    FrameClock::Subscription frames_;
    QImage ground_;  // the tile's rounded ground and border, made once per size
};

}  // namespace plindo::ui
