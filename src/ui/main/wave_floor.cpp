#include "ui/main/wave_floor.h"

#include "ui/library/wave_hover_panel.h"
#include "ui/main/host_main_screen.h"

#include <QVBoxLayout>

namespace plindo::ui {

FloorChoice waveFloorChoice(const std::optional<std::string>& hover, const std::optional<std::string>& focus,
                            int focusedFlip) {
    FloorChoice c;
    c.path = hover ? hover : focus;
    c.flip = hover && focus && *hover == *focus ? focusedFlip : -1;
    return c;
}

WaveFloor::WaveFloor(HostMainScreen& screen, int pane, QWidget* parent)
    : QWidget(parent), screen_(screen), pane_(pane) {
    setObjectName("waveFloor");
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    const auto mine = [this](int pane) {
        if (pane == pane_) refresh();
    };
    connect(&screen_, &HostMainScreen::hoverPathChanged, this, mine);
    connect(&screen_, &HostMainScreen::focusPathChanged, this, mine);
    refresh();
}

void WaveFloor::setFocusedFlip(int flip) {
    if (flip == focusedFlip_) return;
    focusedFlip_ = flip;
    refresh();
}

void WaveFloor::refresh() {
    const FloorChoice c = waveFloorChoice(screen_.hoverPath(pane_), screen_.focusPath(pane_), focusedFlip_);
    if (c == choice_ && (panel_ != nullptr) == c.path.has_value()) return;
    choice_ = c;
    if (!c.path) {
        delete panel_;
        panel_ = nullptr;
        return;
    }
    if (!panel_) {
        panel_ = new WaveHoverPanel(*c.path, screen_.state().config(), c.flip, this);
        layout()->addWidget(panel_);
        return;
    }
    if (panel_->path() != *c.path) panel_->setPath(*c.path);
    panel_->setFlipSel(c.flip);
}

}  // namespace plindo::ui
