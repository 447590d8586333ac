#pragma once
// One deck's motion diagnostics: the latest record of the phone's estimator drawn on black (always the stato
// picture, whatever turn the phone reports), a row of labels along the top and, while the record is live, the
// overlay texts along the bottom; a placeholder while no record younger than 1 s exists. It changes nothing.
#include "host/host_ui_types.h"
#include "ui/kit/frame_clock.h"

#include <QImage>
#include <QSizeF>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace plindo::host {
class HostUi;
}

namespace plindo::ui {

class DynamoHostView : public QWidget {
    Q_OBJECT

public:
    // Paints one frame into a black canvas of the given size.
    using Draw = std::function<void(QPainter&, const motion::DynamoFrame&, QSizeF)>;

    // `deck` is 1 or 2.
    DynamoHostView(host::HostUi& host, int deck, QWidget* parent = nullptr);

    // Replaces the drawing (tests watch what is drawn).
    void setDraw(Draw draw);

    // What the last rebuild shows.
    bool live() const { return live_; }
    const std::vector<std::string>& topRow() const { return top_; }
    const std::vector<std::string>& bottomRow() const { return bottom_; }  // empty unless live
    const std::vector<std::string>& placeholder() const { return placeholder_; }  // empty while live
    int rebuilds() const { return rebuilds_; }

    // The top row's texts, the placeholder's two lines and the bottom row of one snapshot.
    static std::vector<std::string> topRowOf(const host::DynamoSnapshot& s);
    static std::vector<std::string> placeholderOf(const host::DynamoSnapshot& s, int deck);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuild();
    void paintTopRow(QPainter& p);
    void paintBottomRow(QPainter& p);

    host::HostUi& host_;
    const int deck_;
    Draw draw_;
    bool live_ = false;
    std::vector<std::string> top_;
    std::vector<std::string> bottom_;
    std::vector<std::string> placeholder_;
    QImage canvas_;
    int ticks_ = 0;
    int rebuilds_ = 0;
    FrameClock::Subscription frames_;
};

}  // namespace plindo::ui
