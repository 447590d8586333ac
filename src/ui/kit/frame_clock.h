#pragma once
// The one clock behind every periodic redraw of the window: a precise ~16 ms timer that runs only while
// someone is subscribed. Followers report whether a frame moved what they show; when none did for a third of a
// second, and while every shown window is minimised, the clock only polls twenty times a second, and returns to
// the full rate on the next motion. Tests switch it to manual and step it by hand.
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>

namespace plindo::ui {

class FrameClock : public QObject {
    Q_OBJECT

public:
    static constexpr int kIntervalMs = 16;
    static constexpr int kIdleIntervalMs = 50;  // the poll while nothing moves
    static constexpr int kIdleAfterFrames = 20;

    // Unsubscribes when destroyed or reset; safe to outlive the clock.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(FrameClock* clock, uint64_t id) : clock_(clock), id_(id) {}
        Subscription(Subscription&& o) noexcept : clock_(o.clock_), id_(std::exchange(o.id_, 0)) {}
        Subscription& operator=(Subscription&& o) noexcept;
        ~Subscription() { reset(); }
        void reset();
        bool active() const { return id_ != 0 && clock_; }

    private:
        QPointer<FrameClock> clock_;
        uint64_t id_ = 0;
    };

    // The application's clock, made on first use and owned by the application object.
    static FrameClock& shared();

    explicit FrameClock(QObject* parent = nullptr);

    // `tick` runs on every frame until the subscription ends; it keeps the clock at the full rate.
    [[nodiscard]] Subscription subscribe(std::function<void()> tick);
    // `follow` runs on every frame, or on every poll while nothing moves, until the subscription ends; it
    // answers whether what it shows moved (a blink that steps now and then is no motion).
    [[nodiscard]] Subscription subscribeFollow(std::function<bool()> follow);
    // Repaints `widget` on every frame while it lives (or until the subscription ends).
    [[nodiscard]] Subscription subscribeRepaint(class QWidget* widget);

    size_t subscriberCount() const { return ticks_.size(); }
    bool running() const { return timer_.isActive(); }
    // The timer's current period: kIntervalMs while something moves, kIdleIntervalMs while all is still.
    int intervalMs() const { return timer_.interval(); }
    // Back to the full rate at once, as after a change a follower reported.
    void wake();

    // Manual mode stops the timer; `step` then runs `frames` ticks at once.
    void setManual(bool manual);
    void step(int frames = 1);

signals:
    void ticked();

private:
    void unsubscribe(uint64_t id);
    void tick();
    void updateTimer();

    void timerTick();

    QTimer timer_;
    std::map<uint64_t, std::function<bool()>> ticks_;
    uint64_t nextId_ = 1;
    bool manual_ = false;
    int stillFrames_ = 0;
};

}  // namespace plindo::ui
