#include "serato/serato_emit_messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace plindo::serato::SeratoEmit {
namespace {

using Bytes = std::vector<uint8_t>;
Bytes v(const MidiBytes& b) { return {b.begin(), b.end()}; }

TEST(SeratoEmitMessages, StampMessageTwelveAndPhoneForms) {
    SeratoOutSettings s;
    EXPECT_EQ(v(stampMessage(2, true, 1234, 1.0, s)), (Bytes{0xE1, 0x00, 0x22, 0xB1, 0x06, 0x52}));
    EXPECT_EQ(v(stampMessage(1, false, 1234, 1.0, s)), (Bytes{0xE0, 0x00, 0x22}));

    s.twelveFlag = false;  // 500000 Hz: 1.0 s is 500000 = 0x7A120 -> low 14 bits 0x2120
    EXPECT_EQ(v(stampMessage(2, true, -1, 1.0, s)), (Bytes{0xE2, 0x20, 0x42, 0xB0, 0x05, 0x01, 0xB0, 0x11, 0x7F}));
    EXPECT_EQ(v(stampMessage(1, false, 0, 1.0, s)), (Bytes{0xE0, 0x20, 0x42, 0xB0, 0x04, 0x01}));

    s.keepAliveMode = 1;
    auto keepAlives = [&](double gap) {
        int n = 0;
        for (double t : {10.0, 10.0 + gap}) n += stampMessage(1, false, 0, t, s).size() == 6;
        return n;
    };
    EXPECT_EQ(keepAlives(0.2), 1);
    s.stampKeepAliveLast[0] = -1;
    EXPECT_EQ(keepAlives(0.3), 2);
    s.keepAliveMode = 2;
    EXPECT_EQ(stampMessage(1, false, 0, 30.0, s).size(), 3u);
}

TEST(SeratoEmitMessages, NineByteMessageSendsTheLow14BitsOfThePosition) {
    SeratoOutSettings s;
    // 1.0 s at 44100 Hz = 44100 -> 14 bits 11332 = 0x2C44
    EXPECT_EQ(v(nineByteMessage(1, -1, 1.0, s)), (Bytes{0xE0, 0x44, 0x58, 0xB0, 0x06, 0x7F, 0xB0, 0x26, 0x7F}));
    EXPECT_EQ(v(nineByteMessage(2, 300, 0, s)), (Bytes{0xE1, 0, 0, 0xB1, 0x06, 0x02, 0xB1, 0x26, 0x2C}));
}

TEST(SeratoEmitMessages, RelativeMessageDeltaFormsAndTimeController) {
    SeratoOutSettings s;
    EXPECT_EQ(v(relativeMessage(1, 0, 1.0, s)), (Bytes{0xE0, 0x44, 0x58}));

    struct Case { uint8_t form; int64_t delta; Bytes values; } cases[] = {
        {TimeCCForm::offset, 130, {127, 127, 68}},
        {TimeCCForm::signedForm, -5, {0x45}},
        {TimeCCForm::twos, -5, {0x7B}},
        {TimeCCForm::onoff, -5, {0}},
        {TimeCCForm::onoff, 5, {127}},
        {TimeCCForm::unknown, -5, {0x7B}},
    };
    for (const auto& c : cases) {
        s.timeCCForm = c.form;
        const Bytes b = v(relativeMessage(2, c.delta, 1.0, s));
        ASSERT_EQ(b.size(), 3 + 3 * c.values.size());
        for (std::size_t i = 0; i < c.values.size(); ++i) {
            EXPECT_EQ(b[3 + 3 * i], 0xB1);
            EXPECT_EQ(b[4 + 3 * i], 0x06);
            EXPECT_EQ(b[5 + 3 * i], c.values[i]) << "form " << int(c.form) << " delta " << c.delta;
        }
    }
    s.timeCCForm = TimeCCForm::twos;
    EXPECT_EQ(relativeMessage(1, 1'000'000, 1.0, s).size(), 3u + 256 * 3);  // the rest is dropped

    s.timeCC = 0x21;
    auto ms = [&](double stamp) { return relativeMessage(1, 0, stamp, s)[2]; };
    EXPECT_EQ(ms(5.0), 10);  // no previous stamp
    EXPECT_EQ(ms(5.0026), 2);
    EXPECT_EQ(ms(5.0052), 3);  // 2.6 + 0.6 carried
    EXPECT_EQ(ms(7.0), 10);   // a gap of a second or more
    EXPECT_EQ(relativeMessage(1, 0, 7.5, s)[1], 0x21);
}

TEST(SeratoEmitMessages, RadianIndicatorReportsAStillPlatterOnce) {
    SeratoOutSettings s;
    EXPECT_EQ(v(radianMessage(1, 0, 1.0, s)), (Bytes{0xB0, 0x10, 0, 0xB0, 0x18, 1}));
    EXPECT_EQ(radianMessage(1, -std::numbers::pi, 0.01, s)[2], 64);
    EXPECT_TRUE(radianMessage(1, -std::numbers::pi, 0.01, s).empty());
    EXPECT_EQ(radianMessage(1, 0.001, 1.0, s)[2], 127);
    EXPECT_EQ(radianMessage(1, 0.001, 1.0, s).size(), 6u);
    EXPECT_EQ(radianMessage(2, 0, 500, s)[5], 127);
}

// Whatever arrives from a phone or a control command, no encoder turns it into an integer it cannot hold.
TEST(SeratoEmitMessages, UnusableValuesGiveNoBytes) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    SeratoOutSettings s;
    for (bool twelve : {true, false}) {
        s.twelveFlag = twelve;
        for (double stamp : {1e12, -1e12, 1e300, inf, -inf, nan}) {
            EXPECT_TRUE(stampMessage(1, true, 5, stamp, s).empty()) << stamp;
            EXPECT_TRUE(nineByteMessage(1, 5, stamp, s).empty()) << stamp;
            EXPECT_TRUE(relativeMessage(1, 5, stamp, s).empty()) << stamp;
        }
        for (double pos : {1e15, -1e15, 1e300, inf, nan}) {
            EXPECT_TRUE(stampMessage(1, true, pos, 1.0, s).empty()) << pos;
            EXPECT_TRUE(nineByteMessage(2, pos, 1.0, s).empty()) << pos;
        }
        for (int deck : {0, 3, -1}) {
            EXPECT_TRUE(stampMessage(deck, false, 0, 1.0, s).empty());
            EXPECT_TRUE(nineByteMessage(deck, 0, 1.0, s).empty());
            EXPECT_TRUE(relativeMessage(deck, 1, 1.0, s).empty());
            EXPECT_TRUE(radianMessage(deck, 0, 1, s).empty());
        }
    }
    for (double x : {inf, -inf, nan}) {
        EXPECT_TRUE(radianMessage(1, x, 1, s).empty());
        EXPECT_TRUE(radianMessage(1, 0, x, s).empty());
    }
    EXPECT_EQ(radianMessage(1, 1e300, 1e300, s).size(), 6u);  // finite: the rate is clamped before rounding
    s.radianScale = nan;
    EXPECT_EQ(radianMessage(1, 0.5, 3, s)[5], 0);

