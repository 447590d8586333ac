// The "/deck/meta" reader of the views over any text: it answers a whole document or none, never a crash,
// and decoding is a pure function of the text.
#include "library/deck_meta.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plindo::library::DeckMeta;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto a = DeckMeta::decode(text);
    const auto b = DeckMeta::decode(text);
    if (a.has_value() != b.has_value() || (a && !(*a == *b))) std::abort();
    return 0;
}
