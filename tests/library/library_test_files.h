#pragma once
// Builders for the DJ application's database and crate files and for the folder trees the scan reads.
#include "library/lib_track.h"
#include "tag_file_writer.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plindo::library::testfiles {

using Bytes = tagwriter::Buf;
using tagwriter::writeFile;
using tagwriter::operator+;
using tagwriter::operator+=;

inline Bytes utf16(std::u16string_view s) {
    Bytes b;
    for (char16_t c : s) b.insert(b.end(), {static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c & 0xFF)});
    return b;
}
inline Bytes record(std::string_view tag, const Bytes& payload) {
    return tagwriter::bytes(tag) + tagwriter::be32(static_cast<uint32_t>(payload.size())) + payload;
}
inline Bytes concat(std::initializer_list<Bytes> parts) { return tagwriter::cat(parts); }

// One "otrk" of text fields: {{"pfil", u"Music/a.mp3"}, {"tsng", u"Title"}}.
inline Bytes track(std::initializer_list<std::pair<std::string_view, std::u16string_view>> fields) {
    Bytes inner = record("vrsn", utf16(u"ignored"));
    for (const auto& [tag, value] : fields) inner += record(tag, utf16(value));
    return record("otrk", inner);
}
inline Bytes header() { return record("vrsn", utf16(u"2.0/Serato Scratch LIVE Database")); }

inline void writeText(const std::filesystem::path& p, std::string_view text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// A WAV of `seconds` of silence in 16-bit samples, the samples a hole in a sparse file: hours cost no disk.
inline void silentWav(const std::filesystem::path& p, double seconds, uint32_t rate = 44100, uint16_t channels = 2) {
    const uint32_t frameBytes = 2u * channels;
    const auto data = static_cast<uint32_t>(seconds * rate) * frameBytes;
    std::string h = "RIFF";
    const auto le = [&h](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) h.push_back(static_cast<char>(v >> (8 * i)));
    };
    le(36 + data, 4);
    h += "WAVEfmt ";
    le(16, 4), le(1, 2), le(channels, 2), le(rate, 4), le(rate * frameBytes, 4), le(frameBytes, 2), le(16, 2);
    h += "data";
    le(data, 4);
    writeText(p, h);
    std::filesystem::resize_file(p, h.size() + data);
}

inline std::vector<std::string> names(const std::vector<LibTrack>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.name);
    return out;
}

// A fresh folder, removed with everything in it (permissions a test took away are given back first).
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "plindo-lib-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (!it->is_symlink(ec) && it->is_directory(ec))
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
        }
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

}  // namespace plindo::library::testfiles
