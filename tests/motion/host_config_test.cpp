#include "motion/host_config.h"

#include "platform/url.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace plindo;
using motion::HostConfig;

TEST(HostConfig, DefaultsAndStoredValuesAreReadOnEveryCall) {
    platform::MemorySettings s;
    HostConfig c(s, "/home/dj/");
    EXPECT_TRUE(c.followEase());
    EXPECT_FALSE(c.deviceUID(1));
    EXPECT_EQ(c.libraryFolder(), "/home/dj/Music");
    EXPECT_EQ(c.audioStreamURL("/a.mp3"), "http://127.0.0.1:17600/audio/stream?path=%2Fa.mp3");
    for (int deck = 1; deck <= 3; ++deck) c.setShareTracks(deck, false);
    EXPECT_TRUE(c.anyDeckSharesTracks()) << "deck 4 unset counts as sharing";
    c.setShareTracks(4, false);
    EXPECT_FALSE(c.anyDeckSharesTracks());
    s.setValue("orv.shareTracks.2", 1);  // written as a number elsewhere
    EXPECT_TRUE(c.shareTracks(2));
    c.setDeviceUID(1, "alsa:hw:1");
    EXPECT_EQ(s.stringValue("orv.devUID.1"), "alsa:hw:1");
    EXPECT_EQ(c.stillGate(), 0.005);
    for (double bad : {0.0, -1.0, std::nan("")}) {
        s.setValue("orv.stillGate", bad);
        EXPECT_EQ(c.stillGate(), 0.005) << bad;
    }
    s.setValue("orv.stillGate", 0.02);
    EXPECT_EQ(c.stillGate(), 0.02);

    for (auto [stored, base] : {std::pair{"\t \t", "http://127.0.0.1:17600"}, {"", "http://127.0.0.1:17600"},
                                {"  http://10.0.0.2:18000\t", "http://10.0.0.2:18000"},
                                {"\nhttp://h:1\n", "\nhttp://h:1\n"}}) {  // line breaks are not trimmed
        s.setValue("orv.guiBase", stored);
        EXPECT_EQ(c.guiBase(), base) << '"' << stored << '"';
    }
}

TEST(HostConfig, UrlBuildersEncodeEveryReservedByteOrGiveNone) {
    platform::MemorySettings s;
    HostConfig c(s);
    s.setValue("orv.guiBase", " http://10.0.0.2:17600 ");
    for (const std::string p : {"/M/A & B = C #1 100%.mp3", "/M/a+b.flac", "/M/Björk/Jóga.m4a", "/M/ space "}) {
        for (auto [url, route] : {std::pair{c.audioStreamURL(p), "/audio/stream"}, {c.coverArtURL(p), "/cover_art"},
                                  {c.tagsURL(p), "/tags"}, {c.deckMetaURL(p), "/deck/meta"}}) {
            ASSERT_TRUE(url) << p;
            const auto parts = platform::parseUrl(*url);
            ASSERT_TRUE(parts) << *url;
            EXPECT_EQ(parts->authority, "10.0.0.2:17600");
            EXPECT_EQ(parts->path, route);
            EXPECT_FALSE(parts->fragment) << "a \"#\" in the path must not end the query";
            EXPECT_EQ(platform::queryValue("path", parts->query.value_or("")), p) << *url;
        }
    }
    for (const char* bad : {"http://exa mple:17600", "http://host:port", "1http://h", "http://h/%zz"}) {
        s.setValue("orv.guiBase", bad);
        EXPECT_FALSE(c.audioStreamURL("/a") || c.coverArtURL("/a") || c.tagsURL("/a") || c.deckMetaURL("/a")) << bad;
    }
}

TEST(HostConfig, ChangeNoticeFollowsAnnouncingSettersOnly) {
    platform::MemorySettings s;
    HostConfig c(s);
    int notices = 0;
    bool sawValue = false;
    const int id = c.addChangeListener([&] {
        ++notices;
        sawValue = !c.shareTracks(1);  // the value is stored before the notice
    });
    c.setShareTracks(1, false);
    EXPECT_TRUE(notices == 1 && sawValue);
    c.setGroupSlot(2, 3);
    EXPECT_TRUE(s.intValue("orv.groupSlot.2") == 3 && notices == 2);
    c.setDeviceUID(1, "x");  // announces nothing
    c.removeChangeListener(id);
    c.setShareTracks(1, true);
    EXPECT_EQ(notices, 2);
}

TEST(HostConfig, SignFlipMaskIsReadOnceAndBitsFrom64AreClear) {
    platform::MemorySettings s, other;
    s.setValue("plindo.signFlips", (1 << 3) | (1 << 4));
    HostConfig c(s);
    EXPECT_TRUE(c.signFlip(3) && c.signFlip(4));
    EXPECT_FALSE(c.signFlip(0));
    other.setValue("plindo.signFlips", 1);
    HostConfig later(other);
    EXPECT_FALSE(later.signFlip(0)) << "the first read holds for the whole process";
    EXPECT_TRUE(later.signFlip(3));

    for (int bit : {64, 65, 200, 255}) EXPECT_FALSE(HostConfig::maskHasBit(-1.0, static_cast<uint8_t>(bit)));
    EXPECT_TRUE(HostConfig::maskHasBit(-1.0, 63));
    EXPECT_FALSE(HostConfig::maskHasBit(std::nan(""), 0));
}

TEST(HostConfig, SettingsFormSettersStoreThenNotice) {
    platform::MemorySettings s;
    HostConfig c(s, "/home/dj");
    std::vector<std::string> seen;
    c.addChangeListener([&] {
        seen.push_back(std::to_string(c.followEase()) + std::to_string(c.mePlayhead()) + c.libraryFolder());
    });
    EXPECT_FALSE(c.mePlayhead());
    c.setFollowEase(false);
    c.setMePlayhead(true);
    c.setLibraryFolderPath("/srv/music");
    EXPECT_EQ(seen, (std::vector<std::string>{"00/home/dj/Music", "01/home/dj/Music", "01/srv/music"}));
    for (auto [stored, port] : {std::pair{0, 6000}, {-3, 6000}, {70000, 6000}, {6001, 6001}}) {
        s.setValue("orv.meOscPort", stored);
        EXPECT_EQ(c.meOscPort(), port) << stored;
    }
}
