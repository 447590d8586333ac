// Feeds arbitrary bytes through both sidecar reply decoders and the key reader.
#include "ui/library/camelot.h"
#include "ui/library/track_meta_lite.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    plindo::ui::TrackMetaLite meta;
    (void)plindo::ui::readTagsReply(bytes, meta);
    (void)plindo::ui::readDeckMetaReply(bytes, meta);
    (void)plindo::ui::camelotCode(bytes);
    (void)plindo::ui::camelotHue(bytes);
    return 0;
}
