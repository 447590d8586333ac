#pragma once
// The start-up checks of the tick road, the return decoders and the logo chunking: fixed synthetic inputs
// with known answers. A failure is logged once and never stops the host.
#include <string>
#include <vector>

namespace plindo::host {

// Every failure text of every check, in a fixed order; empty when all pass.
std::vector<std::string> runSelfTests();

// Runs the checks and, when any fails, writes one error entry in the "serato-in" category.
void runAndLogSelfTests();

}  // namespace plindo::host
