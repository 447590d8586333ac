// The whole tag reader over arbitrary bytes, once from memory and once from a file (through the read-ahead
// window); both roads must agree. Then the bar and beat counter over whatever grid came out.
#include "library/grid_count.h"
#include "library/serato_file_meta.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// One in-memory file, rewritten for every input.
int memoryFile() {
    static const int fd = memfd_create("tags", 0);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plindo::library::SeratoFileMeta;
    const auto fromMemory = SeratoFileMeta::readBytes({data, size});

    const int fd = memoryFile();
    if (fd >= 0 && ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size)) {
        const auto fromFile = SeratoFileMeta::read("/proc/self/fd/" + std::to_string(fd));
        if (fromFile != fromMemory) std::abort();
    }
    if (fromMemory && fromMemory->gridBpm) {
        // A short reach keeps each run quick; the caps bound it anyway.
        (void)plindo::library::GridCount::ticks(*fromMemory, 30.0);
    }
    return 0;
}
