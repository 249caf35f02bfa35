// The layout descriptions people see: names, speaker counts and positions, held to the gain
// tables the decoder actually uses.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <set>
#include <string>

#include "decoder/coefficients.h"
#include "decoder/layouts.h"

using namespace decoder;

TEST(LayoutDescriptions, EachSpeakerStandsWhereItsGainsPointIt)
{
    for (int type = 0; type < kLayoutCount; ++type) {
        const LayoutDescription* layout = LayoutOf(type);
        ASSERT_NE(nullptr, layout) << type;
        EXPECT_EQ(type, layout->decodeType);
        ASSERT_EQ(SpeakerCount(static_cast<int8_t>(type)), layout->speakers) << type;
        DecoderCoefficients c{};
        SetupDecoderCoefficients(c, static_cast<int8_t>(type));
        for (uint32_t s = 0; s < layout->speakers; ++s) {
            const SpeakerPosition& p = layout->positions[s];
            const double azimuth = std::atan2(c.Gains[2][s], c.Gains[1][s]) * 180.0 / 3.141592653589793;
            EXPECT_NEAR(azimuth, p.azimuth, 1e-9) << layout->name << " speaker " << s;
            EXPECT_GT(p.azimuth, -180.0) << layout->name << " speaker " << s;
            EXPECT_LE(p.azimuth, 180.0) << layout->name << " speaker " << s;
            // Only a speaker fed from Z stands above or below the horizon, on its side of it.
            const double z = c.Gains[3][s];
            if (z == 0.0) EXPECT_EQ(0.0, p.elevation) << layout->name << " speaker " << s;
            else EXPECT_EQ(z > 0 ? 45.0 : -45.0, p.elevation) << layout->name << " speaker " << s;
        }
    }
}

TEST(LayoutDescriptions, NamesAreDistinctCommandLineWordsAndLeadBackToTheirLayout)
{
    std::set<std::string> names;
    for (int type = 0; type < kLayoutCount; ++type) {
        const LayoutDescription* layout = LayoutOf(type);
        const std::string name = layout->name;
        EXPECT_TRUE(names.insert(name).second) << name;
        ASSERT_FALSE(name.empty());
        for (char ch : name) EXPECT_TRUE(std::islower(static_cast<unsigned char>(ch)) || ch == '-') << name;
        EXPECT_EQ(layout, LayoutNamed(layout->name));
        EXPECT_NE(nullptr, layout->summary);
    }
    EXPECT_EQ(nullptr, LayoutOf(-1));
    EXPECT_EQ(nullptr, LayoutOf(kLayoutCount));
    EXPECT_EQ(nullptr, LayoutNamed(nullptr));
    EXPECT_EQ(nullptr, LayoutNamed(""));
    EXPECT_EQ(nullptr, LayoutNamed("Square"));
    EXPECT_EQ(nullptr, LayoutNamed("square "));
}
