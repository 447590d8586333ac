#include "ui/main/dynamo_host_view.h"

#include "host/host_ui.h"
#include "ui/kit/colors.h"
#include "ui/kit/printf_text.h"
#include "ui/kit/text_styles.h"
#include "ui/main/dynamo_scene.h"
#include "ui/main/dynamo_texts.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace plindo::ui {

namespace {

using motion::DynamoGate::Feed;
using motion::DynamoGate::Turn;

constexpr int kFramesPerRebuild = 2;   // at most 30 rebuilds a second on the 60 Hz frame clock
constexpr int kScenesItem = 3;         // the top row's item that may shrink
constexpr double kTopOpacity = 0.35;
constexpr double kBottomOpacity = 0.3;

const char* const kStale = "ALT";

}  // namespace

std::vector<std::string> DynamoHostView::topRowOf(const host::DynamoSnapshot& s) {
    const auto& f = s.frame;
    const auto status = DynamoGate::statusLine(f);
    std::vector<std::string> row{
        f.origin.empty() ? std::string("—") : f.origin,
        f.mode.feed == Feed::lgs ? "LGS" : "Legacy",
        f.mode.turn == Turn::stato ? "STATO" : "DYNAMO (hier stato)",
        status[1],
        status[2],
    };
    if (f.tailThinned) row.emplace_back("Schweif ausgeduennt");
    row.emplace_back(f.outline.source == motion::DeviceOutline::Source::gemeldet ? "Schirm, vom Geraet gemeldet"
                                                                                  : "nicht gemeldet");
    if (!s.live) row.emplace_back(kStale);
    return row;
}

std::vector<std::string> DynamoHostView::placeholderOf(const host::DynamoSnapshot& s, int deck) {
    return {printfText("keine Diagnose von Deck %lld", static_cast<long long>(deck)),
            std::isfinite(s.age) ? printfText("letzte Meldung vor %.0f s", s.age) : std::string("noch nie etwas empfangen")};
}

DynamoHostView::DynamoHostView(host::HostUi& host, int deck, QWidget* parent)
    : QWidget(parent), host_(host), deck_(deck) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    draw_ = [this](QPainter& p, const motion::DynamoFrame& f, QSizeF size) {
        paintDynamoScene(p, buildDynamoScene(f, size, DynamoGate::signFlipBits(host_.config())), size);
    };
    rebuild();
    frames_ = FrameClock::shared().subscribe([this] {
        if (ticks_++ % kFramesPerRebuild == 0) rebuild();
    });
}

void DynamoHostView::setDraw(Draw draw) {
    draw_ = std::move(draw);
    rebuild();
}

void DynamoHostView::resizeEvent(QResizeEvent*) { rebuild(); }

void DynamoHostView::rebuild() {
    ++rebuilds_;
    const host::DynamoSnapshot s = host_.dynamo(deck_);
    live_ = s.live;
    top_ = topRowOf(s);
    bottom_.clear();
    placeholder_.clear();
    if (live_) {
        const auto overlay = DynamoGate::overlayText(s.frame, DynamoGate::signFlipBits(host_.config()));
        bottom_.assign(overlay.begin(), overlay.end());
        // The host always draws the stato picture; the feed stays.
        motion::DynamoFrame copy = s.frame;
        copy.mode.turn = Turn::stato;
        const double dpr = devicePixelRatioF();
        canvas_ = QImage((QSizeF(size()) * dpr).toSize().expandedTo({1, 1}), QImage::Format_ARGB32_Premultiplied);
        canvas_.setDevicePixelRatio(dpr);
        canvas_.fill(Qt::black);
        QPainter p(&canvas_);
        draw_(p, copy, QSizeF(size()));
    } else {
        placeholder_ = placeholderOf(s, deck_);
        canvas_ = QImage();
    }
    update();
}

void DynamoHostView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (live_ && !canvas_.isNull()) {
        p.drawImage(QPointF(0, 0), canvas_);
    } else if (placeholder_.size() == 2) {
        const QColor c = colors::withOpacity(Qt::white, kTopOpacity);
        const QFont head = ui::font(TextStyle::headline), cap = ui::font(TextStyle::caption);
        const double h1 = QFontMetricsF(head).height(), h2 = QFontMetricsF(cap).height(), gap = 8;
        const double top = (height() - (h1 + gap + h2)) / 2;
        p.setPen(c);
        p.setFont(head);
        p.drawText(QRectF(0, top, width(), h1), Qt::AlignCenter, QString::fromStdString(placeholder_[0]));
        p.setFont(cap);
        p.drawText(QRectF(0, top + h1 + gap, width(), h2), Qt::AlignCenter, QString::fromStdString(placeholder_[1]));
    }
    paintTopRow(p);
    paintBottomRow(p);
}

