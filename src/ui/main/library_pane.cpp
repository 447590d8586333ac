#include "ui/main/library_pane.h"

#include "ui/kit/colors.h"
#include "ui/kit/text_styles.h"
#include "ui/library/vinyl_crate_view.h"
#include "ui/main/crate_tree_column.h"
#include "ui/main/dynamo_host_view.h"
#include "ui/main/focus_frame.h"
#include "ui/main/host_main_screen.h"
#include "ui/main/pane_status_row.h"
#include "ui/main/serato_browser_panel.h"
#include "ui/main/track_list.h"
#include "ui/main/wave_floor.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace plindo::ui {

namespace {

constexpr int kHintPadBottom = 4;

}  // namespace

LibraryPane::LibraryPane(HostMainScreen& screen, int pane, QWidget* parent)
    : QWidget(parent), screen_(screen), state_(screen.state()), pane_(pane) {
    setObjectName(pane == 0 ? "libraryPane1" : "libraryPane2");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    status_ = new PaneStatusRow(state_, pane_);
    column->addWidget(status_);

    serato_ = new SeratoBrowserPanel(state_, pane_);

    crates_ = new CrateTreeColumn(state_, pane_);
    crates_->setMinimumWidth(kCrateMinWidth);
    crates_->setMaximumWidth(kCrateMaxWidth);

    trackSide_ = new QStackedWidget;
    trackSide_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    empty_ = new QWidget;
    empty_->setObjectName("emptyPanel");
    auto* emptyStack = new QVBoxLayout(empty_);
    emptyStack->setSpacing(12);
    emptyStack->addStretch(1);
    emptyStatus_ = new QLabel;
    emptyStatus_->setAlignment(Qt::AlignCenter);
    emptyStatus_->setWordWrap(true);
    QPalette secondary = emptyStatus_->palette();
    secondary.setColor(QPalette::WindowText, colors::secondary());
    emptyStatus_->setPalette(secondary);
    emptyStack->addWidget(emptyStatus_);
    retry_ = new QPushButton("Retry");
    retry_->setObjectName("retry");
    retry_->setAutoDefault(false);
    // Each press starts another load; nothing waits for the one before.
    connect(retry_, &QPushButton::clicked, this, [this] { state_.reloadLibrary(); });
    emptyStack->addWidget(retry_, 0, Qt::AlignHCenter);
    emptyStack->addStretch(1);
    trackSide_->addWidget(empty_);

    listBox_ = new QWidget;
    auto* listLayout = new QVBoxLayout(listBox_);
    listLayout->setContentsMargins(0, 0, 0, 0);
    list_ = new TrackList(state_, pane_);
    listLayout->addWidget(list_);
    trackSide_->addWidget(listBox_);

    split_ = new QSplitter(Qt::Horizontal);
    split_->setChildrenCollapsible(false);
    // The crate column sits on the window's outer edge: left of deck 1's tracks, right of deck 2's.
    if (pane_ == 0) {
        split_->addWidget(crates_);
        split_->addWidget(trackSide_);
    } else {
        split_->addWidget(trackSide_);
        split_->addWidget(crates_);
    }
    const int crateIndex = pane_ == 0 ? 0 : 1;
    split_->setStretchFactor(crateIndex, 0);
    split_->setStretchFactor(1 - crateIndex, 1);
    QList<int> sizes{kCrateIdealWidth, 10000};
    if (pane_ == 1) std::swap(sizes[0], sizes[1]);
    split_->setSizes(sizes);

    browser_ = new QStackedWidget;
    browser_->addWidget(serato_);
    browser_->addWidget(split_);
    column->addWidget(browser_, 1);

    connect(&state_, &host::HostUi::panesChanged, this, &LibraryPane::refresh);
    // Decks change many times a second; only the bridge matters here.
    connect(&state_, &host::HostUi::decksChanged, this, &LibraryPane::showBrowser);
    connect(&state_, &host::HostUi::activePaneChanged, this, &LibraryPane::refresh);
    refresh();
}

bool LibraryPane::bridged() const { return state_.isSeratoDeck(pane_ + 1); }

FocusFrame* LibraryPane::trackFrame() const { return side_ == Side::crate ? crateFrame_.data() : list_->focusFrame(); }

void LibraryPane::showBrowser() {
    QWidget* want = bridged() ? static_cast<QWidget*>(serato_) : split_;
    if (browser_->currentWidget() != want) browser_->setCurrentWidget(want);
}

void LibraryPane::refresh() {
    showBrowser();
    const host::LibPane& p = state_.panes()[size_t(pane_)];
    emptyStatus_->setText(QString::fromStdString(p.status));
    Side side = p.view == "dynamo"  ? Side::dynamo
                : p.tracks.empty()  ? Side::empty
                : p.view == "kiste" ? Side::crate
                                    : Side::list;
    showSide(side);
    if (crateFrame_) crateFrame_->setLit(state_.activePane() == pane_ && p.focus == host::LibFocus::tracks);
    if (crate_) {
        crate_->setTracks(p.tracks);
        if (p.selectedTrackIdx != crateSelection_) {
            crateSelection_ = p.selectedTrackIdx;
            crate_->inputsChanged();
        }
    }
}

