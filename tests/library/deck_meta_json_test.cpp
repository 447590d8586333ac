#include "library/deck_meta_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace plindo::library {
namespace {

using nlohmann::json;
using Meta = SeratoFileMeta;

json base(const std::string& path) {
    return {{"path", path}, {"api_version", "0004"}, {"cues", json::array()}, {"loops", json::array()}, {"flips", json::array()}};
}

TEST(DeckMetaJson, WritesOnlyWhatTheTagsHold) {
    EXPECT_EQ(deckMetaDocument("/m/a.mp3", std::nullopt, std::nullopt), base("/m/a.mp3"));
    EXPECT_EQ(deckMetaDocument("/m/a.mp3", std::nullopt, 212.5)["duration_sec"], 212.5);
    for (double bad : {0.0, -1.0, double(INFINITY), double(NAN)}) EXPECT_EQ(deckMetaDocument("/m/a.mp3", std::nullopt, bad), base("/m/a.mp3"));

    Meta m;
    m.bpmField = 124.0;
    m.key = "";
    m.cues = {{3, 1.234, "#cc0000", ""}};
    json fieldOnly = base("/p");
    fieldOnly["bpm"] = 124.0;
    fieldOnly["cues"] = json::array({{{"idx", 3}, {"t_start", 1.234}, {"color", "#cc0000"}, {"label", ""}}});
    EXPECT_EQ(deckMetaDocument("/p", m, std::nullopt), fieldOnly);  // no empty key, no beat grid

    m.gridBpm = 128.0;  // the grid's tempo wins over the field's
    EXPECT_EQ(deckMetaDocument("/p", m, std::nullopt)["bpm"], 128.0);

    EXPECT_EQ(deckMetaDocument("/p", m, std::nullopt)["beatgrid"], (json{{"bpm", 128.0}}));
    m.gridTerminalT = 212.5;  // with no markers the terminal is the first anchor
    EXPECT_EQ(deckMetaDocument("/p", m, std::nullopt)["beatgrid"],
              (json{{"bpm", 128.0}, {"first_anchor_sec", 212.5}, {"terminal_sec", 212.5}}));
    m.gridMarkers = {{0.5, 16}};
    EXPECT_EQ(deckMetaDocument("/p", m, std::nullopt)["beatgrid"]["first_anchor_sec"], 0.5);
}

TEST(DeckMetaJson, WritesEveryMemberOfAFullyTaggedTrack) {
    Meta m;
    m.key = "Am";
    m.bpmLock = true;
    m.trackColorHex = "#ff8800";
    m.playcount = 7;
    m.overview = std::vector<uint8_t>(3840, 1);
    m.loops = {{0, 1.0, 2.5, "#00ff00", "L", true}};
    m.flips = {{2, "F", true, {{"jump", 1.0, 2.0, {}, {}, {}}, {"censor", {}, {}, 3.0, 4.0, -1.0}, {"unknown", {}, {}, {}, {}, {}}}}};
    json d = deckMetaDocument("/p", m, 60.0);
    EXPECT_EQ(d["serato_overview"]["b64"].get<std::string>().size(), 5120u);
    d["serato_overview"].erase("b64");
    EXPECT_EQ(d, json::parse(R"({"path":"/p","api_version":"0004","duration_sec":60.0,"key":"Am","bpm_lock":true,
        "track_color":"#ff8800","plays":7,"serato_overview":{"columns":240,"rows":16,"layout":"column_major_cube6"},
        "cues":[],"loops":[{"idx":0,"t_start":1.0,"t_end":2.5,"color":"#00ff00","label":"L","locked":true}],
        "flips":[{"slot":2,"name":"F","loop":true,"actions":[{"type":"jump","from_s":1.0,"to_s":2.0},
            {"type":"censor","trigger_s":3.0,"reverse_target_s":4.0,"speed":-1.0},{"type":"unknown"}]}]})"));
}

TEST(DeckMetaJson, LeavesOutNumbersThatAreNotFinite) {
    Meta m;
    m.gridBpm = NAN;
    m.bpmField = 120.0;
    m.cues = {{0, INFINITY, "#000000", "gone"}, {1, 2.0, "#000000", "kept"}};
    m.loops = {{0, 1.0, NAN, "#000000", "", false}};
    m.flips = {{0, "", false, {{"jump", NAN, 1.0, std::nullopt, std::nullopt, std::nullopt}}}};
    EXPECT_EQ(deckMetaDocument("/p", m, std::nullopt), json::parse(R"({"path":"/p","api_version":"0004","bpm":120.0,
        "cues":[{"idx":1,"t_start":2.0,"color":"#000000","label":"kept"}],"loops":[],
        "flips":[{"slot":0,"name":"","loop":false,"actions":[{"type":"jump","to_s":1.0}]}]})"));
}

TEST(DeckMetaJson, ReadsTheLengthTheAudioDataHoldsAlsoWhenTheFileWasCutShort) {
    const auto dir = std::filesystem::temp_directory_path() / ("plindo-meta-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const struct {
        const char* name;
        const char* codec;
        double keep;  // share of the file kept
        double seconds;
        double within = 0.01;  // compressed files end on whole frames
    } cases[] = {
        {"a.wav", "pcm_s16le", 1.0, 2.5},   {"b.aiff", "pcm_s16be", 1.0, 2.5}, {"c.aiff", "pcm_s24be", 1.0, 2.5},
        {"d.wav", "pcm_s16le", 0.5, 1.25},  {"e.aiff", "pcm_s16be", 0.5, 1.25}, {"f.aiff", "pcm_s24be", 0.4, 1.0},
        // Compressed files whose header gives the whole length: the length is what the file still holds.
        {"g.flac", "flac", 1.0, 2.5, 0.05}, {"h.flac", "flac", 0.5, 1.25, 0.4},
        {"i.m4a", "aac -movflags +faststart", 0.5, 1.25, 0.4}, {"j.mp3", "libmp3lame", 0.5, 1.25, 0.4},
    };
    for (const auto& c : cases) {
        const std::string path = (dir / c.name).string();
        const std::string cmd = std::string("ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=2.5 "
                                            "-ar 44100 -ac 2 -c:a ") + c.codec + " '" + path + "' </dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const auto size = std::filesystem::file_size(path);
        std::filesystem::resize_file(path, static_cast<uintmax_t>(static_cast<double>(size) * c.keep));
        const json d = deckMetaJSON(path);
        EXPECT_NEAR(d["duration_sec"].get<double>(), c.seconds, c.within) << c.name;
        EXPECT_EQ(d["cues"], json::array());
    }
    std::filesystem::remove_all(dir);
    EXPECT_EQ(deckMetaJSON((dir / "a.wav").string()), base((dir / "a.wav").string()));
}

}  // namespace
}  // namespace plindo::library
