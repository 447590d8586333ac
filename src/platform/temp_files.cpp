#include "platform/temp_files.h"

#include <cstdlib>

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
