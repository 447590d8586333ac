// Two hosts as two programs, the second joined to the first's group through "plindo.groupHost": their
// rosters agree, a track announced on the first plays on both and is taken once, a cut on the second reaches
// the first and stops, and the first's records leave the second's roster once it is gone.
#include "headless_process.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <set>

namespace {

using json = nlohmann::json;
using plindo::host::testing::Headless;
namespace fs = std::filesystem;

// Generous: the copies run under the sanitizers on a loaded machine. The behaviour, not the speed, is tested.
constexpr double kWaitSec = 20.0;

template <typename F>
bool within(double seconds, F&& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// Names of the active roster members a host reports.
std::set<std::string> activeNames(const json& group) {
    std::set<std::string> names;
    if (!group.contains("members")) return names;
    for (const auto& m : group["members"]) {
        if (m.value("active", false)) names.insert(m.value("name", ""));
    }
    return names;
}

// Two seconds of a 440 Hz tone, 44.1 kHz 16-bit stereo.
void writeTone(const fs::path& file) {
    const uint32_t rate = 44100, frames = 2 * rate;
    std::ofstream out(file, std::ios::binary);
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out << "RIFF";
    u32(36 + frames * 4);
    out << "WAVEfmt ";
    u32(16);
    u16(1);
    u16(2);
    u32(rate);
    u32(rate * 4);
    u16(4);
    u16(16);
    out << "data";
    u32(frames * 4);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / rate));
        u16(static_cast<uint16_t>(s));
        u16(static_cast<uint16_t>(s));
    }
}

json deck1(const Headless& h) {
    const json state = h.ctl("?cmd=state");
    return state.contains("decks") ? state["decks"][0] : json();
}

TEST(GroupHostsProcess, TwoHostsShareRosterLoadAndCutUntilOneGoes) {
    Headless a;
    Headless b(json{{"plindo.groupHost", "127.0.0.1:" + std::to_string(a.oscPort())}});
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());

    // The rosters agree: both hosts and their seats, on each side.
    std::set<std::string> namesA, namesB;
    EXPECT_TRUE(within(kWaitSec, [&] {
        namesA = activeNames(a.ctl("?cmd=group"));
        namesB = activeNames(b.ctl("?cmd=group"));
        return namesA.size() >= 4 && namesA == namesB;
    })) << json(namesA).dump() << " vs " << json(namesB).dump();
    const json groupB = b.ctl("?cmd=group");
    EXPECT_EQ(groupB["uplink"]["live"], true) << groupB.dump();
    const std::string nameA = a.ctl("?cmd=group")["name"];

    // A track announced on A plays on A's deck 1 and on B's (B's seat 1 sits on the left).
    const fs::path track = a.dir() / "tone.wav";
    writeTone(track);
    const auto announcedAt = std::chrono::steady_clock::now();
    const json announced = a.ctl("?cmd=announce&deck=1&path=" + track.string());
    ASSERT_EQ(announced["taken"], true) << announced.dump();
    const int64_t gen = announced["gen"];
    for (const Headless* h : {&a, &b}) {
        json d;
        EXPECT_TRUE(within(kWaitSec, [&] {
            d = deck1(*h);
            return d.value("path", "") == track.string() && d.value("durationSec", 0.0) > 0;
        })) << d.dump();
    }
    // A figure for the record (how long the group road took here), not a limit.
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - announcedAt);
    RecordProperty("announceToBothDecodedMs", static_cast<int>(tookMs.count()));
    EXPECT_EQ(b.ctl("?cmd=group")["gen"]["left"], gen);
    // The roster carries the same load on: B takes it once only.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(b.ctl("?cmd=group")["gen"]["left"], gen);
    EXPECT_EQ(a.ctl("?cmd=group")["gen"]["left"], gen);

    // A cut on B reaches A, and stays as it is on both.
    EXPECT_EQ(b.ctl("?cmd=groupmute&on=1")["cut"], true);
    EXPECT_TRUE(within(kWaitSec, [&] { return a.ctl("?cmd=groupmute")["cut"] == true; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(a.ctl("?cmd=groupmute")["cut"], true);
    EXPECT_EQ(b.ctl("?cmd=groupmute")["cut"], true);

    // A goes: its records leave B's roster.
    a.kill();
    EXPECT_TRUE(within(kWaitSec, [&] {
        for (const auto& n : activeNames(b.ctl("?cmd=group"))) {
            if (n == nameA || n.starts_with(nameA + "#")) return false;
        }
        return true;
    }));
    const auto code = b.terminate(10.0);
    EXPECT_EQ(code, 0) << [&] {
        std::ifstream log(b.dir() / "stderr.log");
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        return text.substr(text.size() > 4000 ? text.size() - 4000 : 0);
    }();
}

}  // namespace
