// The whole tag reader over arbitrary bytes, then the bar and beat counter over whatever grid came out.
#include "library/grid_count.h"
#include "library/serato_file_meta.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto meta = plindo::library::SeratoFileMeta::readBytes({data, size});
    if (meta && meta->gridBpm) {
        // A short reach keeps each run quick; the caps bound it anyway.
        (void)plindo::library::GridCount::ticks(*meta, 30.0);
    }
    return 0;
}
