#pragma once
// The crate browser's floor: the waveform of its pane's hovered card, else of its focused one. The crate hands over
// its focused entry's flip; it is drawn only while the pointer rests on that focused card, so a hovered car
// of another track never shows a flip that is not its own.
#include "motion/host_config.h"

#include <QWidget>

#include <optional>
#include <string>

namespace plindo::ui {

class HostMainScreen;
class WaveHoverPanel;

struct FloorChoice {
    std::optional<std::string> path;  // none: the floor is empty
    int flip = -1;
    bool operator==(const FloorChoice&) const = default;
};
FloorChoice waveFloorChoice(const std::optional<std::string>& hover, const std::optional<std::string>& focus,
                            int focusedFlip);

class WaveFloor : public QWidget {
    Q_OBJECT

public:
    // Shows the paths of library pane `pane` (0 or 1).
    WaveFloor(HostMainScreen& screen, int pane, QWidget* parent = nullptr);

    // The flip of the crate's focused entry (-1 for the track itself).
    void setFocusedFlip(int flip);
    const FloorChoice& choice() const { return choice_; }
    WaveHoverPanel* panel() const { return panel_; }

private:
    void refresh();

    HostMainScreen& screen_;
    int pane_;
    int focusedFlip_ = -1;
    FloorChoice choice_;
    WaveHoverPanel* panel_ = nullptr;
};

}  // namespace plindo::ui
