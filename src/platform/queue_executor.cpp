#include "platform/queue_executor.h"

#include <algorithm>
#include <cmath>

namespace plindo::platform {

std::shared_ptr<ScheduledCall> QueueExecutor::schedule(double seconds, std::function<void()> f) {
    {
        std::lock_guard g(timersMutex_);
        if (manual_) {
            auto call = std::make_shared<ScheduledCall>();
            const double s = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
            timers_.push_back({timerNow_ + s, timerOrder_++, call, std::move(f)});
            return call;
        }
    }
    return MainExecutor::schedule(seconds, std::move(f));
}

void QueueExecutor::useManualTimers() {
    std::lock_guard g(timersMutex_);
    manual_ = true;
}

void QueueExecutor::advanceTimers(double seconds) {
    double target = 0;
    {
        std::lock_guard g(timersMutex_);
        target = timerNow_ + std::max(0.0, seconds);
    }
    while (true) {
        Timer next;
        {
            std::lock_guard g(timersMutex_);
            std::erase_if(timers_, [](const Timer& t) { return t.call->cancelled(); });
            const auto it = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                return a.due != b.due ? a.due < b.due : a.order < b.order;
            });
            if (it == timers_.end() || it->due > target) {
                timerNow_ = target;
                return;
            }
            next = std::move(*it);
            timers_.erase(it);
            timerNow_ = next.due;
        }
        queue_.sync([&] {
            if (!next.call->cancelled()) next.f();
        });
    }
}

size_t QueueExecutor::pendingTimers() {
    std::lock_guard g(timersMutex_);
    return static_cast<size_t>(std::count_if(timers_.begin(), timers_.end(), [](const Timer& t) {
        return !t.call->cancelled();
    }));
}

}  // namespace plindo::platform
