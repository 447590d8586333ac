#pragma once
// Decoders of what the DJ application sends towards the hardware it believes is attached: the per-deck
// time/length SysEx, the outer layer of the packed Rane frames, the platter record and the song-info text
// (as a run of messages or as one message). Every decoder takes one complete SysEx (F0 ... F7) and gives a
// value or nothing; none logs, throws or reads outside its input.
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace plindo::serato::SeratoReturn {

using Bytes = std::span<const uint8_t>;

// (deck 1 or 2, kind, 28-bit value in ms). Kind 3 is the track length, 4 the elapsed play time.
struct TimeInfo {
    int deck = 0;
    int kind = 0;
    int value = 0;
    bool operator==(const TimeInfo&) const = default;
};

// The unpacked body of a packed Rane frame.
struct RaneFrame {
    uint8_t device = 0;
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    bool operator==(const RaneFrame&) const = default;
};

// Platter record of a type-5 frame. `deck` is the 0-based index as carried (0 = deck 1).
struct PlatterPosition {
    int deck = 0;
    uint32_t clockMs = 0;
    uint32_t positionMs = 0;
    uint16_t angleRaw = 0;  // 1024 per turn
    int32_t velocityRaw = 0;
    bool operator==(const PlatterPosition&) const = default;
};

// Slot 0 is the title, 1 the artist, 7 the file path.
struct SongInfo {
    int deck = 0;
    int slot = 0;
    std::string text;
    bool operator==(const SongInfo&) const = default;
};

inline constexpr std::array<uint8_t, 8> songInfoMarker{0x00, 0x40, 0x03, 0x12, 0x04, 0x00, 0x00, 0x50};

// Groups song-info messages into songs by time: a gap of more than 0.05 s starts a new song.
struct SongInfoAssembler {
    // A window of messages closer than 0.05 s never ends on a steady stream, so the reported keys are
    // bounded: past this many the set starts over (a later repeat may then be reported once more).
    static constexpr size_t kMaxEmitted = 256;

    bool expectText = false;
    int deck = 1;
    double last = -std::numeric_limits<double>::infinity();
    std::optional<std::string> title;
    std::optional<std::string> artist;
    bool hasPath = false;
    std::unordered_set<std::string> emitted;

    std::optional<SongInfo> feed(Bytes message, int deck, double now);
    std::vector<SongInfo> feedAll(const std::vector<std::vector<uint8_t>>& messages, int deck, double now);

private:
    void newSong(int d);
    std::optional<SongInfo> emit(int slot, const std::string& text);
};

std::optional<TimeInfo> decodeTimeInfo(Bytes message);
// True for any message of at least 8 bytes that starts F0 00 00 17.
bool isRaneFrame(Bytes message);
std::optional<RaneFrame> unpackRaneFrame(Bytes message);
// None when the payload has fewer than 15 bytes.
std::optional<PlatterPosition> platterPosition(Bytes payload);
// The single-message form; the result carries the given deck.
std::optional<SongInfo> decodeSongInfo(Bytes message, int deck);

// F0, the marker, the slot byte, the UTF-8 text, F7.
std::vector<uint8_t> songInfoMessage(uint8_t slot, std::string_view text);
// The platter record of the frame header + body + F7.
std::optional<PlatterPosition> platterFromFrame(Bytes body, Bytes header);
// The bytes laid end to end least significant bit first and cut into 7-bit groups from the low end; a
// final partial group is padded with zero bits.
std::vector<uint8_t> packSeptets(Bytes bytes);

// Known messages with known answers; the list of failure texts, empty when all pass.
std::vector<std::string> selfTest();

}  // namespace plindo::serato::SeratoReturn
