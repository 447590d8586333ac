#include "ui/library/wave_hover_panel.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"
#include "ui/library/wave_canvas.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {

// Paths of decks the DJ application drives: no file to show.
constexpr std::string_view kSeratoDeckPrefix = "serato-midi://";

constexpr int kSpinnerSize = 18;
constexpr int kSpinnerFramesPerTurn = 60;

}  // namespace

WaveHoverPanel::WaveHoverPanel(std::string path, const motion::HostConfig& config, int flipSel, QWidget* parent,
                               WaveHoverStore* store)
    : QWidget(parent), path_(std::move(path)), config_(config), flipSel_(flipSel),
      store_(store ? *store : WaveHoverStore::shared()) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    wait_.setSingleShot(true);
    wait_.setInterval(kDebounceMs);
    connect(&wait_, &QTimer::timeout, this, &WaveHoverPanel::runLoad);
    load();
}

WaveHoverPanel::~WaveHoverPanel() { store_.abandon(task_); }

void WaveHoverPanel::setPath(const std::string& path) {
    if (path == path_) return;
    path_ = path;
    loadFailed_ = false;
    load();
}

void WaveHoverPanel::setFlipSel(int flipSel) {
    if (flipSel == flipSel_) return;
    flipSel_ = flipSel;
    update();
}

const library::DeckMeta::Flip* WaveHoverPanel::selectedFlip() const {
    if (!meta_ || flipSel_ < 0 || static_cast<size_t>(flipSel_) >= meta_->flips.size()) return nullptr;
    return &meta_->flips[static_cast<size_t>(flipSel_)];
}

void WaveHoverPanel::load() {
    if (path_.starts_with(kSeratoDeckPrefix)) return;
    const auto* env = store_.envCache.find(path_);
    const auto* meta = store_.metaCache.find(path_);
    env_ = env ? *env : nullptr;
    meta_ = meta ? *meta : nullptr;
    if (!env_ || !meta_) {
        store_.abandon(task_);
        task_.reset();
        waitingPath_ = path_;
        wait_.start();
    }
    updateSpinner();
    updateGeometry();
    update();
}

void WaveHoverPanel::runLoad() {
    task_ = store_.startLoad(waitingPath_, config_.deckMetaURL(waitingPath_),
                             [this, path = waitingPath_] { applyCached(path); });
}

void WaveHoverPanel::applyCached(const std::string& path) {
    task_.reset();
    if (path != path_) return;
    const auto* env = store_.envCache.find(path);
    const auto* meta = store_.metaCache.find(path);
    env_ = env ? *env : nullptr;
    meta_ = meta ? *meta : nullptr;
    if (!env_) loadFailed_ = true;
    updateSpinner();
    updateGeometry();
    update();
}

void WaveHoverPanel::updateSpinner() {
    const bool busy = !env_ && !loadFailed_;
    if (busy && !spinner_.active()) {
        spinner_ = FrameClock::shared().subscribe([this] {
            ++spinnerFrame_;
            update();
        });
    } else if (!busy) {
        spinner_.reset();
    }
}

QImage WaveHoverPanel::floorImage(QSize size, qreal dpr) {
    const auto* flip = selectedFlip();
    const int flipKey = flip ? flipSel_ : -1;
    QImage img = store_.canvases.find(path_, env_, meta_, flipKey, size, dpr);
    if (!img.isNull() || !env_) return img;
    img = renderFloorImage(*env_, meta_.get(), flip, size, dpr);
    store_.canvases.put(path_, env_, meta_, flipKey, size, dpr, img);
    return img;
}

QTransform WaveHoverPanel::tilt(QSizeF size) {
    const double W = size.width(), H = size.height();
    // The eye sits on the centre line, at the larger side divided by the perspective.
    const double eye = std::max({W, H, 1.0}) / kPerspective;
    const double c = std::cos(kTiltRadians), s = std::sin(kTiltRadians);
    const auto project = [&](double x, double y) {
        const double up = y - H;            // negative above the bottom edge
        const double depth = -up * s;       // the top leans away
        const double f = eye / (eye + depth);
        return QPointF(W / 2 + (x - W / 2) * f, H + up * c * f);
    };
    QPolygonF from({QPointF(0, 0), QPointF(W, 0), QPointF(W, H), QPointF(0, H)});
    QPolygonF to({project(0, 0), project(W, 0), project(W, H), project(0, H)});
    QTransform t;
    QTransform::quadToQuad(from, to, t);
    return t;
}

QSize WaveHoverPanel::minimumSizeHint() const { return QSize(0, env_ ? 0 : kMessageHeight); }

QSize WaveHoverPanel::sizeHint() const { return QSize(400, env_ ? 160 : kMessageHeight); }

void WaveHoverPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (env_) {
        if (width() < 1 || height() < 1) return;
        const qreal dpr = devicePixelRatioF();
        const QImage img = floorImage(size(), dpr);
        // A perspective draw of a large image is slow: it is made once per floor image and size, then blitted.
        const QSize px = (QSizeF(size()) * dpr).toSize();
        if (tilted_.isNull() || tiltedFrom_ != img.cacheKey() || tilted_.size() != px) {
            tilted_ = QImage(px, QImage::Format_ARGB32_Premultiplied);
            tilted_.setDevicePixelRatio(dpr);
            tilted_.fill(Qt::transparent);
            QPainter tp(&tilted_);
            tp.setRenderHint(QPainter::SmoothPixmapTransform, true);
            tp.setRenderHint(QPainter::Antialiasing, true);
            tp.setTransform(tilt(QSizeF(size())));
            tp.drawImage(QRectF(0, 0, width(), height()), img);
            tiltedFrom_ = img.cacheKey();
        }
        p.drawImage(QPointF(0, 0), tilted_);
        return;
    }
    if (loadFailed_) {
        p.setFont(ui::font(TextStyle::caption));
        p.setPen(colors::secondary());
        p.drawText(rect(), Qt::AlignCenter, QString::fromUtf8(kFailureText));
        return;
    }
    // The busy indicator: an arc turning once a second.
    const QRectF r(width() / 2.0 - kSpinnerSize / 2.0, height() / 2.0 - kSpinnerSize / 2.0, kSpinnerSize, kSpinnerSize);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPen pen(colors::secondary(), 2.0);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    const int start = -(spinnerFrame_ % kSpinnerFramesPerTurn) * 360 * 16 / kSpinnerFramesPerTurn;
    p.drawArc(r, start, 270 * 16);
}

}  // namespace plindo::ui
