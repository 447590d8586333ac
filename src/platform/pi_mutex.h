#pragma once
// A short non-recursive lock that a real-time thread may take: a priority-inheriting mutex. A holder that
// was preempted by a normal thread is lifted to the waiter's priority until it lets go, so a SCHED_FIFO
// waiter never spins against a holder that cannot run on its core. Uncontended, locking and unlocking stay
// in user space; contended, the waiter sleeps in the kernel instead of spinning.
#include <pthread.h>

#include <cstdlib>

namespace plindo::platform {

class PiMutex {
public:
    PiMutex() noexcept {
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        // Without priority inheritance (a libc that lacks it) this is still a correct, ordinary mutex.
        pthread_mutexattr_setprotocol(&a, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_, &a);
        pthread_mutexattr_destroy(&a);
    }
    ~PiMutex() { pthread_mutex_destroy(&m_); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    void lock() noexcept {
        // Fails only on misuse (a relock by the holder, a corrupted mutex): never carry on unguarded.
        if (pthread_mutex_lock(&m_) != 0) std::abort();
    }
    bool try_lock() noexcept { return pthread_mutex_trylock(&m_) == 0; }
    void unlock() noexcept { pthread_mutex_unlock(&m_); }

private:
    pthread_mutex_t m_;
};

}  // namespace plindo::platform
