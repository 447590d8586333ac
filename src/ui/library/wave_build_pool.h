#pragma once
// Builds waveform envelopes off the main thread, on a few threads of its own. One build per path: a later
// request for a path that is queued or running waits for the same build. A queued build whose every waiter
// went away before it started is dropped; a started one runs on and reports its result. At shutdown running
// builds are told to stop, queued ones dropped, and the threads joined.
#include "library/peak_envelope.h"
#include "platform/main_executor.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plindo::ui {

// Made, used and shut down on the main thread.
class WaveBuildPool {
public:
    using Envelope = std::shared_ptr<const library::PeakEnvelope>;
    // Runs on a pool thread; null when no envelope could be built. `cancelled` turns true at shutdown.
    using Build = std::function<Envelope(const std::string& path, const std::function<bool()>& cancelled)>;
    // Runs on main, once per finished build, before its waiters hear of it.
    using Built = std::function<void(const std::string& path, const Envelope& env)>;
    using Waiter = std::function<void(const Envelope& env)>;

    static constexpr int kMaxThreads = 2;

    WaveBuildPool(platform::MainExecutor& main, Build build, Built built, int threads = kMaxThreads);
    ~WaveBuildPool();
    WaveBuildPool(const WaveBuildPool&) = delete;
    WaveBuildPool& operator=(const WaveBuildPool&) = delete;

    class Job;
    // A waiter's hold on a build; dropping it (or `release`) withdraws the waiter. Main thread only; it may
    // outlive the pool.
    class Ticket {
    public:
        Ticket() = default;
        Ticket(Ticket&& o) noexcept { *this = std::move(o); }
        Ticket& operator=(Ticket&& o) noexcept;
        ~Ticket() { release(); }
        void release();
        bool active() const { return !job_.expired(); }

    private:
        friend class WaveBuildPool;
        Ticket(WaveBuildPool* pool, std::weak_ptr<bool> alive, std::weak_ptr<Job> job, uint64_t id)
            : pool_(pool), alive_(std::move(alive)), job_(std::move(job)), id_(id) {}
        WaveBuildPool* pool_ = nullptr;
        std::weak_ptr<bool> alive_;  // the pool, until its shutdown
        std::weak_ptr<Job> job_;
        uint64_t id_ = 0;
    };

    // Waits for the build of `path`, joining one that is queued or running. `waiter` runs on main with the
    // result unless the ticket is dropped first. After shutdown nothing is built and nothing runs.
    [[nodiscard]] Ticket request(const std::string& path, Waiter waiter);

    // Cancels running builds, drops queued ones and joins the threads; results not yet delivered are lost.
    void shutdown();

    // What is in the pool now, for tests and the note.
    int queued() const;
    int running() const;

private:
    void withdraw(const std::shared_ptr<Job>& job, uint64_t id);
    void work();
    void finish(const std::shared_ptr<Job>& job, const Envelope& env);

    platform::MainExecutor& main_;
    Build build_;
    Built built_;
    const int threadCount_;

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, std::shared_ptr<Job>> jobs_;  // queued or running, by path
    std::deque<std::shared_ptr<Job>> queue_;
    std::vector<std::thread> threads_;
    int running_ = 0;
    bool stopping_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // posted results hold it weakly
    uint64_t nextId_ = 1;
};

}  // namespace plindo::ui
