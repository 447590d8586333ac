#include "platform/url.h"

#include <gtest/gtest.h>

using namespace plindo::platform;

namespace {
const char* const kAwkwardPaths[] = {
    "/Music/plain.mp3",
    "/Music/A Tribe & Friends/Can I = You.flac",
    "/Music/100% Pure #1/b+side.wav",
    "/Music/Björk/Jóga (Remix) + Live.m4a",
    "/Music/日本語/曲.mp3",
    "/Music/already%2Bencoded%20name.mp3",
    "/Music/trailing space /?x=1;y'@:!$*,",
    "+",
    "",
};
}

TEST(Url, EncodedQueryValuesSurviveTheServersFormDecoding) {
    for (const char* path : kAwkwardPaths) {
        const std::string encoded = percentEncodeQueryValue(path);
        for (char c : encoded) {
            const bool unreserved = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
                                    c == '_' || c == '~' || c == '%';
            EXPECT_TRUE(unreserved) << path << " -> " << encoded;
        }
        EXPECT_EQ(queryValue("path", "x=1&path=" + encoded + "&path=other"), path) << encoded;
        EXPECT_EQ(formDecode(encoded), path);
    }
    EXPECT_EQ(percentEncodeQueryValue("a+b c/é"), "a%2Bb%20c%2F%C3%A9");
    // The server reads a raw "+" as a blank: why the encoder never leaves one.
    EXPECT_EQ(queryValue("path", "path=/a+b.mp3"), "/a b.mp3");
}

TEST(Url, QueryValueSplitsPairsTheServersWay) {
    struct Case {
        const char* name;
        const char* query;
        std::optional<std::string> want;
    } cases[] = {
        {"a", "a=1&a=2", "1"},
        {"a", "b&a", ""},
        {"a", "a=", ""},
        {"c", "a=1", std::nullopt},
        {"b", "=b", ""},
        {"a", "a=b=c", "b=c"},
        {"a", "&&a=x&&", "x"},
        {"a b", "a+b=1", "1"},
        {"a", "a=100%", "100%"},
        {"a", "a=%4", "%4"},
        {"a", "a=%zz%41", "%zzA"},
        {"a", "", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(queryValue(c.name, c.query), c.want) << c.name << " in " << c.query;
}

// A file name is bytes: what a request percent-encodes reaches the file system unchanged, UTF-8 or not.
TEST(Url, FormDecodeKeepsTheBytesAsSent) {
    EXPECT_EQ(formDecode("%C3%A9"), "é");
    EXPECT_EQ(formDecode("%FF"), "\xFF");
    EXPECT_EQ(formDecode("a%E2%82"), "a\xE2\x82");              // truncated sequence
    EXPECT_EQ(formDecode("%C0%AF"), "\xC0\xAF");                // overlong form
    EXPECT_EQ(formDecode("%ED%A0%80x"), "\xED\xA0\x80x");       // surrogate
    EXPECT_EQ(formDecode("%F0%9F%8E%B5"), "\xF0\x9F\x8E\xB5");
    EXPECT_EQ(queryValue("path", "path=%2Fm%2Fbad%FF%FE.mp3"), "/m/bad\xFF\xFE.mp3");
}

TEST(Url, ListedNamesCarryBytesThatAreNotUtf8AndComeBackAsThem) {
    // "%" is escaped too, and good characters are kept.
    const std::string bytes = "/m/100% \xC0\xAF\xC3\xA9\xE2\x82.wav", listed = "/m/100%25 %C0%AF\xC3\xA9%E2%82.wav";
    EXPECT_EQ(listedName(bytes), listed);
    EXPECT_EQ(nameFromListing(listed), bytes);
    // Valid UTF-8 is listed as it is, "%" and all, and never read as a listed name; nor are malformed escapes.
    for (const char* text : kAwkwardPaths) {
        EXPECT_EQ(listedName(text), text);
        EXPECT_EQ(nameFromListing(text), std::nullopt) << text;
    }
    for (const char* text : {"50%FF%", "%G0%FF", "%FF%4", "%C3%A9"}) EXPECT_EQ(nameFromListing(text), std::nullopt) << text;
}

TEST(Url, ParseAcceptsUrlComponentsAndRejectsBadCharacters) {
    const char* good[] = {"http://127.0.0.1:17600/audio/stream", "http://[::1]:17600/x", "https://dj@host/a?b=c#d",
                          "http://host:/x", "relative/path", "/abs", "http://h", "x:y"};
    for (const char* t : good) {
        const auto u = parseUrl(t);
        ASSERT_TRUE(u) << t;
        EXPECT_EQ(u->text(), t);
    }
    const char* bad[] = {"http://exa mple:17600", "http://host:port/x", "http://h/%zz", "1http://h/x",
                         "http://h/a b", "http://h/\xC3\xA9", "http://[::1/x", "http://h?q=\"x\"", "a:b:c/x y"};
    for (const char* t : bad) EXPECT_FALSE(parseUrl(t)) << t;
    const auto u = parseUrl("http://h:80/p?q#f");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->scheme, "http");
    EXPECT_EQ(u->authority, "h:80");
    EXPECT_EQ(u->path, "/p");
    EXPECT_EQ(u->query, "q");
    EXPECT_EQ(u->fragment, "f");
}
