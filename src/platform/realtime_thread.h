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

// Sleeps until the absolute CLOCK_MONOTONIC time `deadlineNs`; returns at once when it has passed.
void sleepUntilNs(int64_t deadlineNs);

}  // namespace plindo::platform
