#include "ui/library/wave_build_pool.h"

#include <algorithm>
#include <utility>

namespace plindo::ui {

class WaveBuildPool::Job {
public:
    std::string path;
    bool started = false;
    std::map<uint64_t, Waiter> waiters;  // main thread only
    size_t waiting = 0;                  // waiters.size(), read by the workers under the pool's lock
};

WaveBuildPool::Ticket& WaveBuildPool::Ticket::operator=(Ticket&& o) noexcept {
    if (this != &o) {
        release();
        pool_ = std::exchange(o.pool_, nullptr);
        alive_ = std::exchange(o.alive_, {});
        job_ = std::exchange(o.job_, {});
        id_ = std::exchange(o.id_, 0);
    }
    return *this;
}

void WaveBuildPool::Ticket::release() {
    if (auto job = job_.lock(); job && pool_ && alive_.lock()) pool_->withdraw(job, id_);
    job_.reset();
    alive_.reset();
    pool_ = nullptr;
}

WaveBuildPool::WaveBuildPool(platform::MainExecutor& main, Build build, Built built, int threads)
    : main_(main), build_(std::move(build)), built_(std::move(built)), threadCount_(std::clamp(threads, 1, kMaxThreads)) {}

WaveBuildPool::~WaveBuildPool() { shutdown(); }

WaveBuildPool::Ticket WaveBuildPool::request(const std::string& path, Waiter waiter) {
    std::lock_guard l(m_);
    if (stopping_) return {};
    auto& job = jobs_[path];
    if (!job) {
        job = std::make_shared<Job>();
        job->path = path;
        queue_.push_back(job);
        // Threads start on first use, so a process that never hovers a track runs none.
        if (threads_.size() < static_cast<size_t>(threadCount_)) threads_.emplace_back([this] { work(); });
        cv_.notify_one();
    }
    const uint64_t id = nextId_++;
    job->waiters.emplace(id, std::move(waiter));
    job->waiting = job->waiters.size();
    return Ticket(this, alive_, job, id);
}

void WaveBuildPool::withdraw(const std::shared_ptr<Job>& job, uint64_t id) {
    std::lock_guard l(m_);
    job->waiters.erase(id);
    job->waiting = job->waiters.size();
    if (job->waiting == 0 && !job->started) {
        queue_.erase(std::remove(queue_.begin(), queue_.end(), job), queue_.end());
        auto it = jobs_.find(job->path);
        if (it != jobs_.end() && it->second == job) jobs_.erase(it);
    }
}

void WaveBuildPool::work() {
    std::unique_lock l(m_);
    for (;;) {
        cv_.wait(l, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        auto job = queue_.front();
        queue_.pop_front();
        job->started = true;
        ++running_;
        l.unlock();
        Envelope env;
        try {
            env = build_(job->path, [this] {
                std::lock_guard g(m_);
                return stopping_;
            });
        } catch (...) {
            // A build that throws (out of memory on a huge file) is a build without an envelope.
        }
        l.lock();
        --running_;
        if (stopping_) return;
        main_.post([this, alive = std::weak_ptr<bool>(alive_), job, env] {
            if (alive.lock()) finish(job, env);
        });
    }
}

void WaveBuildPool::finish(const std::shared_ptr<Job>& job, const Envelope& env) {
    std::map<uint64_t, Waiter> waiters;
    {
        std::lock_guard l(m_);
        auto it = jobs_.find(job->path);
        if (it != jobs_.end() && it->second == job) jobs_.erase(it);
        waiters = std::exchange(job->waiters, {});
        job->waiting = 0;
    }
    if (built_) built_(job->path, env);
    for (auto& [id, w] : waiters)
        if (w) w(env);
}

void WaveBuildPool::shutdown() {
    {
        std::lock_guard l(m_);
        if (stopping_ && threads_.empty()) return;
        stopping_ = true;
        queue_.clear();
        jobs_.clear();
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
    threads_.clear();
    alive_.reset();
}

int WaveBuildPool::queued() const {
    std::lock_guard l(m_);
    return static_cast<int>(queue_.size());
}

int WaveBuildPool::running() const {
    std::lock_guard l(m_);
    return running_;
}

}  // namespace plindo::ui
