#include "ui/library/vinyl_crate_view.h"

#include <QApplication>
#include <QDateTime>
#include <QDrag>
#include <QEasingCurve>
#include <QHelpEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QToolTip>
#include <QWheelEvent>

#include <cmath>

namespace plindo::ui {

VinylCrateView::VinylCrateView(CoverSource& covers, QWidget* parent)
    : QWidget(parent),
      covers_(
          covers, [this](const std::string& p) { return coverURL ? coverURL(p) : std::nullopt; },
          [this] { update(); }),
      loader_([this](const std::string& path, const TrackMetaLite& meta, bool reached) {
          model_.applyMeta(meta, path, reached);
          stateChanged();
      }) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(120, 160);

    auto& h = model_.hooks();
    h.onFocusPath = [this](const OptPath& p) {
        if (onFocusPath) onFocusPath(p);
    };
    h.onEntryCount = [this](int n) {
        if (onEntryCount) onEntryCount(n);
    };
    h.selectedGet = [this]() -> std::optional<int> {
        if (!selectedIdxGet) return std::nullopt;
        return selectedIdxGet();
    };
    h.selectedSet = [this](int v) {
        if (selectedIdxSet) selectedIdxSet(v);
    };
    h.startMetaLoad = [this](const std::string& p) { loader_.start(p); };
    h.cancelMetaLoad = [this] { loader_.cancel(); };
    loader_.tagsURL = [this](const std::string& p) { return tagsURL ? tagsURL(p) : std::nullopt; };
    loader_.metaURL = [this](const std::string& p) { return metaURL ? metaURL(p) : std::nullopt; };

    // An ease-out of 0.22 s, starting fast and settling on the line.
    QEasingCurve ease(QEasingCurve::BezierSpline);
    ease.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    anim_.setEasingCurve(ease);
    anim_.setDuration(kScrollToMs);
    connect(&anim_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        scroll_ = layout_.clampScroll(v.toDouble(), model_.count());
        stateChanged();
    });
    connect(&anim_, &QVariantAnimation::finished, this, [this] {
        focusHeld_ = false;
        stateChanged();
    });
    blinkNow_ = [] { return QDateTime::currentMSecsSinceEpoch() / 1000.0; };
    layout_ = CrateLayout::of(width(), height());
}

VinylCrateView::~VinylCrateView() {
    loader_.cancel();
    if (floor_) floor_->removeEventFilter(this);
}

void VinylCrateView::setTracks(std::vector<Track> tracks) {
    model_.setTracks(std::move(tracks));
    stateChanged();
}

void VinylCrateView::inputsChanged() {
    floorArgs_ = {-1, -2};  // the floor maker may be new
    faces_.clear();         // loaded and played marks may have moved
    if (const auto n = model_.selectionToFollow()) scrollToEntry(*n);
    stateChanged();
}

QMimeData* VinylCrateView::textPayload(const std::string& path) {
    auto* m = new QMimeData;
    m->setText(QString::fromStdString(path));
    return m;
}

void VinylCrateView::scrollBy(double dy) {
    if (anim_.state() == QAbstractAnimation::Running) anim_.stop();
    focusHeld_ = false;
    setScroll(scroll_ + dy);
}

void VinylCrateView::setScroll(double s) {
    relayout();
    scroll_ = layout_.clampScroll(s, model_.count());
    stateChanged();
}

void VinylCrateView::runFocusRule() {
    const auto i = layout_.nearest(scroll_, model_.count());
    model_.focusPicked(i, i ? layout_.offsetOf(*i, scroll_) : 0);
}

void VinylCrateView::scrollToEntry(int index) {
    relayout();
    const double target = layout_.scrollTarget(index, model_.count());
    anim_.stop();
    // The entry at the end of the scroll gains the focus now, not each entry the scroll passes.
    const auto i = layout_.nearest(target, model_.count());
    model_.focusPicked(i, i ? layout_.offsetOf(*i, target) : 0);
    focusHeld_ = true;
    anim_.setStartValue(scroll_);
    anim_.setEndValue(target);
    anim_.start();
}

