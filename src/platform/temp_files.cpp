#include "platform/temp_files.h"

#include <cstdlib>
#include <random>

namespace plindo::platform {

namespace {
// NAME_MAX is 255 bytes; a UUID and "-" take 37 of them.
constexpr size_t kMaxTail = 200;
}  // namespace

std::string tempFolder() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string randomUuid() {
    thread_local std::mt19937_64 rng{std::random_device{}() ^ (static_cast<uint64_t>(std::random_device{}()) << 32)};
    uint8_t b[16];
    for (int i = 0; i < 16; i += 8) {
        const uint64_t v = rng();
        for (int k = 0; k < 8; ++k) b[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[b[i] >> 4]);
        out.push_back(kHex[b[i] & 0x0F]);
    }
    return out;
}

std::string safeFileNameTail(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) out.push_back(c == '/' || c == '\0' ? '_' : c);
    if (out == "." || out == "..") out = "_";
    if (out.size() > kMaxTail) {
        size_t cut = kMaxTail;
        // Never split a UTF-8 sequence: back up to a lead byte.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

}  // namespace plindo::platform
