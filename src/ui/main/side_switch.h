#pragma once
// The centre column's library side switch: "link" with a check mark (green) while both library panes follow
// one crate, with a no-entry sign (dimmed) while each side browses on its own. Pressing flips `libSync`.
#include "host/host_ui.h"

#include <QAbstractButton>

namespace plindo::ui {

class SideSwitch : public QAbstractButton {
    Q_OBJECT

public:
    static constexpr int kHeight = 26;

    explicit SideSwitch(host::HostUi& state, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    host::HostUi& state_;
};

}  // namespace plindo::ui
