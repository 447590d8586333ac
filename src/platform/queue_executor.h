#pragma once
// A MainExecutor on a SerialQueue of its own: the main actor of tests and of the headless host before Qt.
#include "platform/main_executor.h"
#include "platform/serial_queue.h"

#include <mutex>
#include <vector>

namespace plindo::platform {

class QueueExecutor final : public MainExecutor {
public:
    explicit QueueExecutor(std::string label = "main") : queue_(std::move(label)) {}
    ~QueueExecutor() override { settleHandOffs(); }
    void post(std::function<void()> f) override { queue_.post(std::move(f)); }
    void invokeSync(const std::function<void()>& f) override { queue_.sync(f); }
    // Waits until everything posted so far has run.
    void drain() { queue_.sync([] {}); }
    SerialQueue& queue() { return queue_; }

    std::shared_ptr<ScheduledCall> schedule(double seconds, std::function<void()> f) override;

    // From now on scheduled calls wait for advanceTimers() instead of real time (tests that must not depend
    // on the machine's speed).
    void useManualTimers();
    // Moves the manual timer time on by `seconds`: every call then due runs on the queue in due order, each
    // before the next is looked at, so calls it schedules within the step run too. Call from off the queue.
    void advanceTimers(double seconds);
    // Scheduled calls not yet run or cancelled.
    size_t pendingTimers();

private:
    struct Timer {
        double due;
        uint64_t order;
        std::shared_ptr<ScheduledCall> call;
        std::function<void()> f;
    };

    SerialQueue queue_;
    std::mutex timersMutex_;
    bool manual_ = false;
    double timerNow_ = 0;
    uint64_t timerOrder_ = 0;
    std::vector<Timer> timers_;
};

}  // namespace plindo::platform
