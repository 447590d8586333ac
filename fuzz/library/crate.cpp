// Crate files of any kind: paths come out normalised, a cut file never yields more paths than the whole,
// and the paths of an intact prefix are the first paths of the whole.
#include "library/serato_library_records.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace rec = plindo::library::serato_records;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const rec::Bytes bytes(data, size);
    const rec::CrateRead crate = rec::parseCrate(bytes);
    for (const auto& p : crate.paths) {
        if (!p.empty() && p[0] != '/' && !(p.size() >= 2 && p[1] == ':')) std::abort();
        if (p.find('\0') != std::string::npos) std::abort();
    }
    const size_t cutAt = size ? data[0] % (size + 1) : 0;
    const rec::CrateRead cut = rec::parseCrate(bytes.first(std::min(cutAt, size)));
    if (cut.paths.size() > crate.paths.size()) std::abort();
    if (!cut.damaged && !std::equal(cut.paths.begin(), cut.paths.end(), crate.paths.begin())) std::abort();
    return 0;
}
