// The rig table: the built-in rigs' gain tables bit for bit, where their speakers stand, their
// names and masks, and rigs made at run time.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <set>
#include <string>

#include "decoder/renderer.h"
#include "support.h"

using namespace decoder;
using decoder_test::Bits;

TEST(BuiltInRigs, SquareAndIrregularTablesAreExact)
{
    const DecoderCoefficients& c = BuiltInRig(LayoutId::Square).table;
    const double w = 0.7071067811865476, g = 0.3535533905932738;
    const double square[3][4] = {{w, w, w, w}, {g, g, -g, -g}, {g, -g, g, -g}};
    for (int s = 0; s < 4; ++s) {
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(Bits(c.Gains[ch][s]), Bits(square[ch][s])) << ch << "," << s;
        EXPECT_EQ(Bits(c.Gains[3][s]), Bits(0.0));
    }
    EXPECT_EQ(c.LowGain, 1.33);
    EXPECT_EQ(c.HighGain, 1.15);

    const DecoderCoefficients& q = BuiltInRig(LayoutId::IrregularQuad).table;
    const double irregular[3][4] = {
        {0.39284861846069663, 0.39284861846069663, 0.6569919502036998, 0.6569919502036998},
        {0.486794083218137, 0.486794083218137, -0.28903887990372495, -0.28903887990372495},
        {0.344936431434402, -0.344936431434402, 0.4507033671738203, -0.4507033671738203}};
    for (int s = 0; s < 4; ++s)
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(Bits(q.Gains[ch][s]), Bits(irregular[ch][s])) << ch << "," << s;
    EXPECT_EQ(q.LowGain, 1.0);
    EXPECT_EQ(q.HighGain, 1.0);
}

// Hexagons, octagons and the two rings, against each speaker's azimuth.
TEST(BuiltInRigs, RingTablesPointEachSpeakerAtItsAzimuth)
{
    struct Layout { LayoutId id; int speakers; double firstDeg, stepDeg, xyScale; };
    const double c45 = std::cos(0.7853981633974483);
    const Layout layouts[] = {{LayoutId::Hexagon, 6, 0, 60, 0.5},        {LayoutId::HexagonRotated, 6, 30, 60, 0.5},
                              {LayoutId::Octagon, 8, 0, 45, 0.5},        {LayoutId::OctagonRotated, 8, 22.5, 45, 0.5},
                              {LayoutId::TwoLayer, 8, 0, 90, 0.5 * c45}};
    for (const Layout& l : layouts) {
        const Rig& rig = BuiltInRig(l.id);
        const DecoderCoefficients& c = rig.table;
        ASSERT_EQ(rig.Channels(), static_cast<uint32_t>(l.speakers));
        for (int s = 0; s < l.speakers; ++s) {
            const double az = (l.firstDeg + l.stepDeg * s) * 3.141592653589793 / 180.0;
            EXPECT_EQ(Bits(c.Gains[0][s]), Bits(0.7071067811865476));
            EXPECT_NEAR(c.Gains[1][s], std::cos(az) * l.xyScale, 5e-7) << rig.name << "/" << s;
            EXPECT_NEAR(c.Gains[2][s], std::sin(az) * l.xyScale, 5e-7) << rig.name << "/" << s;
            const double z = l.id != LayoutId::TwoLayer ? 0.0 : s < 4 ? 0.7071067811865475 : -0.7071067811865475;
            EXPECT_NEAR(c.Gains[3][s], z, 2e-16) << rig.name << "/" << s;
        }
        for (int s = l.speakers; s < 8; ++s)
            for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(Bits(c.Gains[ch][s]), Bits(0.0)) << rig.name;
        EXPECT_EQ(c.LowGain, 1.33);
    }
}

TEST(BuiltInRigs, EachSpeakerStandsWhereItsGainsPointIt)
{
    for (int type = 0; type < kLayoutCount; ++type) {
        const Rig& rig = BuiltInRig(*LayoutIdOf(type));
        EXPECT_EQ(DecodeTypeOf(*rig.layout), type);
        EXPECT_EQ(rig.lfeChannel, -1);
        for (uint32_t s = 0; s < rig.Channels(); ++s) {
            const Speaker& p = rig.speakers[s];
            const double azimuth = std::atan2(rig.table.Gains[2][s], rig.table.Gains[1][s]) * 180.0 / 3.141592653589793;
            EXPECT_NEAR(std::remainder(azimuth - p.azimuth, 360.0), 0.0, 1e-9) << rig.name << " speaker " << s;
            // Only a speaker fed from Z stands above or below the horizon, on its side of it.
            const double z = rig.table.Gains[3][s];
            if (z == 0.0) EXPECT_EQ(0.0, p.elevation) << rig.name << " speaker " << s;
            else EXPECT_EQ(z > 0 ? 45.0 : -45.0, p.elevation) << rig.name << " speaker " << s;
        }
    }
}

TEST(BuiltInRigs, NamesAreDistinctCommandLineWordsAndLeadBackToTheirRig)
{
    std::set<std::string> names;
    for (int type = 0; type < kLayoutCount; ++type) {
        const Rig& rig = BuiltInRig(*LayoutIdOf(type));
        EXPECT_TRUE(names.insert(rig.name).second) << rig.name;
        ASSERT_FALSE(rig.name.empty());
        for (char ch : rig.name) EXPECT_TRUE(std::islower(static_cast<unsigned char>(ch)) || ch == '-') << rig.name;
        EXPECT_EQ(&rig, RigNamed(rig.name));
        EXPECT_FALSE(rig.summary.empty());
        // The four-speaker rigs name their channels front and back left and right.
        EXPECT_EQ(rig.channelMask, rig.Channels() == 4 ? 0x33u : 0u) << rig.name;
    }
    EXPECT_FALSE(LayoutIdOf(-1));
    EXPECT_FALSE(LayoutIdOf(kLayoutCount));
    EXPECT_EQ(nullptr, RigNamed(""));
    EXPECT_EQ(nullptr, RigNamed("Square"));
    EXPECT_EQ(nullptr, RigNamed("square "));
}

// A rig made at run time renders through the same seam as a built-in one: a copy of the square
// under another name decodes the same bits; one with no speakers, or more than the speaker
// decode mixes, is refused.
TEST(RigsMadeAtRunTime, RenderLikeTheBuiltInRigOfTheSameTable)
{
    Rig mine = BuiltInRig(LayoutId::Square);
    mine.name = "my-square";
    mine.layout.reset();
    const StreamDescription stream{4, 48000.0, 64};
    auto a = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
    auto b = MakeRenderer(OutputKind::Speakers, mine, nullptr);
    ASSERT_EQ(a->Prepare(stream), PrepareResult::Ok);
    ASSERT_EQ(b->Prepare(stream), PrepareResult::Ok);
    std::vector<uint8_t> in(100 * 4 * 4), outA(100 * 4 * 4), outB(100 * 4 * 4);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 37 + 11);
    a->Render(SampleFormat::Pcm32, in.data(), outA.data(), 100);
    b->Render(SampleFormat::Pcm32, in.data(), outB.data(), 100);
    EXPECT_EQ(outA, outB);
    EXPECT_EQ(b->ChannelMask(), 0x33u);

    Rig none;
    EXPECT_EQ(MakeRenderer(OutputKind::Speakers, none, nullptr), nullptr);
    Rig nine = BuiltInRig(LayoutId::Octagon);
    nine.speakers.push_back({10, 0});
    EXPECT_EQ(MakeRenderer(OutputKind::Speakers, nine, nullptr), nullptr);
}
