#pragma once
// One value shared between threads behind its own short lock. Every access takes the lock, copies the value
// in or out (or runs one small in-place change) and releases it: no allocation, no logging, no callback and
// no second lock while it is held, so the audio thread may take it on every callback.
#include "platform/pi_mutex.h"

#include <mutex>
#include <utility>

namespace plindo::motion {

template <typename T>
class UnfairCell {
public:
    UnfairCell() = default;
    explicit UnfairCell(T initial) : state_(std::move(initial)) {}
    UnfairCell(const UnfairCell&) = delete;
    UnfairCell& operator=(const UnfairCell&) = delete;

    T read() const {
        std::lock_guard g(lock_);
        return state_;
    }

    void write(T v) {
        std::lock_guard g(lock_);
        state_ = std::move(v);
    }

    // Runs f(state&) under the lock and returns what it returns. f must be short and must not allocate.
    template <typename F>
    auto update(F&& f) {
        std::lock_guard g(lock_);
        return std::forward<F>(f)(state_);
    }

    // Swaps in `v` and returns the old value (used to take a value out, or to move a reference out so that
    // its release happens outside the lock).
    T exchange(T v) {
        std::lock_guard g(lock_);
        std::swap(state_, v);
        return v;
    }

private:
    mutable platform::PiMutex lock_;
    T state_{};
};

}  // namespace plindo::motion
