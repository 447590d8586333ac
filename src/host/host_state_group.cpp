// The host group: roster, seats and the loads other hosts ask for.
#include "host/host_state.h"

namespace plindo::host {

void HostState::restoreDeckSlots() {
    // The remembered deck seats come back here once the group part exists.
}

void HostState::groupTick(double now, bool everySecond) {
    // The roster's share of the supervision tick comes here with the group part.
    (void)now;
    (void)everySecond;
}

}  // namespace plindo::host
