#include "ui/main/deck_wave_column.h"

#include "host/host_ui.h"
#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"

#include <QPainter>
#include <QPainterPath>

namespace plindo::ui {

namespace {

constexpr int kLetterTop = 3;
constexpr double kLetterOpacity = 0.55;

void strokeAcross(QPainter& p, const WaveGeometry::Line& line, double W) {
    QPen pen(line.color, line.width);
    pen.setCapStyle(Qt::FlatCap);
    p.setPen(pen);
    p.drawLine(QLineF(0, line.y, W, line.y));
}

}  // namespace

void paintDeckWave(QPainter& p, const WaveGeometry& g) {
    const double W = g.width, H = g.height;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setClipRect(QRectF(0, 0, W, H));
    p.fillRect(QRectF(0, 0, W, H), Qt::black);
    p.setRenderHint(QPainter::Antialiasing, true);

    p.setPen(Qt::NoPen);
    for (const auto& q : g.quads) {
        p.setBrush(q.color);
        p.drawPolygon(q.corners.data(), 4, Qt::WindingFill);
    }
    p.setBrush(Qt::NoBrush);

    for (const auto& line : g.gridLines) strokeAcross(p, line, W);
    if (!g.barLabels.empty()) {
        p.setFont(systemFont(9, QFont::DemiBold));
        for (const auto& label : g.barLabels) {
            p.setPen(label.color);
            p.drawText(label.bottomLeft, QString::fromStdString(label.text));
        }
    }
    for (const auto& loop : g.loops) {
        p.fillRect(QRectF(0, loop.top, W, loop.bottom - loop.top), loop.bandColor);
        for (const auto& line : loop.lines) strokeAcross(p, line, W);
    }
    for (const auto& cue : g.cueLines) strokeAcross(p, cue, W);
    strokeAcross(p, g.playhead, W);
    p.restore();
}

DeckWaveColumn::DeckWaveColumn(host::HostUi& host, int deck, QWidget* parent)
    : QWidget(parent), host_(host), deck_(deck) {
    setMaximumWidth(kMaxWidth);
    setMinimumSize(0, 0);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The controller publishes positions with the decks; the frames catch the zoom and the cue rows.
    connect(&host_, &host::HostUi::decksChanged, this, &DeckWaveColumn::follow);
    frames_ = FrameClock::shared().subscribeFollow([this] { return follow(); });
    // A new envelope may take the address of the one it replaced.
    connect(&host_, &host::HostUi::deckEnvChanged, this, qOverload<>(&QWidget::update));
    connect(&host_, &host::HostUi::deckMarksChanged, this, qOverload<>(&QWidget::update));
}

DeckWaveColumn::Inputs DeckWaveColumn::inputs() const {
    return {host_.deck(deck_).posSec, host_.zoom(deck_), host_.deckEnv(deck_).get(), host_.deckMarks(deck_).get(),
            host_.seratoCueRows(deck_), size()};
}

bool DeckWaveColumn::follow() {
    // A stopped deck costs no repaint.
    Inputs now = inputs();
    if (now == shown_) return false;
    shown_ = std::move(now);
    update();
    return true;
}

WaveGeometry DeckWaveColumn::frame() const {
    const auto env = host_.deckEnv(deck_);
    const auto marks = host_.deckMarks(deck_);
    return computeWaveGeometry(host_.deck(deck_).posSec, host_.zoom(deck_), env.get(), marks.get(),
                               host_.seratoCueRows(deck_), width(), height());
}

void DeckWaveColumn::paintEvent(QPaintEvent*) {
    shown_ = inputs();
    QPainter p(this);
    paintDeckWave(p, frame());
    p.setFont(monoSystemFont(10, QFont::Bold));
    p.setPen(colors::withOpacity(Qt::white, kLetterOpacity));
    p.drawText(QRect(0, kLetterTop, width(), height() - kLetterTop), Qt::AlignHCenter | Qt::AlignTop,
               deck_ == 1 ? QStringLiteral("L") : QStringLiteral("R"));
}

}  // namespace plindo::ui
