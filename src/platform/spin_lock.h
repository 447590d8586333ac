#pragma once
// A short non-recursive lock that a real-time thread may take: spin briefly, then yield. Held only for the
// copy of a few words, so contention is rare and short.
#include <atomic>
#include <thread>

namespace plindo::platform {

class SpinLock {
public:
    void lock() noexcept {
        for (int spins = 0; flag_.exchange(true, std::memory_order_acquire); ++spins) {
            while (flag_.load(std::memory_order_relaxed)) {
                if (spins++ > 64) std::this_thread::yield();
            }
        }
    }
    bool try_lock() noexcept { return !flag_.exchange(true, std::memory_order_acquire); }
    void unlock() noexcept { flag_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> flag_{false};
};

}  // namespace plindo::platform
