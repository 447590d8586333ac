// The library file readers take any bytes: they must never crash, hang or read outside the buffer, and a
// damaged file must still give the records before the damage.
#include "library/serato_library_records.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace rec = plindo::library::serato_records;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const rec::Bytes bytes(data, size);
    const rec::DatabaseRead db = rec::parseDatabase(bytes);
    const rec::CrateRead crate = rec::parseCrate(bytes);
    for (const auto& t : db.tracks) {
        // Normalised paths are empty, absolute, or carry a drive letter.
        if (!t.path.empty() && t.path[0] != '/' && !(t.path.size() >= 2 && t.path[1] == ':')) std::abort();
        (void)rec::parseLength(rec::trimLength(t.len));
    }
    // A prefix of the file never yields more tracks than the whole.
    if (size > 0) {
        const rec::DatabaseRead cut = rec::parseDatabase(bytes.first(size - 1));
        if (cut.tracks.size() > db.tracks.size()) std::abort();
    }
    (void)crate;
    (void)rec::decodeText(bytes);
    return 0;
}
