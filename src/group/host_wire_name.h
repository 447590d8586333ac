#pragma once
// The name this host goes by on the wire (the track server's service name): the computer's name, "-" and a
// four-character suffix that stays the same across runs ("plindo.wireSuffix"), so two machines with one
// name still differ.
#include "platform/settings.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace plindo::group {

// Computed on the first call and kept for the life of the process; later calls ignore `settings`.
const std::string& hostWireName(platform::Settings& settings);

// The computer's name: the pretty name of /etc/machine-info, else the host name, else "Mac".
std::string computerName();

// PRETTY_HOSTNAME from the text of a machine-info file, unquoted; none when absent or empty.
std::optional<std::string> prettyHostName(std::string_view machineInfo);

// `name` + "-" + the stored suffix; when the stored suffix is empty or unset, the first 4 characters of
// `newUuidText()` (a UUID in text) become the suffix and are stored.
std::string composeHostWireName(const std::string& name, platform::Settings& settings,
                                const std::function<std::string()>& newUuidText);

}  // namespace plindo::group
