#include "ui/main/deck_placement_panel.h"

#include "host/host_ui.h"
#include "link/orv_server.h"
#include "group/group_member.h"
#include "ui/kit/colors.h"
#include "ui/kit/label_style.h"
#include "ui/kit/printf_text.h"
#include "ui/kit/text_styles.h"
#include "ui/main/placement_geometry.h"
#include "ui/main/placement_scene.h"
#include "ui/main/readout_band.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <optional>

namespace plindo::ui {

namespace {

using Raw = link::OrvRemoteLink::RawMirror;

constexpr double kCameraBumpDeg = 1.1715295402256303;  // the tilt the camera bump alone gives a phone on its back
constexpr double kBumpSlackDeg = 0.6;
constexpr double kFlatDeg = 2.5;                        // steeper than this the phone lies askew
constexpr double kTileOpacity = 0.22;                   // of the deck tint behind the tile
// The bands above and below the canvas sit tighter than their 6-point side insets, so the 170-point canvas and
// both bands fit the deck column's 210-point slot.
constexpr int kBandInset = 3;
// The page colour behind the tile; it lets the deck tint through a little.
const QColor kPageBackground = QColor::fromRgbF(0.11f, 0.11f, 0.12f, 0.8f);

// Per frame the texts rarely change: leave the labels alone unless they do.
void setText(QLabel* l, const QString& text) {
    if (l->text() != text) l->setText(text);
}

void setColour(QLabel* l, const QColor& colour) {
    if (l->palette().color(QPalette::WindowText) != colour) setTextColor(l, colour);
}

class PlacementCanvas : public QWidget {
public:
    PlacementCanvas(host::HostUi& host, int deck, QWidget* parent) : QWidget(parent), host_(host), deck_(deck) {
        setMinimumHeight(DeckPlacementPanel::kCanvasMinHeight);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    // Repaints with what the tile has just read for this frame: while the look stays, only where the phone and the
    // glow were and are, since every pixel written costs at a phone's rate.
    void showFrame(PlacementInputs in) {
        const host::PlaceSnapshot& s = in.snapshot;
        PlacementLook look = placementLook(s.raw, s.fresh, in.bigLabel, in.smallLabel);
        const QRectF moving = placementMovingRect(s.raw, s.fresh, size(), in.theta);
        if (look == look_ && shownSize_ == size()) update((moving | moving_).toAlignedRect().adjusted(-1, -1, 1, 1));
        else update();
        look_ = std::move(look);
        moving_ = moving;
        shownSize_ = size();
        next_ = std::move(in);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        // A repaint of the window's own reads afresh.
        const PlacementInputs in = next_ ? std::move(*next_) : placementInputs(host_, deck_);
        next_.reset();
        QPainter p(this);
        p.drawImage(QPointF(0, 0), backdrop(in.snapshot.fresh));
        keep_.setPaintRect(event->rect());
        drawPlacementForeground(p, in.snapshot.raw, in.snapshot.fresh, in.bigLabel, in.smallLabel, size(), in.theta,
                                keep_);
    }

private:
    // The still part of the scene, drawn once per size and freshness into an image blitted as it is.
    const QImage& backdrop(bool fresh) {
        const qreal dpr = devicePixelRatioF();
        if (backdrop_.isNull() || backdropFresh_ != fresh || backdropSize_ != size() ||
            backdrop_.devicePixelRatio() != dpr) {
            backdrop_ = QImage((QSizeF(size()) * dpr).toSize().expandedTo({1, 1}), QImage::Format_ARGB32_Premultiplied);
            backdrop_.setDevicePixelRatio(dpr);
            backdrop_.fill(Qt::transparent);
            QPainter bp(&backdrop_);
            drawPlacementBackdrop(bp, fresh, size());
            backdropFresh_ = fresh;
            backdropSize_ = size();
        }
        return backdrop_;
    }

    host::HostUi& host_;
    const int deck_;
    std::optional<PlacementInputs> next_;
    PlacementLook look_;
    QRectF moving_;
    QSize shownSize_;
    PlacementKeep keep_;
    QImage backdrop_;
    bool backdropFresh_ = false;
    QSize backdropSize_;
};

}  // namespace

// What the tile shows of a frame's inputs; equal keys draw equal pixels. Numbers compare by their bits, so a
// NaN that stays a NaN is no change.
struct PlacementShownKey {
    std::array<uint64_t, 8> numbers{};
    int flags = 0;
    bool fresh = false;
    QString bigLabel, smallLabel;
    bool operator==(const PlacementShownKey&) const = default;
};

namespace {

PlacementShownKey shownKey(const PlacementInputs& in) {
    const Raw& r = in.snapshot.raw;
    PlacementShownKey k;
    k.numbers = {std::bit_cast<uint64_t>(r.yaw),         std::bit_cast<uint64_t>(r.offX),
                 std::bit_cast<uint64_t>(r.offY),        std::bit_cast<uint64_t>(r.gz),
                 std::bit_cast<uint64_t>(r.planeDevDeg), std::bit_cast<uint64_t>(r.rotorPhase),
                 std::bit_cast<uint64_t>(r.fieldAC),     std::bit_cast<uint64_t>(in.theta)};
    k.flags = r.placeFlags;
    k.fresh = in.snapshot.fresh;
    k.bigLabel = in.bigLabel;
    k.smallLabel = in.smallLabel;
    return k;
}

}  // namespace

PlacementVerdict placementStatus(const host::PlaceSnapshot& snapshot) {
    const Raw& raw = snapshot.raw;
    if (!snapshot.fresh) return {"—", colors::secondary()};
    if ((raw.placeFlags & 0x30) == 0x20) return {"ANGEHOBEN", colors::orange()};
    // An offset that is no number is no position, whatever the bit says.
    if (!(raw.placeFlags & 1) || !std::isfinite(raw.offX) || !std::isfinite(raw.offY))
        return {"PLATZIERUNG UNBEKANNT", colors::secondary()};
    if (std::hypot(raw.offX, raw.offY) > placement::kPlatterCm) return {"NEBEN DER PLATTE", colors::red()};
    if (raw.planeDevDeg > kFlatDeg) return {printfText("SCHRÄG · %.1f°", raw.planeDevDeg), colors::red()};
    return {"LIEGT", colors::green()};
}

std::string planeNote(const Raw& raw) {
    if (!(raw.planeDevDeg >= 0)) return "Ebene noch nicht gelernt";  // also a plane that is no number
    const double d = raw.planeDevDeg - kCameraBumpDeg;
    if (std::abs(d) < kBumpSlackDeg) return printfText("Kamerabuckel erklärt es (%.2f° erwartet)", kCameraBumpDeg);
    return printfText("%+.2f° über dem Kamerabuckel", d);
}

std::array<std::pair<std::string, std::string>, 6> placementReadouts(const Raw& raw) {
    const double yawDeg = std::atan2(std::sin(raw.yaw), std::cos(raw.yaw)) * 180 / std::numbers::pi;
    return {{
        {"r", printfText("%.1f cm", std::hypot(raw.offX, raw.offY))},
        {"off", printfText("%+.1f/%+.1f", raw.offX, raw.offY)},
        {"yaw", printfText("%+.0f°", yawDeg)},
        {"gz", printfText("%.3f", raw.gz)},
        {"Ebene", raw.planeDevDeg >= 0 ? printfText("%.2f°", raw.planeDevDeg) : std::string("—")},
        {"Feld", printfText("%.2f µT", raw.fieldAC)},
    }};
}

PlacementInputs placementInputs(const host::HostUi& host, int deck) {
    PlacementInputs in;
    in.snapshot = host.place(deck);
    const double rate = (deck == 1 || deck == 2) ? host.placeYawRate(deck) : 0.0;
    const double dt = in.snapshot.age <= DeckPlacementPanel::kCarryMaxSec ? in.snapshot.age : DeckPlacementPanel::kCarryMaxSec;
    in.theta = in.snapshot.raw.yaw + dt * rate;

    const auto bud = host.budMember(deck, DeckPlacementPanel::kMemberMaxAge);
    const auto watch = host.watchMember(deck, DeckPlacementPanel::kMemberMaxAge);
    if (bud) in.bigLabel += QStringLiteral("🎧");
    if (watch) in.bigLabel += QStringLiteral("⌚️");
    if (bud || watch) {
        const std::string_view base = group::GroupMember::baseName(bud ? *bud : *watch);
        in.smallLabel = QString::fromUtf8(base.data(), qsizetype(base.size()));
    }
    return in;
}

DeckPlacementPanel::DeckPlacementPanel(host::HostUi& host, int deck, QWidget* parent)
    : QWidget(parent), host_(host), deck_(deck) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget(this);
    auto* hrow = new QHBoxLayout(header);
    hrow->setContentsMargins(10, kBandInset, 10, kBandInset);
    hrow->setSpacing(8);
    auto* deckLabel = styledLabel(monoSystemFont(10, QFont::Bold), colors::secondary());
    deckLabel->setText(QStringLiteral("DECK %1").arg(deck));
    verdict_ = styledLabel(monoSystemFont(10, QFont::DemiBold), colors::secondary());
    noSignal_ = styledLabel(monoSystemFont(10), colors::secondary());
    noSignal_->setText(QStringLiteral("kein Signal"));
    auto* build = styledLabel(monoSystemFont(9), colors::withOpacity(colors::secondary(), 0.7));
    build->setText(QString::number(link::OrvServer::kHostBuild));
    hrow->addWidget(deckLabel);
    hrow->addWidget(verdict_);
    hrow->addStretch(1);
    hrow->addWidget(noSignal_);
    hrow->addWidget(build);
    column->addWidget(header);

