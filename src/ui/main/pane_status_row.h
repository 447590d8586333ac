#pragma once
// The row above a library pane's browser: the deck's dot and name, the keyboard mark on the active pane and
// the pane's source switch ("Crate", "List" and, while unlocked, "Dynamo").
#include "host/host_ui.h"

#include <QWidget>

class QButtonGroup;
class QLabel;
class QToolButton;

namespace plindo::ui {

class PaneStatusRow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kSwitchWidth = 190;

    PaneStatusRow(host::HostUi& state, int pane, QWidget* parent = nullptr);

    QLabel* keyboardMark() const { return keyboard_; }
    // The switch's button for a source value ("kiste", "liste", "dynamo").
    QToolButton* sourceButton(const std::string& value) const;
    QWidget* sourceSwitch() const { return switch_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    host::HostUi& state_;
    int pane_;
    QLabel* keyboard_;
    QWidget* switch_;
    QButtonGroup* group_;
};

}  // namespace plindo::ui
