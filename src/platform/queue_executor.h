#pragma once
// A MainExecutor on a SerialQueue of its own: the main actor of tests and of the headless host before Qt.
#include "platform/main_executor.h"
#include "platform/serial_queue.h"

namespace plindo::platform {

class QueueExecutor final : public MainExecutor {
public:
    explicit QueueExecutor(std::string label = "main") : queue_(std::move(label)) {}
    void post(std::function<void()> f) override { queue_.post(std::move(f)); }
    void invokeSync(const std::function<void()>& f) override { queue_.sync(f); }
    // Waits until everything posted so far has run.
    void drain() { queue_.sync([] {}); }
    SerialQueue& queue() { return queue_; }

private:
    SerialQueue queue_;
};

}  // namespace plindo::platform
