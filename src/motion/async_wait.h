#pragma once
// Blocks the calling thread on an operation run elsewhere, with a time limit. Unlike std::async's future,
// giving up never blocks: the operation runs on to its end on its own thread and its late value is dropped.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace plindo::motion::AsyncWait {

// Returns the operation's value, or none when `timeoutSec` passed first. The operation must not need the
// calling thread.
template <typename F>
auto wait(double timeoutSec, F&& op) -> std::optional<decltype(op())> {
    using T = decltype(op());
    struct Box {
        std::mutex m;
        std::condition_variable cv;
        std::optional<T> v;
        bool done = false;
    };
    auto box = std::make_shared<Box>();
    std::thread([box, op = std::forward<F>(op)]() mutable {
        auto value = op();
        std::lock_guard g(box->m);
        box->v.emplace(std::move(value));
        box->done = true;
        box->cv.notify_all();
    }).detach();
    std::unique_lock lk(box->m);
    const auto limit = std::chrono::duration<double>(timeoutSec > 0 ? timeoutSec : 0.0);
    box->cv.wait_for(lk, std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit),
                     [&] { return box->done; });
    return std::move(box->v);
}

}  // namespace plindo::motion::AsyncWait
