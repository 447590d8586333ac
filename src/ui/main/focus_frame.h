#pragma once
// The thin outline that marks the list of the active pane that receives the keyboard. It lies over its parent,
// follows the parent's size and lets every mouse event through to the list below.
#include <QWidget>

namespace plindo::ui {

class FocusFrame : public QWidget {
    Q_OBJECT

public:
    explicit FocusFrame(QWidget* parent);

    bool lit() const { return lit_; }
    void setLit(bool lit);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool lit_ = false;
};

}  // namespace plindo::ui
