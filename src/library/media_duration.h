#pragma once
// The length of an audio file as the media framework (libavformat) reports it.
#include <optional>
#include <string>

namespace plindo::library {

// Seconds; none when the file cannot be opened or probed within `timeoutSec`, or the length is not known,
// not finite or not above 0.
std::optional<double> mediaDurationSec(const std::string& path, double timeoutSec = 5.0);

}  // namespace plindo::library
