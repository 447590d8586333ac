#pragma once
// The main actor as the lower folders see it. The host supplies the Qt main thread; tests use a queue or run
// inline.
#include <functional>

namespace plindo::platform {

class MainExecutor {
public:
    virtual ~MainExecutor() = default;
    // Runs `f` later on the main thread.
    virtual void post(std::function<void()> f) = 0;
    // Runs `f` on the main thread and waits; inline when already there.
    virtual void invokeSync(const std::function<void()>& f) = 0;
};

// Runs everything at once on the caller's thread (tests).
class InlineExecutor final : public MainExecutor {
public:
    void post(std::function<void()> f) override { f(); }
    void invokeSync(const std::function<void()>& f) override { f(); }
};

}  // namespace plindo::platform
