#include "platform/realtime_thread.h"

#include "platform/log.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace plindo::platform {

namespace {

// The kernel's sched_attr; glibc has no wrapper for sched_setattr.
struct SchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
};

constexpr uint32_t kSchedDeadline = 6;

int trySchedDeadline(int64_t periodNs) {
#ifdef SYS_sched_setattr
    SchedAttr a{};
    a.size = sizeof a;
    a.policy = kSchedDeadline;
    a.runtime = static_cast<uint64_t>(periodNs / 5);
    a.deadline = static_cast<uint64_t>(periodNs / 2);
    a.period = static_cast<uint64_t>(periodNs);
    if (syscall(SYS_sched_setattr, 0, &a, 0) == 0) return 0;
    return errno;
#else
    (void)periodNs;
    return ENOSYS;
#endif
}

int trySchedFifo() {
    sched_param p{};
    p.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (p.sched_priority > sched_get_priority_max(SCHED_FIFO)) p.sched_priority = sched_get_priority_max(SCHED_FIFO);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
}

std::atomic<bool> fallbackLogged{false};

}  // namespace

const char* realtimePolicyName(RealtimePolicy p) {
    switch (p) {
        case RealtimePolicy::deadline: return "SCHED_DEADLINE";
        case RealtimePolicy::fifo: return "SCHED_FIFO";
        case RealtimePolicy::normal: return "normal";
    }
    return "normal";
}

RealtimeGrant applyRealtimePolicy(int64_t periodNs) {
    RealtimeGrant g;
    // SCHED_DEADLINE refuses runtimes below about 1 µs.
    int err = periodNs >= 10'000 ? trySchedDeadline(periodNs) : EINVAL;
    if (err == 0) {
        g.policy = RealtimePolicy::deadline;
        return g;
    }
    err = trySchedFifo();
    if (err == 0) {
        g.policy = RealtimePolicy::fifo;
    } else {
        g.error = err;
    }
    if (g.policy != RealtimePolicy::deadline && !fallbackLogged.exchange(true)) {
        logger("realtime").info("real-time threads run with {} (SCHED_DEADLINE refused{})", realtimePolicyName(g.policy),
                                g.error ? std::string(", SCHED_FIFO refused: ") + std::strerror(g.error) : std::string());
    }
    return g;
}

std::thread startRealtimeThread(const std::string& name, int64_t periodNs, std::function<void(RealtimeGrant)> body) {
    return std::thread([name, periodNs, body = std::move(body)] {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        body(applyRealtimePolicy(periodNs));
    });
}

void sleepUntilNs(int64_t deadlineNs) {
    if (deadlineNs <= 0) return;
    timespec ts{static_cast<time_t>(deadlineNs / 1'000'000'000), static_cast<long>(deadlineNs % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace plindo::platform
