// Drives a logo assembler with chunks built from the input (generation, index, count and text taken from its
// bytes), and checks that whatever completes decodes from base64 and round-trips.
#include "link/shared_logo.h"
#include "platform/base64.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    using namespace plindo;
    link::SharedLogo::Assembler a;
    size_t at = 0;
    while (size - at >= 11) {
        double gen;
        std::memcpy(&gen, data + at, 8);
        const int index = static_cast<int8_t>(data[at + 8]);
        const int count = static_cast<int8_t>(data[at + 9]);
        const size_t len = std::min<size_t>(data[at + 10], size - at - 11);
        std::string text(reinterpret_cast<const char*>(data + at + 11), len);
        at += 11 + len;
        if (auto bytes = a.add(gen, index, count, text)) {
            if (count != 0 && platform::base64Decode(platform::base64Encode(*bytes)) != *bytes) std::abort();
        }
        if (a.parts.size() > static_cast<size_t>(link::SharedLogo::kMaxChunks)) std::abort();
    }
    auto decoded = platform::base64Decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (decoded && platform::base64Encode(*decoded).size() != size) std::abort();
    return 0;
}
