#include "serato/midi_byte_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plindo::serato {
namespace {

// The parser's output as text: "90 14 7F" per channel message, "S<n>" per SysEx of n bytes.
std::vector<std::string> run(MidiByteParser& p, const std::vector<uint8_t>& bytes) {
    std::vector<std::string> out;
    for (uint8_t b : bytes) {
        const auto e = p.feed(b);
        char text[16];
        if (e.kind == MidiByteParser::Event::Kind::channel) {
            std::snprintf(text, sizeof text, "%02X %02X %02X", e.status, e.data1, e.data2);
            out.emplace_back(text);
        } else if (e.kind == MidiByteParser::Event::Kind::sysex) {
            EXPECT_EQ(e.sysex.front(), 0xF0);
            EXPECT_EQ(e.sysex.back(), 0xF7);
            out.push_back("S" + std::to_string(e.sysex.size()));
        }
    }
    return out;
}

std::vector<std::string> run(const std::vector<uint8_t>& bytes) {
    MidiByteParser p;
    return run(p, bytes);
}

using V = std::vector<std::string>;

TEST(MidiByteParser, ChannelMessagesWithRunningStatusRealTimeAndSystemCommon) {
    struct Case { const char* name; std::vector<uint8_t> bytes; V want; };
    const Case cases[] = {
        {"running status", {0x90, 0x14, 0x7F, 0x14, 0x00}, {"90 14 7F", "90 14 00"}},
        {"real-time between status and data", {0xB0, 0xF8, 0x70, 0xFE, 0x40}, {"B0 70 40"}},
        {"data before any status", {0x14, 0x7F, 0x90, 0x14, 0x7F}, {"90 14 7F"}},
        {"system common cancels running status", {0x90, 0x14, 0x7F, 0xF3, 0x01, 0x14, 0x00, 0x91, 0x2A, 0x05},
         {"90 14 7F", "91 2A 05"}},
        {"stray F7 cancels running status", {0xB0, 0x01, 0x02, 0xF7, 0x01, 0x02}, {"B0 01 02"}},
        {"program change keeps running status", {0xC0, 0x05, 0x06}, {"C0 05 00", "C0 06 00"}},
        {"channel pressure is one byte", {0xD1, 0x10, 0xE0, 0x00, 0x40}, {"D1 10 00", "E0 00 40"}},
        {"status mid-message restarts it", {0x90, 0x14, 0xB0, 0x70, 0x40}, {"B0 70 40"}},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.bytes), c.want) << c.name;
}

TEST(MidiByteParser, SysexSurvivesRealTimeAndPacketBoundariesAndYieldsToStatusBytes) {
    MidiByteParser p;
    EXPECT_EQ(run(p, {0xF0, 0x00, 0x20}), V{});
    EXPECT_TRUE(p.sysexOpen());
    EXPECT_EQ(run(p, {0xF8, 0x7F, 0xFF, 0x01}), V{});  // next packet, real-time inside
    EXPECT_EQ(run(p, {0xF7, 0x90, 0x14, 0x7F}), (V{"S6", "90 14 7F"}));

    // A status byte inside an open SysEx abandons it and starts its own message.
    EXPECT_EQ(run({0xF0, 0x01, 0x02, 0xB1, 0x48, 0x7F, 0xF7}), V{"B1 48 7F"});
    // A SysEx after a channel message: the data after it need a new status.
    EXPECT_EQ(run({0x90, 0x14, 0x7F, 0xF0, 0x01, 0xF7, 0x14, 0x00}), (V{"90 14 7F", "S3"}));
}

TEST(MidiByteParser, SysexIsCappedAndTheTailOfAnOverlongOneIsNotReadAsNotes) {
    const auto sysexOf = [](size_t before) {  // `before` bytes ahead of F7, the F0 included
        std::vector<uint8_t> m(before, 0x14);
        m[0] = 0xF0;
        m.push_back(0xF7);
        return m;
    };
    EXPECT_EQ(run(sysexOf(MidiByteParser::kMaxSysex)), V{"S8193"});
    // One more byte: dropped, and its remaining data bytes (here note-like pairs) do not become notes of
    // the running status that preceded it.
    auto over = std::vector<uint8_t>{0x90, 0x14, 0x7F};
    const auto big = sysexOf(MidiByteParser::kMaxSysex + 40);
    over.insert(over.end(), big.begin(), big.end());
    over.insert(over.end(), {0x80, 0x14, 0x00});
    EXPECT_EQ(run(over), (V{"90 14 7F", "80 14 00"}));

    // The buffer never grows past the cap, however long the stream.
    MidiByteParser p;
    p.feed(0xF0);
    for (int i = 0; i < 100000; ++i) p.feed(0x01);
    EXPECT_LE(p.sysex.capacity(), MidiByteParser::kMaxSysex + 1);
}

}  // namespace
}  // namespace plindo::serato
