#pragma once
// The crate browser's floor: the whole waveform of the hovered (or focused) track, tilted back about its
// bottom edge, with cues, loops and a chosen flip's play order. It loads the track's metadata from the host's
// track server and builds the envelope off the main thread, both kept for the next visit; a sweep across
// many covers starts nothing until the pointer rests 150 ms.
#include "motion/host_config.h"
#include "ui/kit/frame_clock.h"
#include "ui/library/wave_hover_store.h"

#include <QTimer>
#include <QWidget>

#include <memory>
#include <string>

namespace plindo::ui {

class WaveHoverPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int kDebounceMs = 150;
    static constexpr int kMessageHeight = 60;
    static constexpr double kTiltRadians = 0.9599310885968813;  // 55°
    static constexpr double kPerspective = 0.5;

    // `flipSel` indexes the metadata's flips; -1 (or any index without a flip) draws none. `store` defaults to
    // the process' one.
    WaveHoverPanel(std::string path, const motion::HostConfig& config, int flipSel, QWidget* parent = nullptr,
                   WaveHoverStore* store = nullptr);
    ~WaveHoverPanel() override;

    // A new track: clears the failure and loads.
    void setPath(const std::string& path);
    void setFlipSel(int flipSel);

    const std::string& path() const { return path_; }
    const WaveHoverStore::Env& env() const { return env_; }
    const WaveHoverStore::Meta& meta() const { return meta_; }
    bool loadFailed() const { return loadFailed_; }
    // The flip drawn, when the metadata has one at `flipSel`.
    const library::DeckMeta::Flip* selectedFlip() const;

    static constexpr const char* kFailureText = "Waveform unavailable (decode failed)";

    // The floor image at `size`: the canvas with its two glows, faded towards the edges, not yet tilted.
    QImage floorImage(QSize size, qreal dpr);
    // The tilt as a projective transform of the panel's rectangle of `size`.
    static QTransform tilt(QSizeF size);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void load();
    void runLoad();
    void applyCached(const std::string& path);
    void updateSpinner();

    std::string path_;
    const motion::HostConfig& config_;
    int flipSel_;
    WaveHoverStore& store_;

    WaveHoverStore::Env env_;
    WaveHoverStore::Meta meta_;
    bool loadFailed_ = false;

    QTimer wait_;                                   // the debounce before a load does any work
    std::string waitingPath_;                       // the path the wait is for
    std::shared_ptr<WaveHoverStore::Load> task_;    // the load past its wait
    FrameClock::Subscription spinner_;              // runs while the busy indicator shows
    int spinnerFrame_ = 0;
    // The floor image drawn through the tilt once, in device pixels, and the image it was drawn from.
    QImage tilted_;
    qint64 tiltedFrom_ = 0;
};

}  // namespace plindo::ui
