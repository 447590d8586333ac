#pragma once
// One named logger per component category ("file-server", "serato-midi", ...): stderr plus a rotating file
// under $XDG_STATE_HOME/plindo/. Never call from a real-time thread.
#include <spdlog/spdlog.h>

#include <string>
#include <string_view>

namespace plindo::platform {

spdlog::logger& logger(std::string_view category);

// Where the log file goes; tests point it at a temporary folder or disable it with an empty path.
void setLogFolder(const std::string& folder);

// $XDG_STATE_HOME/plindo (or ~/.local/state/plindo).
std::string stateFolder();

}  // namespace plindo::platform