void LibraryPane::showSide(Side side) {
    if (side == side_ && sideShown_) return;
    const Side old = std::exchange(side_, side);
    sideShown_ = true;
    // Later, not at once: the change may come from inside the view being replaced.
    if (old == Side::crate && side != Side::crate && crateBox_) {
        crateBox_->deleteLater();
        crateBox_ = nullptr;
        crate_ = nullptr;
        hint_ = nullptr;
        crateFrame_ = nullptr;
        floor_ = nullptr;
        screen_.setHoverPath(pane_, std::nullopt);
    }
    if (old == Side::dynamo && side != Side::dynamo && dynamo_) {
        dynamo_->deleteLater();
        dynamo_ = nullptr;
    }
    switch (side) {
        case Side::dynamo:
            if (!dynamo_) {
                dynamo_ = new DynamoHostView(state_, pane_ + 1);
                dynamo_->setObjectName("dynamoView");
                trackSide_->addWidget(dynamo_);
            }
            trackSide_->setCurrentWidget(dynamo_);
            break;
        case Side::empty: trackSide_->setCurrentWidget(empty_); break;
        case Side::crate:
            if (!crateBox_) trackSide_->addWidget(makeCrateBrowser());
            trackSide_->setCurrentWidget(crateBox_);
            break;
        case Side::list: trackSide_->setCurrentWidget(listBox_); break;
    }
}

QWidget* LibraryPane::makeCrateBrowser() {
    crateBox_ = new QWidget;
    crateBox_->setObjectName("crateBox");
    auto* l = new QVBoxLayout(crateBox_);
    l->setContentsMargins(0, 0, 0, 0);
    crate_ = covers_ ? new VinylCrateView(*covers_) : new VinylCrateView;
    l->addWidget(crate_);

    motion::HostConfig& config = state_.config();
    crate_->coverURL = [&config](const std::string& path) { return config.coverArtURL(path); };
    crate_->tagsURL = [&config](const std::string& path) { return config.tagsURL(path); };
    crate_->metaURL = [&config](const std::string& path) { return config.deckMetaURL(path); };
    crate_->dragProvider = [](const std::string& path) { return VinylCrateView::textPayload(path); };
    crate_->onHoverPath = [this](const VinylCrateView::OptPath& path) { screen_.setHoverPath(pane_, path); };
    crate_->onFocusPath = [this](const VinylCrateView::OptPath& path) {
        screen_.setFocusPath(pane_, path);
        state_.writeLibFocusPath(pane_, path.value_or(""));
    };
    crate_->selectedIdxGet = [this] { return state_.panes()[size_t(pane_)].selectedTrackIdx; };
    crate_->selectedIdxSet = [this](int index) { state_.writeSelectedTrackIdx(pane_, index); };
    crate_->onEntryCount = [this](int count) { state_.writeLibEntryCount(pane_, count); };
    crate_->floorOverlay = [this](double, int flip) -> QWidget* {
        if (!floor_) floor_ = new WaveFloor(screen_, pane_);
        floor_->setFocusedFlip(flip);
        return floor_;
    };

    crateFrame_ = new FocusFrame(crateBox_);
    hint_ = new QLabel(kHint, crateBox_);
    hint_->setObjectName("crateHint");
    hint_->setFont(ui::font(TextStyle::caption));
    hint_->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
    hint_->setWordWrap(true);  // a narrow crate shows it on more lines, never cut
    hint_->setAttribute(Qt::WA_TransparentForMouseEvents);
    QPalette tertiary = hint_->palette();
    tertiary.setColor(QPalette::WindowText, colors::tertiary());
    hint_->setPalette(tertiary);
    crateBox_->installEventFilter(this);

    const host::LibPane& p = state_.panes()[size_t(pane_)];
    crate_->setTracks(p.tracks);
    crateSelection_ = p.selectedTrackIdx;
    crate_->inputsChanged();
    return crateBox_;
}

bool LibraryPane::eventFilter(QObject* watched, QEvent* event) {
    if (watched == crateBox_ && (event->type() == QEvent::Resize || event->type() == QEvent::Show) && hint_) {
        const int h = hint_->heightForWidth(crateBox_->width()) + kHintPadBottom;
        hint_->setGeometry(0, crateBox_->height() - h, crateBox_->width(), h - kHintPadBottom);
        hint_->raise();
        if (crateFrame_) crateFrame_->raise();
    }
    return false;
}

bool LibraryPane::pressLoadIfShown() {
    if (!bridged() || !isVisible()) return false;
    serato_->loadButton()->click();
    return true;
}

// A tap no control of the pane takes makes the pane the active one.
void LibraryPane::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

void LibraryPane::mouseReleaseEvent(QMouseEvent* event) {
    if (std::exchange(pressed_, false) && rect().contains(event->position().toPoint())) state_.setActivePane(pane_);
}

}  // namespace plindo::ui
