// Any bytes as the head of a WAV or AIFF file: never a crash or a read past them, and a length is only ever
// a finite number of seconds, never negative.
#include "motion/decode_audio_file.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const auto seconds = plindo::motion::pcmHeaderSeconds(std::span<const std::uint8_t>(data, size));
    if (seconds && !(std::isfinite(*seconds) && *seconds >= 0)) std::abort();
    return 0;
}
