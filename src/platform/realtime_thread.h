#pragma once
// Periodic real-time threads: SCHED_DEADLINE when the system grants it, else SCHED_FIFO, else normal
// priority (the fallback is logged once per process), sleeping on absolute CLOCK_MONOTONIC deadlines so that
// the period does not drift.
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace plindo::platform {

enum class RealtimePolicy { deadline, fifo, normal };

struct RealtimeGrant {
    RealtimePolicy policy = RealtimePolicy::normal;
    int error = 0;  // errno of the last refused request when the thread runs at normal priority
};

const char* realtimePolicyName(RealtimePolicy p);

// Applies the best available policy to the calling thread for a period of `periodNs` (computation 0.2 and
// constraint 0.5 of the period for SCHED_DEADLINE).
RealtimeGrant applyRealtimePolicy(int64_t periodNs);

// Starts a thread named `name` (at most 15 characters are kept) that applies the policy and runs `body`
// with what it was granted.
std::thread startRealtimeThread(const std::string& name, int64_t periodNs,
                                std::function<void(RealtimeGrant)> body);

// The absolute deadlines of a periodic loop, one period after the other so that the period does not drift.
// A loop that fell more than `maxLatePeriods` periods behind resumes from now instead of running the
// missed ticks back to back.
struct PeriodicDeadline {
    int64_t periodNs = 1'000'000;
    int64_t next = 0;
    int64_t maxLatePeriods = 50;

    // The next deadline, given the time now; one at or before now means run at once.
    int64_t advance(int64_t nowNs) {
        next += periodNs;
        if (nowNs >= next && nowNs - next > maxLatePeriods * periodNs) next = nowNs;
        return next;
    }
};

// Sleeps until the absolute CLOCK_MONOTONIC time `deadlineNs`; returns at once when it has passed.
void sleepUntilNs(int64_t deadlineNs);

}  // namespace plindo::platform
