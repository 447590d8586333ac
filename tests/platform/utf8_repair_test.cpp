#include "platform/utf8_repair.h"

#include <gtest/gtest.h>

using namespace plindo::platform;

TEST(Utf8Repair, EachIllFormedSubpartBecomesOneReplacement) {
    const std::string R = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8E\xB5", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
        {"a\xFF" "b", "a" + R + "b"},
        {"\x80\xBF", R + R},                       // stray continuation bytes
        {"\xC0\xAF", R + R},                       // overlong lead bytes are never valid
        {"\xE0\x80\xAF", R + R + R},               // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},               // a surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},       // above U+10FFFF
        {"\xE2\x82", R},                           // truncated at the end: one replacement
        {"\xE2\x82x", R + "x"},                    // truncated before an ASCII byte
        {"\xF0\x9F\x8E", R},
        {"\xF0\x9F\x8E\xF0\x9F\x8E\xB5", R + "\xF0\x9F\x8E\xB5"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(repairUtf8(in), out);
}
