#include "ui/library/wave_colors.h"
#include "ui/library/wave_spans.h"

#include "ui/expect_color.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace plindo::ui {
namespace {

using library::DeckMeta;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

DeckMeta::FlipAction jump(std::optional<double> from, std::optional<double> to, std::string type = "jump") {
    return {std::move(type), from, to, std::nullopt};
}

TEST(FlipSegments, CutsTheTrackIntoThePlayOrderOfItsJumps) {
    const struct {
        const char* name;
        double duration;
        std::vector<DeckMeta::FlipAction> actions;
        std::vector<WaveSpan> spans;
    } rows[] = {
        {"two jumps", 200, {jump(30, 10), jump(40, 120)}, {{0, 30}, {10, 40}, {120, 200}}},
        {"past the end", 200, {jump(100, 250)}, {{0, 100}}},
        {"from the start", 200, {jump(0, 50)}, {{50, 200}}},
        {"within 0.01 s of the cursor", 200, {jump(0.005, 50)}, {{50, 200}}},
        {"censor and incomplete", 200,
         {jump(30, 10, "censor"), jump(std::nullopt, 10), jump(30, std::nullopt)}, {{0, 200}}},
        {"negative landing", 200, {jump(30, -5)}, {{0, 30}, {0, 200}}},
        {"landing not a number", 200, {jump(30, kNaN)}, {{0, 30}, {0, 200}}},
        {"no actions left", 200, {}, {{0, 200}}},
        // After landing past the end, a later jump plays nothing rather than a backward span.
        {"jump after the end", 120, {jump(100, 150), jump(180, 20)}, {{0, 100}, {20, 120}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DeckMeta::Flip flip;
        flip.actions = r.actions;
        EXPECT_EQ(flipSegments(r.duration, &flip), r.spans);
    }
    EXPECT_EQ(flipSegments(200, nullptr), (std::vector<WaveSpan>{{0, 200}}));
    DeckMeta::Flip noActions;
    EXPECT_EQ(flipSegments(200, &noActions), (std::vector<WaveSpan>{{0, 200}}));
    EXPECT_DOUBLE_EQ(totalLength({{0, 30}, {10, 40}, {120, 200}}), 140);
}

using test::expectColor;

TEST(WaveColors, ColumnColourFromRgbThenBandsThenWhite) {
    library::PeakEnvelope env;
    env.bass = {0.1, 0.23, 0};
    env.mid = {0.2, 0.5, 0};
    env.treble = {0.05, 1, 0};
    env.rgbR = std::vector<double>{0.1, kNaN, 0.5, 0.2, 0.3};  // one whole triple
    expectColor(columnColor(env, 0), 0.3, 1, 1);                // ×3, NaN as 1, capped
    expectColor(columnColor(env, 1), 1, 1, 1);                  // no triple: bands ×4.35
    env.rgbR.reset();
    expectColor(columnColor(env, 0), 0.435, 0.87, 0.2175);
    expectColor(columnColor(env, 1), 1, 1, 1);
    expectColor(columnColor(env, 3), 1, 1, 1, 0.85);  // past the bands
    env.treble.pop_back();
    expectColor(columnColor(env, 2), 1, 1, 1, 0.85);  // unequal bands: no entry, not a read past the end
    expectColor(envelopeColumnColor(env, 0, 4.2, 6.09), 0.609, 1, 0.3045);
}

TEST(WaveColors, CueColourReadsSixHexDigitsWithOrWithoutNumberSign) {
    const QColor yellow = cueColor(std::optional<std::string>());
    expectColor(cueColor("#ff8000"), 1, 0.502, 0);
    expectColor(cueColor("ff8000"), 1, 0.502, 0);
    expectColor(cueColor("#00FFa0"), 0, 1, 0.627);
    for (const char* bad : {"#fff", "fff0", "#gg0000", "gg0000", "##ff8000", "", "#ff80000", "+ff800"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(cueColor(bad), yellow);
    }
}

}  // namespace
}  // namespace plindo::ui