void VinylCrateView::stateChanged() {
    relayout();
    scroll_ = layout_.clampScroll(scroll_, model_.count());
    if (!focusHeld_) runFocusRule();
    std::map<int, std::string> live;
    if (const CrateItem* f = model_.focusedItem()) live[*model_.focusedIdx()] = f->track.path;
    const auto [lo, hi] = model_.trainRange();
    for (int i = lo; i < hi; ++i) live[i] = model_.items()[i].track.path;
    covers_.setLive(live);
    dropStaleArt();
    placeFloor();
    updateBlink();
    rehover();
    update();
}

void VinylCrateView::placeFloor() {
    if (!floorOverlay) return;
    const std::pair<double, int> args{layout_.cardW, model_.focusedFlip()};
    if (args != floorArgs_) {
        floorArgs_ = args;
        QWidget* w = floorOverlay(args.first, args.second);
        if (w != floor_) {
            if (floor_) {
                floor_->removeEventFilter(this);
                floor_->deleteLater();
            }
            floor_ = w;
            if (w) {
                w->setParent(this);
                w->installEventFilter(this);
            }
        }
    }
    if (!floor_) return;
    floor_->setGeometry(QRectF(0, layout_.floorTop, layout_.width, layout_.floorH).toAlignedRect());
    floor_->show();
    floor_->raise();
}

void VinylCrateView::updateBlink() {
    const CrateItem* f = model_.focusedItem();
    const bool blinking = f && !isLoaded(*f);
    if (!blinking) {
        blinkTick_.reset();
        return;
    }
    if (blinkTick_.active()) return;
    // The ring steps twice a second: no motion that needs every frame, the clock's poll catches it.
    blinkTick_ = FrameClock::shared().subscribeFollow([this] {
        const int phase = focusRingOpacity(blinkNow_()) > 0.5 ? 0 : 1;
        if (phase == blinkPhase_) return false;
        blinkPhase_ = phase;
        // The panel shows a blurred copy of what lies under it: repaint it whole when the ring is under it.
        QRect ring = focusedCardRect().adjusted(-4, -4, 4, 4).toAlignedRect();
        if (const QRect panel = panelRect().toAlignedRect(); ring.intersects(panel)) ring |= panel;
        update(ring);
        return false;
    });
}

bool VinylCrateView::isLoaded(const CrateItem& item) const { return loadedPath && *loadedPath == item.track.path; }
bool VinylCrateView::isPlayed(const CrateItem& item) const { return playedPaths.count(item.track.path) > 0; }

QRectF VinylCrateView::focusedCardRect() const {
    const auto i = model_.focusedIdx();
    if (!model_.focusedItem()) return {};
    const double centre = layout_.slotCentre(*i, scroll_);
    return transformed(cardRect(layout_, centre), cardTransform(centre - layout_.focusLine, layout_.cardW));
}

QRectF VinylCrateView::carRect(int index) const {
    const auto i = model_.focusedIdx();
    if (!i) return {};
    const double d = (*i - index) + layout_.focusFraction(model_.focusOffset());
    return carGeometry(d, layout_.cardW, layout_.lipLine, layout_.width / 2).rect;
}

VinylCrateView::Hit VinylCrateView::hitTest(QPointF pos) const {
    if (floor_ && floor_->isVisible() && floor_->geometry().contains(pos.toPoint())) return {Hit::floor};
    if (!model_.focusedItem()) return {};
    if (panelRect().contains(pos)) return {Hit::panel};
    QRectF card = focusedCardRect();
    card.setBottom(std::min(card.bottom(), layout_.lipLine));  // the lip hides the rest
    if (card.contains(pos)) return {Hit::card, *model_.focusedIdx()};
    const auto [lo, hi] = model_.trainRange();
    for (int i = hi - 1; i >= lo; --i)
        if (carRect(i).contains(pos)) return {Hit::car, i};
    return {};
}

