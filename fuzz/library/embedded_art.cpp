// Embedded pictures over any file bytes, from memory: the picture found is never empty and never larger
// than the file it came from.
#include "library/embedded_art.h"
#include "library/tag_source.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::library;
    const MemoryTagSource source({data, size});
    if (const auto art = EmbeddedArt::read(source); art && (art->empty() || art->size() > size)) std::abort();
    return 0;
}
