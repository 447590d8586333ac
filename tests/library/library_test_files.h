#pragma once
// Builders for the library files and folder trees the tests read.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plindo::library::testfiles {

using Bytes = std::vector<uint8_t>;

inline Bytes utf16(std::u16string_view s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c >> 8));
        b.push_back(static_cast<uint8_t>(c & 0xFF));
    }
    return b;
}

inline Bytes record(std::string_view tag, const Bytes& payload) {
    Bytes b(tag.begin(), tag.end());
    const auto n = static_cast<uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(n >> shift));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

// One "otrk" of text fields: {{"pfil", u"Music/a.mp3"}, {"tsng", u"Title"}}.
inline Bytes track(std::initializer_list<std::pair<std::string_view, std::u16string_view>> fields) {
    Bytes inner;
    inner = concat({record("vrsn", utf16(u"ignored"))});
    for (const auto& [tag, value] : fields) {
        const Bytes r = record(tag, utf16(value));
        inner.insert(inner.end(), r.begin(), r.end());
    }
    return record("otrk", inner);
}

inline Bytes header() { return record("vrsn", utf16(u"2.0/Serato Scratch LIVE Database")); }

inline void writeFile(const std::filesystem::path& p, const Bytes& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const std::filesystem::path& p, std::string_view text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "plindo-lib-XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        // Restore permissions a test took away so the folder can be removed.
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
