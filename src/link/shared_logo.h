#pragma once
// The DJ logo shared between the hosts of a group: base64 text cut into "/orv/djlogo" chunks, and the
// assembler that puts the newest generation back together.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::link::SharedLogo {

// Characters of base64 text per chunk.
constexpr size_t kChunkChars = 6000;
// Far above any logo a host shares (about 18 MB of JPEG); a larger count from the network is refused
// rather than collected.
constexpr int kMaxChunks = 4096;

// The standard base64 text of the bytes cut from the start into chunks of kChunkChars characters, the last
// holding the rest; empty bytes give none.
std::vector<std::string> chunks(std::span<const std::uint8_t> bytes);

inline constexpr double kMaxLeadMs = 300e3;
double wallClockMs();
// How far a generation runs ahead of `nowMs`, in milliseconds, when that is more than kMaxLeadMs; none
// otherwise (a non-finite generation included).
std::optional<double> leadMs(double generation, double nowMs);

struct Assembler {
    double gen = -1;                   // the generation being assembled; larger is newer
    std::map<int, std::string> parts;  // chunk texts by index
    int count = 0;                     // chunks of generation `gen`

    // The logo bytes when this chunk completes its generation, empty bytes when the sender's logo is empty
    // (a count of 0), otherwise none: an older generation, a misplaced or disagreeing chunk, an incomplete
    // set, or text that is not base64. A non-finite generation or a count outside 0...kMaxChunks is refused
    // without touching the assembler.
    // A generation is the sender's wall clock in milliseconds: one more than kMaxLeadMs ahead of `nowMs`
    // (this host's) is refused, so that it cannot pin the logo for ever.
    std::optional<std::vector<std::uint8_t>> add(double generation, int index, int count, std::string_view chunk,
                                                 double nowMs = wallClockMs());
};

// Failure texts of the round trip, the refusal of an older generation and the reset by an empty logo;
// empty when all pass.
std::vector<std::string> selfTest();

}  // namespace plindo::link::SharedLogo
