#include "serato/serato_return.h"

#include "platform/text.h"
#include "serato/screen_wave.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cmath>

namespace plindo::serato::SeratoReturn {

namespace {

constexpr uint8_t kSysexStart = 0xF0;
constexpr uint8_t kSysexEnd = 0xF7;
constexpr double kSongWindow = 0.05;  // seconds between messages of one song
constexpr size_t kTimeInfoSize = 15;
constexpr size_t kRaneFrameOverhead = 13;  // header 12 + F7
constexpr size_t kPlatterPayload = 15;

bool framed(Bytes m) { return m.size() >= 2 && m.front() == kSysexStart && m.back() == kSysexEnd; }

Bytes inner(Bytes m) { return m.subspan(1, m.size() - 2); }

std::string_view asText(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

uint32_t le32(Bytes b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// A letter or a number by Unicode properties, or "(" or "[": how a plausible title or artist begins.
bool plausibleStart(std::string_view s) {
    if (s.empty()) return false;
    if (s[0] == '(' || s[0] == '[') return true;
    UChar32 c = 0;
    int32_t i = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, static_cast<int32_t>(s.size()), c);
    if (c < 0) return false;
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK)) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Time/length, Rane frames, platter

std::optional<TimeInfo> decodeTimeInfo(Bytes m) {
    if (m.size() != kTimeInfoSize || m[0] != kSysexStart || m[14] != kSysexEnd) return std::nullopt;
    if (m[1] != 0x00 || m[2] != 0x20 || m[3] != 0x7F) return std::nullopt;
    if ((m[4] != 1 && m[4] != 2) || m[6] != 8) return std::nullopt;
    int value = 0;
    for (size_t i = 7; i < 14; ++i) {
        if (m[i] >= 16) return std::nullopt;
        value = value << 4 | m[i];
    }
    return TimeInfo{m[4], m[5], value};
}

bool isRaneFrame(Bytes m) {
    return m.size() >= 8 && m[0] == kSysexStart && m[1] == 0x00 && m[2] == 0x00 && m[3] == 0x17;
}

std::optional<RaneFrame> unpackRaneFrame(Bytes m) {
    if (m.size() < kRaneFrameOverhead || !isRaneFrame(m) || m.back() != kSysexEnd) return std::nullopt;
    if (m[5] != 0x25 || m[6] != 0x05) return std::nullopt;
    const size_t len = size_t(m[10]) * 128 + m[11];
    if (m.size() != len + kRaneFrameOverhead) return std::nullopt;
    RaneFrame f{m[4], m[7], {}};
    if (len >= 2) f.payload.reserve(7 * len / 8);
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 12; i < 12 + len; ++i) {
        if (m[i] & 0x80) return std::nullopt;
        acc |= uint32_t(m[i]) << bits;
        bits += 7;
        if (bits >= 8) {
            f.payload.push_back(static_cast<uint8_t>(acc));
            acc >>= 8;
            bits -= 8;
        }
    }
    return f;
}

std::optional<PlatterPosition> platterPosition(Bytes p) {
    if (p.size() < kPlatterPayload) return std::nullopt;
    PlatterPosition r;
    r.deck = p[0];
    r.clockMs = le32(p, 1);
    r.positionMs = le32(p, 5);
    r.angleRaw = static_cast<uint16_t>(p[9] | p[10] << 8);
    r.velocityRaw = static_cast<int32_t>(le32(p, 11));
    return r;
}

std::vector<uint8_t> packSeptets(Bytes bytes) {
    std::vector<uint8_t> out;
    out.reserve((bytes.size() * 8 + 6) / 7);
    uint32_t acc = 0;
    int bits = 0;
    for (uint8_t b : bytes) {
        acc |= uint32_t(b) << bits;
        bits += 8;
        while (bits >= 7) {
            out.push_back(acc & 0x7F);
            acc >>= 7;
            bits -= 7;
        }
    }
    if (bits > 0) out.push_back(acc & 0x7F);
    return out;
}

std::optional<PlatterPosition> platterFromFrame(Bytes body, Bytes header) {
    std::vector<uint8_t> m(header.begin(), header.end());
    m.insert(m.end(), body.begin(), body.end());
    m.push_back(kSysexEnd);
    const auto f = unpackRaneFrame(m);
    if (!f) return std::nullopt;
    return platterPosition(f->payload);
}

// ---------------------------------------------------------------------------------------------------------
// Song info

std::vector<uint8_t> songInfoMessage(uint8_t slot, std::string_view text) {
    std::vector<uint8_t> m{kSysexStart};
    m.insert(m.end(), songInfoMarker.begin(), songInfoMarker.end());
    m.push_back(slot);
    m.insert(m.end(), text.begin(), text.end());
    m.push_back(kSysexEnd);
    return m;
}

std::optional<SongInfo> decodeSongInfo(Bytes m, int deck) {
    if (m.size() < 11 || !framed(m)) return std::nullopt;
    const Bytes p = inner(m);
    constexpr size_t k = songInfoMarker.size();
    if (p.size() < k) return std::nullopt;
    std::optional<size_t> at;
    for (size_t s = 0; s <= std::min(p.size() - k, size_t{8}); ++s) {
        if (std::equal(songInfoMarker.begin(), songInfoMarker.end(), p.begin() + s)) {
            at = s;
            break;
        }
    }
    if (!at) return std::nullopt;
    for (size_t j = 0; j < 3; ++j) {
        const size_t textAt = *at + k + 1 + j;
        if (textAt >= p.size()) continue;
        const std::string_view raw = asText(p.subspan(textAt));
        if (!platform::text::isValidUtf8(raw)) continue;
        const std::string_view text = platform::text::trimWhitespace(raw);
        if (text.empty()) continue;
        const int slot = p[textAt - 1];
        const bool ok = (slot == 0 || slot == 1) ? plausibleStart(text) : slot == 7 ? text[0] == '/' : false;
        if (ok) return SongInfo{deck, slot, std::string(text)};
    }
    return std::nullopt;
}

void SongInfoAssembler::newSong(int d) {
    deck = d;
    title.reset();
    artist.reset();
    hasPath = false;
}

std::optional<SongInfo> SongInfoAssembler::emit(int slot, const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::string key = std::to_string(deck) + "|" + std::to_string(slot) + "|" + text;
    if (emitted.contains(key)) return std::nullopt;
    if (emitted.size() >= kMaxEmitted) emitted.clear();
    emitted.insert(std::move(key));
    return SongInfo{deck, slot, text};
}

std::optional<SongInfo> SongInfoAssembler::feed(Bytes m, int d, double now) {
    if (!framed(m)) return std::nullopt;
    const Bytes p = inner(m);
    if (now - last > kSongWindow) {  // a NaN difference compares false and keeps the song
        expectText = false;
        emitted.clear();
        newSong(d);
    }
    last = now;
    if (std::equal(p.begin(), p.end(), songInfoMarker.begin(), songInfoMarker.end())) {
        expectText = true;
        return std::nullopt;
    }
    const std::string_view raw = asText(p);
    if (!platform::text::isValidUtf8(raw)) {
        expectText = false;
        return std::nullopt;
    }
    const std::string text(platform::text::trimWhitespace(raw));
    int slot = 0;
    if (!text.empty() && text[0] == '/') {
        expectText = false;
        hasPath = true;
        slot = 7;
    } else if (!expectText) {
        return std::nullopt;
    } else {
        expectText = false;
        if (!hasPath && title && !artist) {
            artist = text;
            slot = 1;
        } else {
            if (hasPath || title) newSong(d);
            title = text;
            slot = 0;
        }
    }
    return emit(slot, text);
}

std::vector<SongInfo> SongInfoAssembler::feedAll(const std::vector<std::vector<uint8_t>>& messages, int d,
                                                 double now) {
    std::vector<SongInfo> out;
    for (const auto& m : messages)
        if (auto r = feed(m, d, now)) out.push_back(std::move(*r));
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Self-test

namespace {

std::vector<uint8_t> bytesOf(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::vector<uint8_t> textMessage(std::string_view text) {
    std::vector<uint8_t> m{kSysexStart};
    m.insert(m.end(), text.begin(), text.end());
    m.push_back(kSysexEnd);
    return m;
}

bool slotsAre(const std::vector<SongInfo>& r, std::initializer_list<int> slots, int deck) {
    if (r.size() != slots.size()) return false;
    size_t i = 0;
    for (int s : slots) {
        if (r[i].slot != s || r[i].deck != deck) return false;
        ++i;
    }
    return true;
}

}  // namespace

std::vector<std::string> selfTest() {
    std::vector<std::string> fails;
    const auto check = [&fails](bool ok, const char* text) {
        if (!ok) fails.emplace_back(text);
    };

    // Single-message form.
    const std::string path38 = "/Musik/Größe/Übermut – Olé!!.mp3";
    const auto pathMsg = songInfoMessage(7, path38);
    const auto p1 = decodeSongInfo(pathMsg, 2);
    check(p1 && p1->text == path38, "filepath utf-8 roundtrip");
    const auto p2 = decodeSongInfo(pathMsg, 2);
    check(p2 && p2->deck == 2, "filepath deck");
    const auto t = decodeSongInfo(songInfoMessage(0, "Morgens"), 1);
    check(t && t->slot == 0, "title slot");
    check(!decodeSongInfo(bytesOf({0xF0, 0x11, 0x22, 0x33, 0xF7}), 1), "foreign sysex accepted");
    check(!decodeSongInfo(songInfoMessage(7, ""), 1), "empty path accepted");

    // Runs of messages, one assembler throughout.
    SongInfoAssembler a;
    const auto marker = textMessage(asText(Bytes(songInfoMarker)));
    const auto run = [&marker](std::initializer_list<std::string_view> texts) {
        std::vector<std::vector<uint8_t>> out;
        for (auto s : texts) out.push_back(s.empty() ? marker : textMessage(s));
        return out;
    };
    // "" in a run stands for the marker.
    const std::string leftPath =
        "/home/dj/Musik/Sets/Sommer 2026/Morgenlicht/Kettenkarussell - Sonnenaufgang (Edit).mp3";
    const auto left = a.feedAll(run({"", "Sonnenaufgang", "", "Kettenkarussell", "", leftPath}), 1, 100.0);
    check(slotsAre(left, {0, 1, 7}, 1), "song info left");
    check(!left.empty() && left.back().text.ends_with("Kettenkarussell - Sonnenaufgang (Edit).mp3"),
          "song info left path");
    const std::string rightPath =
        "/home/dj/Musik/Sets/Winter 2026/Nachtschicht/Zweite Stunde/Lichterkette feat. Nordwind - "
        "Sonnenaufgang (Edit).flac";
    const auto right = a.feedAll(
        run({"", "Sonnenaufgang über den Dächern (Extended)!!", "", "Lichterkette feat. Nordwind", "", rightPath}),
        2, 102.7);
    check(slotsAre(right, {0, 1, 7}, 2), "song info right");
    const auto empty = bytesOf({0xF0, 0xF7});
    check(a.feedAll({marker, empty, empty, empty}, 1, 110.0).empty(), "song info empty");
    check(!a.feed(textMessage("Abendrot"), 1, 120.0), "song info text without key");
    const std::string recPath = "/home/dj/Musik/Aufnahmen/Probe am Dienstag/Aufnahme vom Dienstag.wav";
    const auto rec = a.feedAll(run({"", "Aufnahme vom Dienstag", "", recPath, "", "Aufnahme vom Dienstag", "", recPath}),
                               1, 130.0);
    check(slotsAre(rec, {0, 7}, 1) && rec.back().text == recPath, "song info without artist");
    const std::string latePath = "/home/dj/Musik/Sets/Abend/Glasperlen - Langer Atem 2.aiff";
    auto late = a.feedAll(run({"", "Langer Atem", "", "Glasperlen", "", "", "Langer Atem", "", "Glasperlen", ""}),
                          2, 140.0);
    const auto late2 = a.feedAll(run({"", latePath, "", latePath}), 2, 140.01);
    late.insert(late.end(), late2.begin(), late2.end());
    check(slotsAre(late, {0, 1, 7}, 2), "song info late path");

    // Time and length.
    const auto ti = decodeTimeInfo(bytesOf({0xF0, 0x00, 0x20, 0x7F, 0x01, 0x04, 0x08, 0x00, 0x00, 0x00, 0x0A,
                                            0x06, 0x0A, 0x06, 0xF7}));
    check(ti && *ti == TimeInfo{1, 4, 42662}, "time info");
    const auto t2 = decodeTimeInfo(bytesOf({0xF0, 0x00, 0x20, 0x7F, 0x02, 0x03, 0x08, 0x00, 0x00, 0x03, 0x0F,
                                            0x04, 0x07, 0x02, 0xF7}));
    check(t2 && t2->value == 259186, "time info d2");
    check(!decodeTimeInfo(marker), "time info took song key");
    const auto t3 = decodeTimeInfo(bytesOf({0xF0, 0x00, 0x20, 0x7F, 0x02, 0x03, 0x08, 0x00, 0x00, 0x01, 0x0E,
                                            0x03, 0x0A, 0x01, 0xF7}));
    check(t3 && t3->kind == 3 && t3->value == 123809, "time info length");

    // Platter frames.
    const auto header = bytesOf({0xF0, 0x00, 0x00, 0x17, 0x00, 0x25, 0x05, 0x05, 0x00, 0x14, 0x00, 0x12});
    const auto pd2 = platterFromFrame(bytesOf({0x01, 0x00, 0x1B, 0x02, 0x00, 0x20, 0x2D, 0x0C, 0x00, 0x00, 0x38,
                                               0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
                                      header);
    check(pd2 && *pd2 == PlatterPosition{1, 18112, 6325, 526, 0}, "platter d2");
    const auto pv = platterFromFrame(bytesOf({0x01, 0x64, 0x1F, 0x02, 0x00, 0x20, 0x2D, 0x0C, 0x00, 0x00, 0x38,
                                              0x10, 0x60, 0x7E, 0x7F, 0x7F, 0x7F, 0x01}),
                                     header);
    check(pv && pv->clockMs == 18418 && pv->velocityRaw == -10, "platter velocity");
    const auto pd1 = platterFromFrame(bytesOf({0x00, 0x12, 0x68, 0x12, 0x00, 0x60, 0x35, 0x0E, 0x00, 0x00, 0x7C,
                                               0x1F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
                                      header);
    check(pd1 && *pd1 == PlatterPosition{0, 154121, 7383, 1023, 0}, "platter d1");
    auto shortFrame = header;
    shortFrame.insert(shortFrame.end(), {0x01, 0x02, 0xF7});
    check(!unpackRaneFrame(shortFrame), "platter short accepted");

    // Overview frame.
    auto overview = bytesOf({0xF0, 0x00, 0x00, 0x17, 0x01, 0x25, 0x05, 0x07, 0x04, 0x51, 0x04, 0x4F,
                             0x01, 0x02, 0x00, 0x00, 0x20});
    overview.resize(overview.size() + 586, 0);
    overview.push_back(kSysexEnd);
    const auto ov = unpackRaneFrame(overview);
    check(ov && ov->device == 1 && ov->type == 7 && ov->payload.size() == 517 && ov->payload[1] == 1 &&
              ov->payload[3] == 0 && ov->payload[4] == 2,
          "overview datagram");

    // Screen waveform frame.
    auto record = bytesOf({0x01, 0x01, 0x17, 0x11, 0x00, 0x00, 0x01, 0x00, 0x70, 0x08});
    record.resize(record.size() + ScreenWave::kPixels, 0);
    record[10 + 7 * ScreenWave::kCols] = 67;
    const auto body = packSeptets(record);
    auto frame = bytesOf({0xF0, 0x00, 0x00, 0x17, 0x01, 0x25, 0x05, 0x09});
    const uint8_t hi = static_cast<uint8_t>(body.size() / 128), lo = static_cast<uint8_t>(body.size() % 128);
    frame.insert(frame.end(), {hi, lo, hi, lo});
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(kSysexEnd);
    const auto wf = unpackRaneFrame(frame);
    const auto sw = wf ? screenWave(wf->payload) : std::nullopt;
    check(body.size() == 2480 && sw && sw->deck == 1 && sw->offsetMs == 4375 &&
              sw->colour(7, 0) == (51u | 255u << 8 | 51u << 16),
          "screen waveform datagram");
    check(!screenWave(bytesOf({0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x10, 0x00})),
          "screenwave short accepted");
    return fails;
}

}  // namespace plindo::serato::SeratoReturn
