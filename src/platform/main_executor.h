#pragma once
// The main actor as the lower folders see it. The host supplies the Qt main thread; tests use a queue or run
// inline.
#include <atomic>
#include <functional>
#include <memory>

namespace plindo::platform {

// A call scheduled for later on the main thread. Cancelled on the main thread, it never runs afterwards, and
// its wait ends at once: a far timer holds nothing up, neither its captures nor the process's exit.
class ScheduledCall {
public:
    void cancel() {
        if (!cancelled_.exchange(true) && endWait_) endWait_();
    }
    bool cancelled() const { return cancelled_.load(); }

private:
    friend class MainExecutor;
    std::atomic<bool> cancelled_{false};
    std::function<void()> endWait_;  // set by the scheduler before the call is handed out
};

class MainExecutor {
public:
    virtual ~MainExecutor() = default;
    // Runs `f` later on the main thread.
    virtual void post(std::function<void()> f) = 0;
    // Runs `f` on the main thread and waits; inline when already there.
    virtual void invokeSync(const std::function<void()>& f) = 0;
    // Posts `f` to the main thread once `seconds` have passed, unless it was cancelled by then. The wait runs
    // on one process-wide timer thread; cancel every pending call before the executor goes away. At the
    // process's end, calls still waiting are dropped rather than waited for.
    virtual std::shared_ptr<ScheduledCall> schedule(double seconds, std::function<void()> f);

protected:
    // Waits until the timer thread is not handing a call to an executor: an executor calls it as it goes, so
    // that a hand-off that passed its cancel check before the cancel has finished with it.
    static void settleHandOffs();
};

// Runs everything at once on the caller's thread (tests).
class InlineExecutor final : public MainExecutor {
public:
    void post(std::function<void()> f) override { f(); }
    void invokeSync(const std::function<void()>& f) override { f(); }
};

}  // namespace plindo::platform
