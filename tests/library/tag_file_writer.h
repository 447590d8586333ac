#pragma once
// Writers of tagged files and of the DJ application's tag objects, for the tag reader tests and benchmark.
// Each builds exactly the bytes a format prescribes, so tests can also build what it forbids.
#include "platform/base64.h"

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tagwriter {

using Buf = std::vector<uint8_t>;

inline Buf bytes(std::string_view s) { return Buf(s.begin(), s.end()); }
// A literal with embedded zero bytes, all of it.
template <size_t N>
inline Buf raw(const char (&s)[N]) { return Buf(s, s + N - 1); }
inline Buf& operator+=(Buf& a, const Buf& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
inline Buf operator+(Buf a, const Buf& b) { return a += b; }
inline Buf cat(std::initializer_list<Buf> parts) {
    Buf out;
    for (const auto& p : parts) out += p;
    return out;
}

inline Buf be16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Buf be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Buf le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
inline Buf be64(uint64_t v) { return be32(uint32_t(v >> 32)) + be32(uint32_t(v)); }
inline Buf synchsafe(uint32_t v) { return {uint8_t((v >> 21) & 0x7F), uint8_t((v >> 14) & 0x7F), uint8_t((v >> 7) & 0x7F), uint8_t(v & 0x7F)}; }
inline Buf f32(float f) { return be32(std::bit_cast<uint32_t>(f)); }
inline Buf f64(double d) { return be64(std::bit_cast<uint64_t>(d)); }

// ASCII text as UTF-16 code units.
inline Buf utf16(std::string_view ascii, bool bigEndian) {
    Buf out;
    for (char c : ascii) out += bigEndian ? Buf{0, uint8_t(c)} : Buf{uint8_t(c), 0};
    return out;
}

inline std::string base64(const Buf& in) { return plindo::platform::base64Encode(in); }

// Breaks text into lines of `width` characters joined by line feeds.
inline std::string wrapLines(const std::string& s, size_t width) {
    std::string out;
    for (size_t i = 0; i < s.size(); i += width) out += (i ? "\n" : "") + s.substr(i, width);
    return out;
}

// ---- ID3v2 ----

inline Buf id3Frame(std::string_view id, const Buf& data, int version) {
    const auto size = uint32_t(data.size());
    return bytes(id) + (version >= 4 ? synchsafe(size) : be32(size)) + Buf{0, 0} + data;
}
inline Buf textFrame(std::string_view id, uint8_t encoding, const Buf& text, int version) {
    return id3Frame(id, Buf{encoding} + text, version);
}
inline Buf terminator(uint8_t encoding) { return encoding == 1 || encoding == 2 ? Buf{0, 0} : Buf{0}; }
inline Buf txxx(uint8_t encoding, const Buf& description, const Buf& value, int version) {
    return id3Frame("TXXX", Buf{encoding} + description + terminator(encoding) + value, version);
}
inline Buf geob(uint8_t encoding, const Buf& description, const Buf& object, int version, const Buf& fileName = {}) {
    return id3Frame("GEOB", cat({Buf{encoding}, bytes("application/octet-stream"), Buf{0}, fileName, terminator(encoding),
                                 description, terminator(encoding), object}),
                    version);
}
// A tag of the given major version; `extended` is the extended header's bytes as written (its size field
// included), `padding` zero bytes follow the frames.
inline Buf id3Tag(int version, const Buf& frames, const Buf& extended = {}, size_t padding = 0) {
    Buf body = extended + frames + Buf(padding, 0);
    return cat({bytes("ID3"), Buf{uint8_t(version), 0, uint8_t(extended.empty() ? 0 : 0x40)}, synchsafe(uint32_t(body.size())), body});
}
// Stand-in MPEG audio after the tag: frame sync words so the file looks like an MP3 to other readers.
inline Buf fakeAudio(size_t size) {
    Buf out(size, 0);
    for (size_t i = 0; i + 4 <= size; i += 417) out[i] = 0xFF, out[i + 1] = 0xFB, out[i + 2] = 0x90;
    return out;
}

// ---- RIFF / AIFF ----

// A chunk of `data`, with the pad byte an odd size takes.
inline Buf chunk(std::string_view id, const Buf& data, bool littleEndian) {
    const auto n = uint32_t(data.size());
    return bytes(id) + (littleEndian ? le32(n) : be32(n)) + data + Buf(n % 2, 0);
}
inline Buf riffFile(const Buf& chunks) { return cat({bytes("RIFF"), le32(uint32_t(chunks.size() + 4)), bytes("WAVE"), chunks}); }
inline Buf aiffFile(const Buf& chunks) { return cat({bytes("FORM"), be32(uint32_t(chunks.size() + 4)), bytes("AIFF"), chunks}); }

// ---- FLAC ----

inline Buf flacBlock(int type, const Buf& data, bool last) {
    const auto n = uint32_t(data.size());
    return Buf{uint8_t((last ? 0x80 : 0) | type), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)} + data;
}
inline Buf vorbisComments(const std::vector<std::string>& comments, std::string_view vendor = "test") {
    Buf out = le32(uint32_t(vendor.size())) + bytes(vendor) + le32(uint32_t(comments.size()));
    for (const auto& c : comments) out += le32(uint32_t(c.size())) + bytes(c);
    return out;
}
inline Buf flacFile(const std::vector<Buf>& blocksAfterStreamInfo) {
    // Stream info of 44.1 kHz stereo 16-bit and no samples: enough for readers that want one.
    const Buf streamInfo = Buf{0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0x0A, 0xC4, 0x42, 0xF0} + Buf(20, 0);
    Buf out = bytes("fLaC") + flacBlock(0, streamInfo, blocksAfterStreamInfo.empty());
    for (const auto& b : blocksAfterStreamInfo) out += b;
    return out;
}

// ---- MP4 ----

inline Buf atom(std::string_view type, const Buf& content) { return be32(uint32_t(content.size() + 8)) + bytes(type) + content; }
inline Buf atom64(std::string_view type, const Buf& content) { return be32(1) + bytes(type) + be64(content.size() + 16) + content; }
// An atom whose size field is 0: it runs to the end of its parent.
inline Buf atomToEnd(std::string_view type, const Buf& content) { return be32(0) + bytes(type) + content; }
inline Buf dataAtom(uint32_t typeIndicator, const Buf& value) { return atom("data", be32(typeIndicator) + be32(0) + value); }
inline Buf textItem(std::string_view type, std::string_view text) { return atom(type, dataAtom(1, bytes(text))); }
inline Buf freeform(std::string_view mean, std::string_view name, const Buf& value) {
    return atom("----", cat({atom("mean", be32(0) + bytes(mean)), atom("name", be32(0) + bytes(name)), dataAtom(1, value)}));
}
inline Buf ftyp() { return atom("ftyp", bytes("M4A ") + be32(0) + bytes("M4A mp42isom")); }
inline Buf metaAtom(const Buf& ilstItems, bool withVersion = true) {
    return atom("meta", (withVersion ? be32(0) : Buf{}) + atom("hdlr", be32(0) + be32(0) + bytes("mdirappl") + Buf(9, 0)) + atom("ilst", ilstItems));
}
inline Buf mp4File(const Buf& ilstItems, bool metaWithVersion = true, const Buf& mdat = {}) {
    return cat({ftyp(), atom("mdat", mdat), atom("moov", atom("mvhd", Buf(100, 0)) + atom("udta", metaAtom(ilstItems, metaWithVersion)))});
}

// ---- The DJ application's objects ----

inline Buf entry(std::string_view name, const Buf& data) { return bytes(name) + Buf{0} + be32(uint32_t(data.size())) + data; }
inline Buf cueEntry(uint8_t idx, uint32_t ms, uint8_t r, uint8_t g, uint8_t b, std::string_view label) {
    return entry("CUE", cat({Buf{0, idx}, be32(ms), Buf{0, r, g, b, 0, 0}, bytes(label), Buf{0}}));
}
inline Buf loopEntry(uint8_t idx, uint32_t startMs, uint32_t endMs, bool locked, uint8_t r, uint8_t g, uint8_t b, std::string_view label) {
    return entry("LOOP", cat({Buf{0, idx}, be32(startMs), be32(endMs), locked ? be32(0) : be32(0xFFFFFFFF), Buf{0, 0},
                              Buf{r, g, b, 0}, bytes(label), Buf{0}}));
}
inline Buf colorEntry(uint8_t r, uint8_t g, uint8_t b) { return entry("COLOR", Buf{0, r, g, b}); }
inline Buf bpmLockEntry(bool on) { return entry("BPMLOCK", Buf{uint8_t(on)}); }
inline Buf jumpAction(double from, double to) { return Buf{0} + be32(16) + f64(from) + f64(to); }
inline Buf censorAction(double trigger, double reverse, double speed) { return Buf{1} + be32(24) + f64(trigger) + f64(reverse) + f64(speed); }
inline Buf flipEntry(uint8_t slot, std::string_view name, bool loop, const std::vector<Buf>& actions, std::optional<uint32_t> count = std::nullopt) {
    Buf d = cat({Buf{0, slot, 0}, bytes(name), Buf{0, uint8_t(loop)}, be32(count.value_or(uint32_t(actions.size())))});
    for (const auto& a : actions) d += a;
    return entry("FLIP", d);
}
// The payload as a GEOB object holds it: two bytes, base64 (in lines) of the version bytes and the entries, a
// zero byte.
inline Buf markers2Payload(const Buf& entries, bool lineFeeds = true) {
    const std::string text = base64(Buf{1, 1} + entries);
    return Buf{1, 1} + bytes(lineFeeds ? wrapLines(text, 72) : text) + Buf{0};
}
inline Buf beatGridPayload(const std::vector<std::pair<float, uint32_t>>& markers, float terminalT, float bpm) {
    Buf out = Buf{1, 0} + be32(uint32_t(markers.size() + 1));
    for (auto [t, beats] : markers) out += f32(t) + be32(beats);
    return out + f32(terminalT) + f32(bpm) + Buf{0};
}
inline Buf overviewPayload(uint8_t fill = 7, size_t columnsBytes = 3840) { return Buf{1, 5} + Buf(columnsBytes, fill); }
// A FLAC or MP4 value: base64 of the MIME type, its terminator, an empty file name, the description and the
// payload.
inline std::string tagObject(std::string_view description, const Buf& payload, size_t lineWidth = 72) {
    const Buf raw = cat({bytes("application/octet-stream"), Buf{0, 0}, bytes(description), Buf{0}, payload});
    return wrapLines(base64(raw), lineWidth);
}

inline void writeFile(const std::filesystem::path& path, const Buf& data) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

}  // namespace tagwriter