// One line, spacing 10, centred; the scenes item shrinks to half its size at most when the row is too wide.
void DynamoHostView::paintTopRow(QPainter& p) {
    constexpr double kSpacing = 10, kSide = 10, kTop = 6;
    const QFont base = monoSystemFont(10);
    const double avail = width() - 2 * kSide;
    std::vector<double> widths;
    double total = kSpacing * double(std::max<size_t>(top_.size(), 1) - 1);
    for (const auto& t : top_) widths.push_back(QFontMetricsF(base).horizontalAdvance(QString::fromStdString(t)));
    for (double w : widths) total += w;
    QFont scenes = base;
    if (total > avail && top_.size() > kScenesItem) {
        const double wScenes = widths[kScenesItem];
        const double scale = std::clamp((wScenes - (total - avail)) / std::max(wScenes, 1.0), 0.5, 1.0);
        scenes = monoSystemFont(std::max(5, int(std::floor(10 * scale))));
        total -= wScenes;
        widths[kScenesItem] = QFontMetricsF(scenes).horizontalAdvance(QString::fromStdString(top_[kScenesItem]));
        total += widths[kScenesItem];
    }
    double x = kSide + std::max(0.0, (avail - total) / 2);
    const double lineH = QFontMetricsF(base).height();
    for (size_t i = 0; i < top_.size(); ++i) {
        const bool stale = top_[i] == kStale && i + 1 == top_.size() && !live_;
        p.setFont(i == kScenesItem ? scenes : base);
        p.setPen(stale ? colors::orange() : colors::withOpacity(Qt::white, kTopOpacity));
        p.drawText(QRectF(x, kTop, widths[i] + 1, lineH), Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(top_[i]));
        x += widths[i] + kSpacing;
    }
}

// The three overlay texts side by side at the bottom edge, each wrapping within its share of the width.
void DynamoHostView::paintBottomRow(QPainter& p) {
    if (bottom_.empty()) return;
    constexpr double kSpacing = 8, kSide = 12, kBottom = 8;
    const QFont f = monoSystemFont(10);
    const QFontMetricsF fm(f);
    const double avail = width() - 2 * kSide - kSpacing * double(bottom_.size() - 1);
    std::vector<double> widths;
    double total = 0;
    for (const auto& t : bottom_) {
        widths.push_back(fm.horizontalAdvance(QString::fromStdString(t)) + 1);
        total += widths.back();
    }
    // Too wide: the texts narrower than an even share keep their width, the others share what is left.
    if (total > avail) {
        std::vector<bool> fixed(widths.size(), false);
        for (bool changed = true; changed;) {
            changed = false;
            double left = avail;
            int open = 0;
            for (size_t i = 0; i < widths.size(); ++i) fixed[i] ? left -= widths[i] : ++open;
            for (size_t i = 0; i < widths.size(); ++i)
                if (!fixed[i] && open > 0 && widths[i] <= left / open) fixed[i] = changed = true;
            if (!changed) {
                double rest = 0;
                for (size_t i = 0; i < widths.size(); ++i) rest += fixed[i] ? 0 : widths[i];
                for (size_t i = 0; i < widths.size(); ++i)
                    if (!fixed[i]) widths[i] = std::max(1.0, left * widths[i] / std::max(rest, 1.0));
            }
        }
    }
    double used = kSpacing * double(bottom_.size() - 1);
    for (double w : widths) used += w;
    double x = kSide + std::max(0.0, (width() - 2 * kSide - used) / 2);
    p.setFont(f);
    p.setPen(colors::withOpacity(Qt::white, kBottomOpacity));
    for (size_t i = 0; i < bottom_.size(); ++i) {
        const QString t = QString::fromStdString(bottom_[i]);
        const QRectF box = fm.boundingRect(QRectF(0, 0, widths[i], 1e4), Qt::TextWordWrap, t);
        const double h = box.height();
        p.drawText(QRectF(x, height() - kBottom - h, widths[i], h), Qt::TextWordWrap | Qt::AlignLeft, t);
        x += widths[i] + kSpacing;
    }
}

}  // namespace plindo::ui
