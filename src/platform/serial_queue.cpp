#include "platform/serial_queue.h"

#include <pthread.h>

#include <future>

namespace plindo::platform {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), guard_(asio::make_work_guard(io_)) {
    std::promise<void> started;
    auto ready = started.get_future();
    thread_ = std::thread([this, &started] {
        threadId_ = std::this_thread::get_id();
        pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
        started.set_value();
        io_.run();
    });
    ready.wait();
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::stop() {
    guard_.reset();
    if (thread_.joinable()) {
        if (isCurrent()) {
            io_.stop();
            thread_.detach();
            return;
        }
        thread_.join();
    }
}

void SerialQueue::sync(const std::function<void()>& f) {
    if (isCurrent()) {
        f();
        return;
    }
    std::promise<void> done;
    auto fut = done.get_future();
    asio::post(io_, [&] {
        f();
        done.set_value();
    });
    fut.wait();
}

struct RepeatingTimer::State {
    explicit State(asio::io_context& io) : timer(io) {}
    asio::steady_timer timer;
    std::chrono::nanoseconds period{};
    std::function<void()> tick;
    bool cancelled = false;  // touched only on the queue
    std::chrono::steady_clock::time_point next;
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds period, std::function<void()> tick)
    : queue_(queue), state_(std::make_shared<State>(queue.context())) {
    state_->period = period;
    state_->tick = std::move(tick);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

namespace {
void arm(const std::shared_ptr<RepeatingTimer::State>& s);
}

void RepeatingTimer::start() {
    auto s = state_;
    auto begin = [s] {
        s->cancelled = false;
        s->next = std::chrono::steady_clock::now();
        arm(s);
    };
    // On the queue it begins at once: posted, it could land behind a cancel already waiting there and
    // bring the timer back after that cancel returned.
    if (queue_.isCurrent()) begin();
    else queue_.post(std::move(begin));
}

void RepeatingTimer::cancel() {
    auto s = state_;
    queue_.sync([s] {
        s->cancelled = true;
        s->timer.cancel();
    });
}

namespace {
void arm(const std::shared_ptr<RepeatingTimer::State>& s) {
    s->timer.expires_at(s->next);
    s->timer.async_wait([s](const std::error_code& ec) {
        if (ec || s->cancelled) return;
        s->tick();
        if (s->cancelled) return;
        const auto now = std::chrono::steady_clock::now();
        s->next += s->period;
        if (s->next < now) s->next = now;  // skip missed fires rather than bunch them
        arm(s);
    });
}
}  // namespace

}  // namespace plindo::platform
