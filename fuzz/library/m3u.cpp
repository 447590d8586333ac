// Playlist bytes of any kind: every entry must be an audio path, absolute, without "." or ".." parts left,
// and a playlist that only adds a line never loses an entry.
#include "library/library_scan.h"
#include "platform/path_names.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::library;
    const std::span<const uint8_t> bytes(data, size);
    const auto entries = m3uEntries(bytes, "/music/lists");
    for (const auto& p : entries) {
        check(p.is_absolute());
        check(isAudioExtension(plindo::platform::pathExtension(p.filename().string())));
        for (const auto& part : p) check(part != "." && part != "..");
    }
    std::vector<uint8_t> more(bytes.begin(), bytes.end());
    for (uint8_t c : {'\n', '#', 'x', '\n', 'a', '.', 'm', 'p', '3', '\n'}) more.push_back(c);
    // The extra lines only add: a comment and one more track. (A Latin-1 file stays Latin-1: they are ASCII.)
    check(m3uEntries(more, "/music/lists").size() >= entries.size());
    return 0;
}
