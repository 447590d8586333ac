// The waveform envelope's JSON reader over any text: what it accepts must write back to JSON that reads as
// the same envelope, and windowing it must not fail.
#include "library/peak_envelope.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plindo::library::PeakEnvelope;
    const auto env = PeakEnvelope::fromJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!env) return 0;
    if (const auto text = env->toJson()) {
        const auto again = PeakEnvelope::fromJson(*text);
        if (!again || again->toJson() != text) std::abort();
    }
    const int columns = size ? data[0] * 4 : 8;
    (void)env->windowed(columns, env->durationSec * 0.5, env->durationSec * 0.25).toJson();
    (void)env->windowed(columns, 0, 0);
    return 0;
}
