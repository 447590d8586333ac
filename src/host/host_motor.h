#pragma once
// The motor flag of each deck bridged to the DJ application: whether the host has its transport running.
// Read from the supervision tick and the feeds, written on main; one short lock for both flags.
#include "platform/pi_mutex.h"

#include <array>
#include <mutex>

namespace plindo::host {

class HostMotor {
public:
    // Deck 1 or 2; nothing for any other.
    void set(int deck, bool on) {
        if (deck < 1 || deck > 2) return;
        std::lock_guard g(lock_);
        on_[deck - 1] = on;
    }
    bool isOn(int deck) const {
        if (deck < 1 || deck > 2) return false;
        std::lock_guard g(lock_);
        return on_[deck - 1];
    }

private:
    mutable platform::PiMutex lock_;
    std::array<bool, 2> on_{false, false};
};

}  // namespace plindo::host
