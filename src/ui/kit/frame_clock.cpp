#include "ui/kit/frame_clock.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWindow>
#include <QWidget>

#include <vector>

namespace plindo::ui {

FrameClock::Subscription& FrameClock::Subscription::operator=(Subscription&& o) noexcept {
    if (this != &o) {
        reset();
        clock_ = o.clock_;
        id_ = std::exchange(o.id_, 0);
    }
    return *this;
}

void FrameClock::Subscription::reset() {
    if (id_ != 0 && clock_) clock_->unsubscribe(id_);
    id_ = 0;
}

FrameClock& FrameClock::shared() {
    static QPointer<FrameClock> clock;
    if (!clock) clock = new FrameClock(QCoreApplication::instance());
    return *clock;
}

FrameClock::FrameClock(QObject* parent) : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &FrameClock::timerTick);
}

FrameClock::Subscription FrameClock::subscribe(std::function<void()> tick) {
    return subscribeFollow([tick = std::move(tick)] {
        tick();
        return true;
    });
}

FrameClock::Subscription FrameClock::subscribeFollow(std::function<bool()> follow) {
    const uint64_t id = nextId_++;
    ticks_.emplace(id, std::move(follow));
    wake();  // a new follower starts at the full rate
    updateTimer();
    return Subscription(this, id);
}

void FrameClock::wake() {
    stillFrames_ = 0;
    if (timer_.interval() != kIntervalMs) timer_.setInterval(kIntervalMs);
}

FrameClock::Subscription FrameClock::subscribeRepaint(QWidget* widget) {
    QPointer<QWidget> w(widget);
    return subscribe([w] {
        if (w) w->update();
    });
}

void FrameClock::unsubscribe(uint64_t id) {
    ticks_.erase(id);
    updateTimer();
}

void FrameClock::setManual(bool manual) {
    manual_ = manual;
    updateTimer();
}

void FrameClock::step(int frames) {
    for (int i = 0; i < frames; ++i) tick();
}

namespace {

// Shown windows that are all minimised show nothing that moves.
bool allMinimised() {
    bool any = false;
    for (const QWindow* w : QGuiApplication::topLevelWindows()) {
        if (!w->isVisible()) continue;
        if (!(w->windowStates() & Qt::WindowMinimized)) return false;
        any = true;
    }
    return any;
}

}  // namespace

void FrameClock::timerTick() {
    if (allMinimised()) {
        timer_.setInterval(kIdleIntervalMs);
        return;
    }
    tick();
}

void FrameClock::tick() {
    // A tick may end its own or another subscription: run those present when the frame began and still there.
    std::vector<uint64_t> ids;
    ids.reserve(ticks_.size());
    for (const auto& [id, f] : ticks_) ids.push_back(id);
    bool changed = false;
    for (uint64_t id : ids) {
        auto it = ticks_.find(id);
        if (it == ticks_.end()) continue;
        auto f = it->second;  // the subscription may end inside
        changed = f() || changed;
    }
    if (changed) wake();
    else if (++stillFrames_ >= kIdleAfterFrames && timer_.interval() != kIdleIntervalMs)
        timer_.setInterval(kIdleIntervalMs);
    emit ticked();
}

void FrameClock::updateTimer() {
    const bool want = !manual_ && !ticks_.empty();
    if (want && !timer_.isActive()) timer_.start();
    if (!want && timer_.isActive()) timer_.stop();
}

}  // namespace plindo::ui
