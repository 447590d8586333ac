#include "platform/base64.h"

#include <gtest/gtest.h>

#include <random>

using namespace plindo::platform;

namespace {
std::vector<std::uint8_t> bytesOf(std::string_view s) { return {s.begin(), s.end()}; }
}  // namespace

TEST(Base64, KnownVectorsRoundTrip) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
        {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBF", "+/+/"},
    };
    for (const auto& [plain, coded] : cases) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), coded);
        auto back = base64Decode(coded);
        ASSERT_TRUE(back) << coded;
        EXPECT_EQ(*back, bytesOf(plain));
    }

    std::mt19937 rng(7);
    for (size_t n = 0; n < 300; ++n) {
        std::vector<std::uint8_t> b(n);
        for (auto& x : b) x = static_cast<std::uint8_t>(rng());
        auto back = base64Decode(base64Encode(b));
        ASSERT_TRUE(back);
        ASSERT_EQ(*back, b) << n;
    }
}

TEST(Base64, MalformedTextIsRefused) {
    for (std::string_view bad : {"Zg", "Zg=", "Zm9", "Z===", "====", "Zg==Zg==", "Zm=v", "Zm9v\n", "Zm9-",
                                 "Zm9_", " Zm9v", "Zm\0v"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}
