// Speaker layouts: gain tables, shelf gains and speaker counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoder/coefficients.h"
#include "support.h"

using namespace decoder;
using decoder_test::Bits;

TEST(DecoderLayouts, SquareAndIrregularTablesAreExact)
{
    DecoderCoefficients c;
    std::memset(&c, 0x7f, sizeof c);
    SetupDecoderCoefficients(c, 0);
    const double w = 0.7071067811865476, g = 0.3535533905932738;
    const double square[3][4] = {{w, w, w, w}, {g, g, -g, -g}, {g, -g, g, -g}};
    for (int s = 0; s < 4; ++s) {
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(Bits(c.Gains[ch][s]), Bits(square[ch][s])) << ch << "," << s;
        EXPECT_EQ(Bits(c.Gains[3][s]), Bits(0.0));
    }
    EXPECT_EQ(c.LowGain, 1.33);
    EXPECT_EQ(c.HighGain, 1.15);

    SetupDecoderCoefficients(c, 1);
    const double irregular[3][4] = {
        {0.39284861846069663, 0.39284861846069663, 0.6569919502036998, 0.6569919502036998},
        {0.486794083218137, 0.486794083218137, -0.28903887990372495, -0.28903887990372495},
        {0.344936431434402, -0.344936431434402, 0.4507033671738203, -0.4507033671738203}};
    for (int s = 0; s < 4; ++s)
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(Bits(c.Gains[ch][s]), Bits(irregular[ch][s])) << ch << "," << s;
    EXPECT_EQ(c.LowGain, 1.0);
    EXPECT_EQ(c.HighGain, 1.0);
}

// Hexagons, octagons and the two rings, against each speaker's azimuth.
TEST(DecoderLayouts, RingLayoutsPointEachSpeakerAtItsAzimuth)
{
    struct Layout { int8_t type; int speakers; double firstDeg, stepDeg, xyScale; };
    const double c45 = std::cos(0.7853981633974483);
    const Layout layouts[] = {{2, 6, 0, 60, 0.5}, {3, 6, 30, 60, 0.5}, {4, 8, 0, 45, 0.5},
                              {5, 8, 22.5, 45, 0.5}, {6, 8, 0, 90, 0.5 * c45}};
    for (const Layout& l : layouts) {
        DecoderCoefficients c{};
        SetupDecoderCoefficients(c, l.type);
        EXPECT_EQ(SpeakerCount(l.type), static_cast<uint32_t>(l.speakers));
        for (int s = 0; s < l.speakers; ++s) {
            const double az = (l.firstDeg + l.stepDeg * s) * 3.141592653589793 / 180.0;
            EXPECT_EQ(Bits(c.Gains[0][s]), Bits(0.7071067811865476));
            EXPECT_NEAR(c.Gains[1][s], std::cos(az) * l.xyScale, 5e-7) << int(l.type) << "/" << s;
            EXPECT_NEAR(c.Gains[2][s], std::sin(az) * l.xyScale, 5e-7) << int(l.type) << "/" << s;
            const double z = l.type != 6 ? 0.0 : s < 4 ? 0.7071067811865475 : -0.7071067811865475;
            EXPECT_NEAR(c.Gains[3][s], z, 2e-16) << int(l.type) << "/" << s;
        }
        EXPECT_EQ(c.LowGain, 1.33);
    }
}

TEST(DecoderLayouts, UnknownTypesChangeOnlyTheShelfGains)
{
    for (int8_t type : {int8_t{7}, int8_t{100}, int8_t{-1}, int8_t{-128}}) {
        DecoderCoefficients before;
        SetupDecoderCoefficients(before, 5);
        before.LowGain = 1.0;
        before.HighGain = 1.0;
        DecoderCoefficients c = before;
        SetupDecoderCoefficients(c, type);
        EXPECT_EQ(std::memcmp(c.Gains, before.Gains, sizeof c.Gains), 0) << int(type);
        EXPECT_EQ(c.LowGain, 1.33);
        EXPECT_EQ(c.HighGain, 1.15);
        EXPECT_EQ(SpeakerCount(type), 0u);
    }
    EXPECT_EQ(SpeakerCount(0), 4u);
    EXPECT_EQ(SpeakerCount(1), 4u);
    EXPECT_EQ(SpeakerCount(2), 6u);
}

TEST(DecoderLayouts, SmallerLayoutLeavesTheColumnsPastItsSpeakers)
{
    DecoderCoefficients eight, c;
    SetupDecoderCoefficients(eight, 6);
    c = eight;
    SetupDecoderCoefficients(c, 2);
    SetupDecoderCoefficients(c, 0);
    for (int ch = 0; ch < 4; ++ch)
        for (int s = 6; s < 8; ++s) EXPECT_EQ(Bits(c.Gains[ch][s]), Bits(eight.Gains[ch][s]));
    DecoderCoefficients hex;
    SetupDecoderCoefficients(hex, 2);
    for (int ch = 0; ch < 4; ++ch)
        for (int s = 4; s < 6; ++s) EXPECT_EQ(Bits(c.Gains[ch][s]), Bits(hex.Gains[ch][s]));
}
