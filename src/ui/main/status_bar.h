#pragma once
// The bottom of the main screen, under both layouts: the channel blink row (the colour a phone reports for its
// channel blink) and the bar with "Decks…", the group cut ("Cut" / "CUT ●", also on the key "m"), the
// controller's status line in the room between them and the build badge, which blinks after the hidden trigger
// and opens the diagnostics sheet when tapped then.
#include "host/host_ui.h"
#include "ui/kit/frame_clock.h"

#include <QColor>
#include <QWidget>

#include <functional>

class QPushButton;
class QShortcut;

namespace plindo::ui {

class ElidedLabel;
class HostMainScreen;

// The blink dot's colour for a reported colour number.
QColor blinkDotColor(int colour);

// How the build badge looks at a moment: `dateSec` the wall time (it sets the phase), `mediaNow` and
// `blinkUntil` on the media clock.
struct BadgeLook {
    bool blinking = false;
    int64_t phase = 0;  // changes every 0.25 s
    QColor text;
    QColor fill;
    int padH = 0;
    bool operator==(const BadgeLook&) const = default;
};
BadgeLook badgeLook(double dateSec, double mediaNow, double blinkUntil);

class BuildBadge : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kBuild = "1215";

    // `dateNow` gives wall seconds; the default reads the system clock.
    BuildBadge(host::HostUi& state, FrameClock& clock, std::function<double()> dateNow = {}, QWidget* parent = nullptr);

    const BadgeLook& look() const { return look_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void tick();

    host::HostUi& state_;
    std::function<double()> dateNow_;
    FrameClock::Subscription sub_;
    double nextTick_ = -1;
    BadgeLook look_;
    bool pressed_ = false;
};

class StatusBar : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kBlinkCaption = "Channel blink (switch on the phone)";

    StatusBar(HostMainScreen& screen, FrameClock& clock = FrameClock::shared(), std::function<double()> dateNow = {},
              QWidget* parent = nullptr);

    QPushButton* decksButton() const { return decks_; }
    QPushButton* cutButton() const { return cut_; }
    QShortcut* cutShortcut() const { return cutKey_; }
    BuildBadge* badge() const { return badge_; }
    QColor dotColor() const;

private:
    void refreshCut();
    void refreshStatusLine();
    void toggleCut();

    HostMainScreen& screen_;
    host::HostUi& state_;
    QWidget* dot_;
    QPushButton* decks_;
    QPushButton* cut_;
    QShortcut* cutKey_;
    ElidedLabel* status_;
    BuildBadge* badge_;
};

}  // namespace plindo::ui