    canvas_ = new PlacementCanvas(host, deck, this);
    column->addWidget(canvas_, 1);

    readouts_ = new ReadoutBand(kBandInset, this);
    readouts_->setGraphicsEffect(new QGraphicsOpacityEffect(readouts_));
    column->addWidget(readouts_);
    setShowRows(false);

    refresh(host_.place(deck_));
    // A still phone (or none) costs no repaint: the tile follows only what it shows.
    frames_ = FrameClock::shared().subscribeFollow([this] {
        PlacementInputs in = placementInputs(host_, deck_);
        auto now = std::make_shared<const PlacementShownKey>(shownKey(in));
        if (shown_ && *shown_ == *now) return false;
        shown_ = std::move(now);
        refresh(in.snapshot);
        static_cast<PlacementCanvas*>(canvas_)->showFrame(std::move(in));
        return true;
    });
}

void DeckPlacementPanel::setShowRows(bool show) {
    showRows_ = show;
    static_cast<QGraphicsOpacityEffect*>(readouts_->graphicsEffect())->setOpacity(show ? 1.0 : 0.0);
    readouts_->setShown(show);
    if (show) {
        const host::PlaceSnapshot snap = host_.place(deck_);
        readouts_->setReadouts(placementReadouts(snap.raw), planeNote(snap.raw));
    }
    // Hidden, the band keeps its place in the layout but lets clicks through.
    readouts_->setAttribute(Qt::WA_TransparentForMouseEvents, !show);
}

void DeckPlacementPanel::refresh(const host::PlaceSnapshot& snap) {
    // Per frame the header rarely changes: its labels are touched only when it does.
    PlacementVerdict v = placementStatus(snap);
    if (v.text != shownVerdict_.text || v.color != shownVerdict_.color) {
        setText(verdict_, QString::fromStdString(v.text));
        setColour(verdict_, v.color);
        shownVerdict_ = std::move(v);
    }
    if (noSignal_->isHidden() == !snap.fresh) noSignal_->setVisible(!snap.fresh);
    // The numbers change with every record; they are written out only while the band shows them.
    if (showRows_) readouts_->setReadouts(placementReadouts(snap.raw), planeNote(snap.raw));
}

QString DeckPlacementPanel::verdictText() const { return verdict_->text(); }
bool DeckPlacementPanel::signalLost() const { return !noSignal_->isHidden(); }
QString DeckPlacementPanel::readoutValue(int row) const {
    if (row < 0 || row >= 6) return {};
    return QString::fromStdString(placementReadouts(host_.place(deck_).raw)[size_t(row)].second);
}
QString DeckPlacementPanel::caption() const { return QString::fromStdString(planeNote(host_.place(deck_).raw)); }

void DeckPlacementPanel::paintEvent(QPaintEvent* event) {
    // The readouts change with every phone frame; what lies under them is blitted, not filled again.
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize().expandedTo({1, 1});
    if (ground_.size() != pixels || ground_.devicePixelRatio() != dpr) {
        ground_ = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        ground_.setDevicePixelRatio(dpr);
        ground_.fill(Qt::transparent);
        QPainter g(&ground_);
        g.setRenderHint(QPainter::Antialiasing, true);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        g.fillPath(shape, colors::withOpacity(colors::deck(deck_), kTileOpacity));
        g.fillPath(shape, kPageBackground);
        g.setPen(QPen(colors::withOpacity(colors::secondary(), 0.25), 1));
        g.drawPath(shape);
    }
    QPainter p(this);
    const QRect r = event->rect();
    p.drawImage(r, ground_, QRectF(QPointF(r.topLeft()) * dpr, QSizeF(r.size()) * dpr));
}

}  // namespace plindo::ui
