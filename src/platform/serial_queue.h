#pragma once
// A serial queue: an asio::io_context run by one named thread. Work posted to it runs in order, one item at
// a time; sockets and timers created on `context()` run their handlers there too.
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace plindo::platform {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();  // stops and joins
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    asio::io_context& context() { return io_; }

    template <typename F>
    void post(F&& f) { asio::post(io_, std::forward<F>(f)); }

    // Runs `f` on the queue and waits for it; runs it inline when already on the queue.
    void sync(const std::function<void()>& f);

    bool isCurrent() const { return std::this_thread::get_id() == threadId_.load(); }

    // Lets queued work finish, then ends the thread. Idempotent.
    void stop();

private:
    std::string label_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::atomic<std::thread::id> threadId_{};
    std::thread thread_;
};

// A timer that fires `tick` on a queue at a fixed period, on absolute deadlines so it does not drift.
// Cancel before the owner of the tick goes away; the destructor cancels and waits for a running tick.
class RepeatingTimer {
public:
    RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds period, std::function<void()> tick);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void start();   // first fire at once
    void cancel();  // no tick runs after this returns

    struct State;  // shared with the pending wait, so a late completion never touches a freed timer

private:
    SerialQueue& queue_;
    std::shared_ptr<State> state_;
};

}  // namespace plindo::platform
