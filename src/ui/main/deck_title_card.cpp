#include "ui/main/deck_title_card.h"

#include "host/host_ui.h"
#include "ui/kit/colors.h"
#include "ui/kit/elided_label.h"
#include "ui/kit/image_tile.h"
#include "ui/kit/label_style.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"
#include "ui/main/deck_slider_labels.h"
#include "ui/main/display_text.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace plindo::ui {

namespace {

constexpr int kGearPx = 18;

QLabel* timeLabel(TextStyle style, const QColor& color) {
    QLabel* l = styledLabel(monoFont(style), color);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return l;
}

}  // namespace

QToolButton* makeGearButton(QWidget* parent) {
    auto* gear = new QToolButton(parent);
    gear->setAutoRaise(true);
    gear->setFocusPolicy(Qt::NoFocus);
    gear->setIconSize(QSize(kGearPx, kGearPx));
    gear->setToolTip(QStringLiteral("Swap platter readings and chyron"));
    showGearOpen(gear, false);
    return gear;
}

void showGearOpen(QToolButton* gear, bool open) {
    const char* symbol = open ? "gearshape.fill" : "gearshape";
    gear->setProperty("symbol", symbol);
    gear->setIcon(systemIcon(symbol, kGearPx, colors::secondary()));
}

DeckTitleCard::DeckTitleCard(host::HostUi& host, int deckIndex, QWidget* parent)
    : QWidget(parent), host_(host), deck_(deckIndex + 1) {
    tile_ = new ImageTile(kTileSide, 4);

    title_ = new ElidedLabel;
    QFont titleFont = ui::font(TextStyle::title3);
    titleFont.setWeight(QFont::DemiBold);
    title_->setFont(titleFont);
    artist_ = new ElidedLabel;
    artist_->setFont(ui::font(TextStyle::callout));
    artist_->setColor(colors::secondary());
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    names->addStretch(1);
    names->addWidget(title_);
    names->addWidget(artist_);
    names->addStretch(1);

    elapsed_ = timeLabel(TextStyle::title3, colors::primary());
    remaining_ = timeLabel(TextStyle::callout, colors::secondary());
    auto* times = new QVBoxLayout;
    times->setSpacing(2);
    times->addStretch(1);
    times->addWidget(elapsed_);
    times->addWidget(remaining_);
    times->addStretch(1);

    mode_ = new QPushButton;
    mode_->setFocusPolicy(Qt::NoFocus);
    QFont modeFont = ui::font(TextStyle::caption2);
    modeFont.setWeight(QFont::DemiBold);
    mode_->setFont(modeFont);
    mode_->setFixedSize(kModeWidth, 16);
    connect(mode_, &QPushButton::clicked, this, [this] { host_.setZoomAuto(deck_, !autoShown_); });

    slider_ = new QSlider(Qt::Horizontal);
    slider_->setFocusPolicy(Qt::NoFocus);
    slider_->setRange(-23, 0);
    slider_->setSingleStep(1);
    slider_->setPageStep(1);
    slider_->setFixedWidth(kSliderWidth);
    // Only the user's moves reach the controller: rebuilds set the value with signals blocked.
    connect(slider_, &QSlider::valueChanged, this, [this](int v) { host_.setZoom(deck_, v); });

    zoomLabel_ = styledLabel(ui::font(TextStyle::caption2), colors::secondary());
    zoomLabel_->setAlignment(Qt::AlignCenter);
    auto* zoom = new QVBoxLayout;
    zoom->setSpacing(1);
    zoom->addStretch(1);
    zoom->addWidget(mode_, 0, Qt::AlignHCenter);
    zoom->addWidget(slider_, 0, Qt::AlignHCenter);
    zoom->addWidget(zoomLabel_, 0, Qt::AlignHCenter);
    zoom->addStretch(1);

    gear_ = makeGearButton(this);
    connect(gear_, &QToolButton::clicked, this, &DeckTitleCard::gearPressed);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 0, 10, 0);
    row->setSpacing(10);
    row->addWidget(tile_);
    row->addLayout(names, 1);
    row->addSpacing(6);
    row->addLayout(times);
    row->addLayout(zoom);
    row->addWidget(gear_);

    connect(&host_, &host::HostUi::decksChanged, this, &DeckTitleCard::refresh);
    connect(&host_, &host::HostUi::djLogoChanged, this, &DeckTitleCard::refresh);
    connect(&host_, &host::HostUi::configChanged, this, &DeckTitleCard::refresh);
    // A stopped deck without a phone publishes no other change: the zoom control follows the user by itself.
    connect(&host_, &host::HostUi::zoomChanged, this, &DeckTitleCard::showZoom);
    refresh();
}

void DeckTitleCard::setTechOpen(bool open) { showGearOpen(gear_, open); }

void DeckTitleCard::refresh() {
    const host::DeckInfo& d = host_.deck(deck_);
    if (!d.cover.isNull()) {
        tile_->setImage(d.cover);
    } else if (!d.path.empty()) {
        tile_->setImage(host_.djLogo());  // null without a logo: the deck colour shows
    } else {
        tile_->setImage(QImage());  // an empty deck never shows the logo
    }
    tile_->setFallback(colors::withOpacity(colors::deck(deck_), 0.35));

    const auto [artist, title] = splitDisplayName(d.name);
    title_->setText(QString::fromStdString(title));
    artist_->setText(QString::fromStdString(artist));
    elapsed_->setText(QString::fromStdString(formatMinSec(d.posSec)));
    double left = d.durationSec - d.posSec;
    if (!(left >= 0)) left = 0;
    remaining_->setText(QStringLiteral("\u2212") + QString::fromStdString(formatMinSec(left)));
    showZoom();
}

void DeckTitleCard::showZoom() {
    autoShown_ = host_.zoomAuto(deck_);
    const double step = host_.zoom(deck_);
    mode_->setText(autoShown_ ? QStringLiteral("Auto") : QStringLiteral("Manual"));
    if (!slider_->isSliderDown()) {
        const QSignalBlocker quiet(slider_);
        slider_->setValue(std::isfinite(step) ? int(std::lround(std::clamp(step, -23.0, 0.0))) : 0);
    }
    zoomLabel_->setText(QString::fromStdString(autoShown_ ? waveyLabel(step) : sizeLabel(step)));
}

void DeckTitleCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), colors::withOpacity(colors::deck(deck_), 0.16));
}

}  // namespace plindo::ui
