// The library panes of the window: the Files folder and the Serato library.
#include "host/host_state.h"

namespace plindo::host {

void HostState::restoreLibraryFolder() {
    // The panes load the library folder here once they exist; the players do not depend on it.
}

}  // namespace plindo::host