VinylCrateView::OptPath VinylCrateView::coverAt(QPointF pos) const {
    const Hit h = hitTest(pos);
    const bool onCover = (h.kind == Hit::card || h.kind == Hit::car) && h.index < model_.count();
    return onCover ? OptPath(model_.items()[h.index].track.path) : std::nullopt;
}

// A wheel, a key or a selection scrolls other covers under a pointer that does not move: ask again what lies
// under it. A scroll-to asks once it has arrived, not for every cover it sweeps past.
void VinylCrateView::rehover() {
    if (!pointer_ || focusHeld_ || scrollingTo() || dragging_) return;
    reportHover(coverAt(*pointer_));
}

void VinylCrateView::reportHover(const OptPath& path) {
    if (path == hovered_) return;
    hovered_ = path;
    if (onHoverPath) onHoverPath(path);
}

void VinylCrateView::resizeEvent(QResizeEvent*) { stateChanged(); }

void VinylCrateView::relayout() {
    if (layout_.width == width() && layout_.height == height()) return;
    // Keep the entry on the focus line where it is, at the new scale.
    const double u = layout_.slotH > 0 ? (scroll_ + layout_.focusLine - layout_.padTop) / layout_.slotH : 0;
    const bool atTop = scroll_ <= 0;
    layout_ = CrateLayout::of(width(), height());
    scroll_ = atTop ? 0 : layout_.padTop + u * layout_.slotH - layout_.focusLine;
    if (anim_.state() == QAbstractAnimation::Running) anim_.stop();
    focusHeld_ = false;
    faces_.clear();
}

void VinylCrateView::wheelEvent(QWheelEvent* e) {
    double dy = 0;
    if (!e->pixelDelta().isNull()) dy = -e->pixelDelta().y();
    else dy = -e->angleDelta().y() / 120.0 * QApplication::wheelScrollLines() * kPixelsPerWheelLine;
    if (dy == 0) {
        e->ignore();
        return;
    }
    pointer_ = e->position();
    scrollBy(dy);
    e->accept();
}

void VinylCrateView::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    press_ = hitTest(e->position());
    pressPos_ = e->position();
    dragging_ = false;
}

void VinylCrateView::mouseMoveEvent(QMouseEvent* e) {
    const bool fromCover = press_.kind == Hit::card || press_.kind == Hit::car;
    if ((e->buttons() & Qt::LeftButton) && fromCover && !dragging_ && dragProvider &&
        (e->position() - pressPos_).manhattanLength() >= QApplication::startDragDistance() &&
        press_.index < model_.count()) {
        dragging_ = true;
        const std::string path = model_.items()[press_.index].track.path;
        if (QMimeData* payload = dragProvider(path)) execDrag(payload);
        // The drag took the release with it: nothing else ends it.
        dragging_ = false;
        press_ = {};
        return;
    }
    pointer_ = e->position();
    reportHover(coverAt(*pointer_));
}

void VinylCrateView::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    const Hit h = hitTest(e->position());
    if (!dragging_ && press_.kind == Hit::card && h.kind == Hit::card && h.index == press_.index && onPick &&
        h.index < model_.count())
        onPick(model_.items()[h.index].track.path);
    press_ = {};
    dragging_ = false;
}

void VinylCrateView::leaveEvent(QEvent*) {
    pointer_.reset();
    reportHover(std::nullopt);
}

bool VinylCrateView::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(e);
        if (playsRect_.contains(help->pos()) && hitTest(help->pos()).kind == Hit::card)
            QToolTip::showText(help->globalPos(), "Plays (Serato playcount from the file tags)", this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(e);
}

bool VinylCrateView::eventFilter(QObject* watched, QEvent* e) {
    // The floor lies over the covers: entering it leaves them.
    if (watched == floor_ && e->type() == QEvent::Enter) {
        pointer_.reset();
        reportHover(std::nullopt);
    }
    return QWidget::eventFilter(watched, e);
}

void VinylCrateView::execDrag(QMimeData* payload) {
    auto* drag = new QDrag(this);
    drag->setMimeData(payload);
    drag->exec(Qt::CopyAction);
}

}  // namespace plindo::ui
