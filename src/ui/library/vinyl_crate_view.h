#pragma once
// The cover-flow crate browser of a library pane: the pane's tracks (and their flips) as a crate of covers
// scrolling past a lip. The cover on the focus line is the focused entry; the covers before it recede as a
// train behind the lip; a panel names it and a caller's floor view lies under it. One painted widget over a
// plain model: the geometry is closed-form, so a frame costs the same for ten tracks or ten thousand.
#include "library/lib_track.h"
#include "ui/kit/frame_clock.h"
#include "ui/library/cover_source.h"
#include "ui/library/crate_covers.h"
#include "ui/library/crate_geometry.h"
#include "ui/library/crate_model.h"
#include "ui/library/track_meta_loader.h"

#include <QImage>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QMimeData;

namespace plindo::ui {

struct CratePanelText;

class VinylCrateView : public QWidget {
    Q_OBJECT

public:
    using Track = library::LibTrack;
    using OptPath = std::optional<std::string>;
    using UrlOf = std::function<std::optional<std::string>(const std::string& path)>;

    static constexpr int kScrollToMs = 220;
    static constexpr double kPixelsPerWheelLine = 20;  // as a plain Qt scroll area steps

    explicit VinylCrateView(CoverSource& covers = StoreCoverSource::shared(), QWidget* parent = nullptr);
    ~VinylCrateView() override;

    // Inputs. After changing any of them but the tracks, call inputsChanged().
    UrlOf coverURL;
    UrlOf tagsURL;
    UrlOf metaURL;
    std::function<void(const std::string& path)> onPick;                 // a tap on the focused cover
    std::function<QMimeData*(const std::string& path)> dragProvider;     // the payload of a dragged cover
    std::function<void(const OptPath&)> onHoverPath;                     // the cover under the pointer
    std::function<void(const OptPath&)> onFocusPath;                     // the focused track changed
    OptPath loadedPath;                                                  // its entries show as loaded
    std::set<std::string> playedPaths;                                   // their entries show as played
    std::function<int()> selectedIdxGet;  // the caller's selection: an entry index, flips included
    std::function<void(int)> selectedIdxSet;
    std::function<void(int)> onEntryCount;                             // after every rebuild
    std::function<QWidget*(double cardWidth, int flip)> floorOverlay;  // placed in the floor band; owned here

    // Rebuilds the entries when the rows (path and name, in order) differ from the last ones.
    void setTracks(std::vector<Track> tracks);
    // Takes up changed inputs; a selection that moved away from the focus scrolls its entry to the line.
    void inputsChanged();

    // A drag payload with the path as plain text and nothing else, so file drops elsewhere never take it.
    static QMimeData* textPayload(const std::string& path);

    const CrateModel& model() const { return model_; }
    const CrateLayout& crateLayout() const { return layout_; }
    double scrollOffset() const { return scroll_; }
    bool scrollingTo() const { return anim_.state() == QAbstractAnimation::Running; }
    const CrateCovers& covers() const { return covers_; }
    // The ring's blink reads this clock (seconds); tests set it.
    void setBlinkClock(std::function<double()> now) { blinkNow_ = std::move(now); }
    // Scrolls by `dy` pixels, as a wheel or touchpad does.
    void scrollBy(double dy);
    // The rectangle of the panel, of the focused cover (before the lip cuts it) and of train car `i`.
    QRectF panelRect() const;
    QRectF focusedCardRect() const;
    QRectF carRect(int index) const;

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    // Runs the drag; tests replace it, since a real drag waits for a drop.
    virtual void execDrag(QMimeData* payload);

private:
    struct Hit {
        enum Kind { none, floor, panel, card, car } kind = none;
        int index = -1;
    };
    Hit hitTest(QPointF pos) const;
    void setScroll(double s);
    void runFocusRule();
    void scrollToEntry(int index);
    void stateChanged();
    void relayout();  // the layout follows the widget's size, also while hidden
    void placeFloor();
    void updateBlink();
    void reportHover(const OptPath& path);
    OptPath coverAt(QPointF pos) const;  // the track of the card or car at `pos`, if any
    void rehover();                      // the pointer rests while the covers move under it
    bool isLoaded(const CrateItem& item) const;
    bool isPlayed(const CrateItem& item) const;

    // Painting (vinyl_crate_view_paint.cpp).
    void paintScene(QPainter& p, const QRegion& dirty);
    // Into `layer`, an opaque image of the widget's device pixels; `p` paints on it what is drawn as text.
    void paintTrain(QImage& layer, const QRegion& dirty);
    void paintFocusedCard(QPainter& p, QImage& layer, const QRegion& dirty);
    void paintPanel(QPainter& p, const QRegion& dirty);
    struct Face;
    const Face& face(int index);
    void ensureShadows();
    const QImage& staticLayer(int which);  // 0 backdrop, 1 back lip, 2 front lip
    void dropStaleArt();
    // A see-through face at `size` device pixels and brightness `b`, made once per change of them.
    const QImage& dimmedFace(int index, QSize size, double b);
    // Names everything the scene paints into `area` (the panel's, or the whole view): equal keys, equal pixels.
    std::string sceneKey(const QRectF& area);

    CrateModel model_;
    CrateCovers covers_;
    TrackMetaLoader loader_;
    CrateLayout layout_;
    double scroll_ = 0;
    QVariantAnimation anim_;
    bool focusHeld_ = false;  // a scroll-to already focused its target; the rule waits for its end

    QPointer<QWidget> floor_;
    std::pair<double, int> floorArgs_{-1, -2};

    FrameClock::Subscription blinkTick_;
    std::function<double()> blinkNow_;
    int blinkPhase_ = -1;

    OptPath hovered_;
    std::optional<QPointF> pointer_;  // where the pointer rests over the covers; none once it left them
    Hit press_;
    QPointF pressPos_;
    bool dragging_ = false;
    QRectF playsRect_;

    struct Face {
        std::string key;                 // what it was painted from
        CrateCovers::Picture picture;    // held, so a new picture never reuses its address
        QImage image;
        bool opaque = false;             // a cover without transparency hides what lies under it
        QImage dimmed;                   // see-through only: the last dimmed copy, of this size and brightness
        double dimmedBy = 0;
    };
    std::map<int, Face> faces_;
    QImage statics_[3];
    QSize staticsSize_;
    QImage shadowCard_, shadowCar_;
    double shadowSide_ = -1;
    // Made in the painting code (texts laid out, the panel's blurred ground), kept while their inputs stay.
    struct PaintCache;
    mutable std::shared_ptr<PaintCache> paintCache_;
    const CratePanelText& panelTexts() const;
};

}  // namespace plindo::ui
