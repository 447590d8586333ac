#pragma once
// A bridged deck's library pane: a remote control of the DJ application's own browser. It shows the
// application's rows with its cursor lit, sends the arrow, tab and load commands, and turns a row tap into
// "load" (the cursor row of a track list) or "tap" (any other row).
#include "host/host_ui.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;

namespace plindo::ui {

class SeratoBrowserPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int kButtonW = 26;
    static constexpr int kButtonH = 22;

    SeratoBrowserPanel(host::HostUi& state, int pane, QWidget* parent = nullptr);

    QPushButton* loadButton() const { return load_; }
    QToolButton* commandButton(const std::string& command) const;
    QLabel* title() const { return title_; }
    // The rows as drawn: their count, the lit one (-1 for none) and a row's rectangle in the panel.
    int rowCount() const;
    int litRow() const;
    QRect rowRect(int row) const;

private:
    class Rows;
    void refresh();

    host::HostUi& state_;
    int pane_;
    QLabel* icon_;
    QLabel* title_;
    QScrollArea* scroll_;
    Rows* rows_;
    QPushButton* load_;
    host::SeratoBrowserSnapshot shown_;
    bool iconCrates_ = true;
};

}  // namespace plindo::ui
