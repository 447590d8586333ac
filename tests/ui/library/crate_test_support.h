#pragma once
// Shared pieces of the crate browser's window tests: a scripted cover source, generated covers and a crate
// widget sized and shown on the offscreen platform.
#include "ui/library/cover_source.h"
#include "ui/library/vinyl_crate_view.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QMimeData>
#include <QPainter>
#include <QTest>

#include <map>
#include <string>
#include <vector>

namespace plindo::ui::test {

// The longest wait for a scroll, a load or a reply to end. Painting a shown crate under the sanitizers on a busy
// machine takes seconds per frame; the waits end as soon as what they wait for is done.
constexpr int kSettleMs = 60000;

class FakeCoverSource : public CoverSource {
public:
    struct Request {
        std::string key;
        std::optional<std::string> url, filePath;
        int attempt = 0;
        Completion done;
    };
    std::map<std::string, Bytes> cache;
    std::vector<Request> requests;
    bool answerAtOnce = false;  // answer each request from `cache` (or with nothing) as it comes

    Bytes cached(const std::string& key) const override {
        const auto it = cache.find(key);
        return it == cache.end() ? nullptr : it->second;
    }
    void request(const std::string& key, const std::optional<std::string>& url,
                 const std::optional<std::string>& filePath, int attempt, Completion done) override {
        requests.push_back({key, url, filePath, attempt, done});
        if (answerAtOnce) done(cached(key));
    }
};

// A PNG cover of one hue with a darker diagonal band, so screenshots show real pictures.
inline CoverSource::Bytes makeCover(int hue, int size = 300) {
    QImage img(size, size, QImage::Format_RGB32);
    img.fill(QColor::fromHsv(hue % 360, 170, 220));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromHsv((hue + 40) % 360, 200, 120));
    p.drawEllipse(QRectF(size * 0.2, size * 0.2, size * 0.6, size * 0.6));
    p.setBrush(QColor(20, 20, 20));
    p.drawEllipse(QRectF(size * 0.45, size * 0.45, size * 0.1, size * 0.1));
    p.end();
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "PNG");
    return std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
}

inline std::vector<library::LibTrack> someTracks(int n) {
    std::vector<library::LibTrack> v;
    for (int i = 0; i < n; ++i) v.push_back({"/music/track " + std::to_string(i) + ".mp3", "Track " + std::to_string(i)});
    return v;
}

// The drag a real pointer would start waits for a drop; this one records the payload.
class RecordingCrateView : public VinylCrateView {
public:
    using VinylCrateView::VinylCrateView;
    std::vector<std::unique_ptr<QMimeData>> drags;

protected:
    void execDrag(QMimeData* payload) override { drags.emplace_back(payload); }
};

inline void send(QWidget& w, QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::NoButton,
                 Qt::MouseButtons buttons = Qt::NoButton) {
    QMouseEvent e(type, pos, w.mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &e);
}

// Behaviour tests keep the widget hidden: its layout follows its size all the same, and nothing repaints.
inline void showAt(QWidget& w, int width, int height, bool onScreen = false) {
    w.resize(width, height);
    if (!onScreen) return;
    w.show();
    (void)QTest::qWaitForWindowExposed(&w);
    QCoreApplication::processEvents();
}

inline std::string screenshotPath(const std::string& name) {
    return qEnvironmentVariable("PLINDO_SCREENSHOT_DIR").toStdString() + "/" + name;
}

}  // namespace plindo::ui::test
