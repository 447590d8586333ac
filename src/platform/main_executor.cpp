#include "platform/main_executor.h"

#include "platform/serial_queue.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <unordered_set>

namespace plindo::platform {

namespace {

// The process-wide timer thread and the waits armed on it.
struct TimerThread {
    std::unordered_set<asio::steady_timer*> waiting;  // touched only on the queue
    bool closed = false;                              // touched only on the queue
    SerialQueue queue{"main-timers"};                 // last: joined before the waits it ends are gone

    // At the process's end the thread is joined, and its io context runs until no wait is left: a call still
    // waiting would hold the exit up for as long as its timer has to go.
    ~TimerThread() {
        queue.sync([this] {
            closed = true;
            for (auto* t : waiting) t->cancel();
        });
        gone.store(true);
    }

    static inline std::atomic<bool> gone{false};  // a cancel or settle later at exit finds nothing to do
};

std::atomic<bool> timerThreadMade{false};
TimerThread& timerThread() {
    static TimerThread t;
    timerThreadMade.store(true);
    return t;
}

}  // namespace

std::shared_ptr<ScheduledCall> MainExecutor::schedule(double seconds, std::function<void()> f) {
    auto call = std::make_shared<ScheduledCall>();
    const double s = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
    auto& timers = timerThread();
    // Due from now, however long the queue takes to arm it.
    auto timer = std::make_shared<asio::steady_timer>(
        timers.queue.context(), std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s)));
    timers.queue.post([this, &timers, timer, call, f = std::move(f)]() mutable {
        if (timers.closed || call->cancelled()) return;
        timers.waiting.insert(timer.get());
        timer->async_wait([this, &timers, timer, call, f = std::move(f)](const std::error_code& ec) mutable {
            timers.waiting.erase(timer.get());
            if (ec || call->cancelled()) return;
            post([call, f = std::move(f)] {
                if (!call->cancelled()) f();
            });
        });
    });
    // The cancel reaches the timer on its queue, behind the arming above.
    std::weak_ptr<asio::steady_timer> weak = timer;
    call->endWait_ = [&timers, weak] {
        if (TimerThread::gone.load()) return;
        timers.queue.post([weak] {
            if (auto t = weak.lock()) t->cancel();
        });
    };
    return call;
}

void MainExecutor::settleHandOffs() {
    // No timer thread yet (or no more): nothing in flight.
    if (timerThreadMade.load() && !TimerThread::gone.load()) timerThread().queue.sync([] {});
}

}  // namespace plindo::platform
