#pragma once
// The crate column of a library pane: the pane's crate tree as flat painted rows. A top-level row opens and
// closes; a deeper one selects its crate; a chevron only opens and closes. The column is tinted while the
// pane's focus is on the crates and carries the crate list's focus frame.
#include "host/host_ui.h"
#include "ui/main/crate_rows.h"

#include <QListView>

#include <vector>

namespace plindo::ui {

class FocusFrame;

class CrateTreeColumn : public QListView {
    Q_OBJECT

public:
    static constexpr int kChevronWidth = 12;
    static constexpr int kSpacing = 4;
    static constexpr int kRowPadV = 2;

    CrateTreeColumn(host::HostUi& state, int pane, QWidget* parent = nullptr);

    const std::vector<CrateRow>& rows() const { return rows_; }
    // The row's rectangle and its chevron's, in viewport coordinates (empty for a row without one).
    QRect rowRect(int row) const;
    QRect chevronRect(int row) const;
    bool tinted() const;
    FocusFrame* focusFrame() const { return frame_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    class Model;
    class Delegate;
    void refresh();
    void toggle(const CrateRow& row);

    host::HostUi& state_;
    int pane_;
    Model* model_;
    FocusFrame* frame_;
    std::vector<CrateRow> rows_;
    std::optional<std::string> lastSelected_;
    int pressedRow_ = -1;
};

}  // namespace plindo::ui
