#pragma once
// A track the group plays on one side, and the rule for which load generations are believed. Generations are
// the wall-clock second of the announce plus one and travel as a 32-bit integer, so anything above that
// range, or far in the future, comes from a broken or hostile peer: taken, it would block every later load
// on its side.
#include <cstdint>
#include <optional>
#include <string>

namespace plindo::group {

struct GroupLoad {
    std::string path;
    std::string server;  // the host that serves the file; empty for none
    int64_t gen = 0;
    std::string member;  // the roster record it was read from

    bool operator==(const GroupLoad&) const = default;
};

// How far ahead of this host's wall clock a generation may be: a peer's clock may run a little ahead, but a
// generation far in the future would block every honest load until then.
inline constexpr int64_t kGenerationLeadSec = 300;

// True for 1 … min(2^31 − 1, wallSeconds + kGenerationLeadSec).
bool generationAcceptable(int64_t gen, int64_t wallSeconds);
// How far the generation runs ahead of `wallSeconds`, in seconds, when that is more than kGenerationLeadSec
// (the sender's clock is fast, or it lies); none otherwise.
std::optional<int64_t> generationLead(int64_t gen, int64_t wallSeconds);

// Whole seconds since 1970 of the system clock.
int64_t wallClockSeconds();

}  // namespace plindo::group
