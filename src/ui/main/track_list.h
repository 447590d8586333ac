#pragma once
// The plain track list of a library pane: one painted row per track, the selected one lit. A tap selects the
// row and hands the keyboard to the tracks; a dragged row carries its path as plain text.
#include "host/host_ui.h"

#include <QListView>

#include <vector>

namespace plindo::ui {

class FocusFrame;

class TrackList : public QListView {
    Q_OBJECT

public:
    static constexpr int kPadV = 3;
    static constexpr int kPadH = 6;

    TrackList(host::HostUi& state, int pane, QWidget* parent = nullptr);

    FocusFrame* focusFrame() const { return frame_; }
    QRect rowRect(int row) const;
    // The payload of a dragged row.
    QMimeData* payload(int row) const;

protected:
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    class Model;
    class Delegate;
    void refresh();
    void tapped(int row);

    host::HostUi& state_;
    int pane_;
    Model* model_;
    FocusFrame* frame_;
    std::vector<library::LibTrack> tracks_;
    int selected_;
    bool shown_ = false;
    int pressedRow_ = -1;
};

}  // namespace plindo::ui
