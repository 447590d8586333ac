#pragma once
// Random identifiers: the one generator for names that must not collide (temp files, the wire suffix).
#include <string>

namespace plindo::platform {

// A new random (version 4) UUID as upper-case text with hyphens, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string randomUuid();

}  // namespace plindo::platform
