#pragma once
// The library pane of one deck: the status row above the browser. A bridged deck's browser is the remote of
// the DJ application's browser; any other deck's is a split of the crate column (on the window's outer edge)
// beside the track side: the diagnostics view, the empty-pane panel, the crate browser or the track list,
// by the pane's source. The pane keeps no state: it redraws from the controller's pane record.
#include "host/host_ui.h"
#include "ui/library/vinyl_crate_view.h"
#include "ui/main/focus_frame.h"
#include "ui/main/wave_floor.h"

#include <QLabel>
#include <QPointer>
#include <QWidget>


class QPushButton;
class QSplitter;
class QStackedWidget;

namespace plindo::ui {

class CoverSource;
class CrateTreeColumn;
class HostMainScreen;
class PaneStatusRow;
class SeratoBrowserPanel;
class TrackList;

class LibraryPane : public QWidget {
    Q_OBJECT

public:
    static constexpr int kCrateMinWidth = 150;
    static constexpr int kCrateIdealWidth = 190;
    static constexpr int kCrateMaxWidth = 280;
    static constexpr const char* kHint =
        "Drag a cover onto a deck to load  \u00b7  \u2191/\u2193 flip through  \u00b7  \u2190/\u2192 load left/right";

    enum class Side { dynamo, empty, crate, list };

    // `pane` is 0 or 1 (deck pane + 1). The screen holds the hover and focus paths the floor shows.
    LibraryPane(HostMainScreen& screen, int pane, QWidget* parent = nullptr);

    // The crate browser's cover source (the process' store by default); set before the pane first shows it.
    void setCoverSource(CoverSource* covers) { covers_ = covers; }

    int pane() const { return pane_; }
    bool bridged() const;
    Side side() const { return side_; }
    PaneStatusRow* statusRow() const { return status_; }
    SeratoBrowserPanel* seratoBrowser() const { return serato_; }
    QSplitter* split() const { return split_; }
    CrateTreeColumn* crateColumn() const { return crates_; }
    TrackList* trackList() const { return list_; }
    VinylCrateView* crateBrowser() const { return crate_; }
    QWidget* dynamoView() const { return dynamo_; }
    QWidget* emptyPanel() const { return empty_; }
    QLabel* emptyStatus() const { return emptyStatus_; }
    QPushButton* retryButton() const { return retry_; }
    QLabel* hint() const { return hint_; }
    WaveFloor* floor() const { return floor_; }
    FocusFrame* trackFrame() const;

    // Presses "LOAD" when the bridged browser shows; true when it did.
    bool pressLoadIfShown();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh();
    void showBrowser();
    void showSide(Side side);
    QWidget* makeCrateBrowser();

    HostMainScreen& screen_;
    host::HostUi& state_;
    int pane_;
    CoverSource* covers_ = nullptr;

    PaneStatusRow* status_;
    QStackedWidget* browser_;
    SeratoBrowserPanel* serato_;
    QSplitter* split_;
    CrateTreeColumn* crates_;
    QStackedWidget* trackSide_;
    QWidget* empty_;
    QLabel* emptyStatus_;
    QPushButton* retry_;
    QWidget* listBox_;
    TrackList* list_;
    Side side_ = Side::list;
    bool sideShown_ = false;

    // Rebuilt whenever the pane shows it again (its own state starts fresh).
    QPointer<QWidget> dynamo_;
    QPointer<QWidget> crateBox_;
    QPointer<VinylCrateView> crate_;
    QPointer<QLabel> hint_;
    QPointer<FocusFrame> crateFrame_;
    QPointer<WaveFloor> floor_;
    int crateSelection_ = 0;
    bool pressed_ = false;
};

}  // namespace plindo::ui
