// The host group: roster, seats and the loads other hosts ask for.
#include "host/host_state.h"

namespace plindo::host {

void HostState::restoreDeckSlots() {
    // The remembered deck seats come back here once the group part exists.
}

}  // namespace plindo::host
