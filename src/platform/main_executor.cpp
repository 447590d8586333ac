#include "platform/main_executor.h"

#include "platform/serial_queue.h"

#include <atomic>
#include <chrono>
#include <cmath>

namespace plindo::platform {

namespace {
std::atomic<bool> timerQueueMade{false};
SerialQueue& timerQueue() {
    static SerialQueue queue("main-timers");
    timerQueueMade.store(true);
    return queue;
}
}  // namespace

std::shared_ptr<ScheduledCall> MainExecutor::schedule(double seconds, std::function<void()> f) {
    auto call = std::make_shared<ScheduledCall>();
    const double s = std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
    auto& queue = timerQueue();
    auto timer = std::make_shared<asio::steady_timer>(
        queue.context(), std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s)));
    timer->async_wait([this, timer, call, f = std::move(f)](const std::error_code& ec) mutable {
        if (ec || call->cancelled()) return;
        post([call, f = std::move(f)] {
            if (!call->cancelled()) f();
        });
    });
    return call;
}

void MainExecutor::settleHandOffs() {
    if (timerQueueMade.load()) timerQueue().sync([] {});  // no timer thread yet: nothing in flight
}

}  // namespace plindo::platform