    // A clock frequency set out of all reason cannot overflow the stamp count.
    s.twelveFlag = true;
    s.twelveFreq = 1e300;
    EXPECT_TRUE(stampMessage(1, false, 0, 1.0, s).empty());
    s.timeFreqByDeck[0] = nan;
    EXPECT_TRUE(nineByteMessage(1, 0, 1.0, s).empty());
    EXPECT_TRUE(relativeMessage(1, 0, 1.0, s).empty());
    EXPECT_EQ(relativeMessage(1, INT64_MIN, 1.0, s).size(), 0u);

    s.timeFreqByDeck[0] = 44100.0;
    EXPECT_EQ(relativeMessage(1, INT64_MIN, 1.0, s).size(), 3u + 256 * 3);
    EXPECT_EQ(relativeMessage(1, INT64_MAX, 1.0, s).size(), 3u + 256 * 3);
}

TEST(SeratoOutSettings, FormatNamesSetTheTicksPerTurnAndUnknownNamesFallBack) {
    SeratoOutSettings s;
    EXPECT_EQ(s.format, SeratoOutFormat::rel);
    s.selectFormat("phone");
    EXPECT_EQ(s.format, SeratoOutFormat::phone);
    EXPECT_EQ(s.ticksPerRev, 7200.0);
    s.selectFormat("rel");
    EXPECT_EQ(s.ticksPerRev, 36000.0);
    s.selectFormat("whatever");
    EXPECT_EQ(s.format, SeratoOutFormat::phone);

    EXPECT_EQ(TimeCCForm::named("onoff"), TimeCCForm::onoff);
    EXPECT_EQ(TimeCCForm::named("bogus"), TimeCCForm::unknown);
    EXPECT_EQ(TimeCCForm::name(TimeCCForm::unknown), "");

    // The live tuning starts without planning delay, look-ahead or segment extrapolation.
    Tuning expect = Tuning::defaults();
    expect.delay = expect.ahead = expect.segFactor = 0;
    EXPECT_EQ(s.tuning.load(), expect);
}

}  // namespace
}  // namespace plindo::serato::SeratoEmit
