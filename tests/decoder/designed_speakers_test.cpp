// Rigs with a designed decoder: the presets' channel order and masks, and the speaker renderer
// that runs them (the matrix with the FuMa input folded in, the LFE channel, distance
// compensation and its tail).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decoder/renderer.h"
#include "support.h"

using namespace decoder;
using namespace decoder_test;

namespace {

// A rig of `speakers` with a single-band decoder of known gains (row s: 1 + s, 10 + s, 20 + s,
// 30 + s in ambiX W Y Z X), so that its output can be written down by hand.
Rig KnownRig(std::vector<Speaker> speakers, int32_t lfe)
{
    Rig rig;
    rig.speakers = std::move(speakers);
    rig.lfeChannel = lfe;
    DesignedDecoder d;
    d.order = 1;
    d.channels = 4;
    d.speakers = rig.speakers.size() - (lfe >= 0 ? 1 : 0);
    for (size_t s = 0; s < d.speakers; ++s)
        for (double base : {1.0, 10.0, 20.0, 30.0}) d.low.push_back((base + static_cast<double>(s)) / 64.0);
    d.high = d.low;
    rig.designed = d;
    return rig;
}

using decoder_test::RenderFloat;

}  // namespace

TEST(PresetRigs, ChannelsFollowTheirWaveMaskBits)
{
    struct Expected {
        const char* name;
        uint32_t mask;
        int32_t lfe;
        std::vector<double> azimuths, elevations;
    };
    const std::vector<Expected> expected = {
        {"stereo", 0x3, -1, {30, -30}, {0, 0}},
        {"5.0", 0x37, -1, {30, -30, 0, 110, -110}, {0, 0, 0, 0, 0}},
        {"5.1", 0x3F, 3, {30, -30, 0, 0, 110, -110}, {0, 0, 0, 0, 0, 0}},
        {"7.1", 0x63F, 3, {30, -30, 0, 0, 135, -135, 90, -90}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"5.1.4", 0x2D03F, 3, {30, -30, 0, 0, 110, -110, 30, -30, 110, -110}, {0, 0, 0, 0, 0, 0, 45, 45, 45, 45}},
        {"7.1.4", 0x2D63F, 3, {30, -30, 0, 0, 135, -135, 90, -90, 45, -45, 135, -135},
         {0, 0, 0, 0, 0, 0, 0, 0, 45, 45, 45, 45}},
    };
    ASSERT_EQ(PresetRigs().size(), expected.size());
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const Rig* rig = RigNamed(e.name);
        ASSERT_NE(rig, nullptr);
        EXPECT_EQ(rig->channelMask, e.mask);
        EXPECT_EQ(rig->lfeChannel, e.lfe);
        ASSERT_EQ(rig->Channels(), e.azimuths.size());
        // As many bits in the mask as channels: players route channel i to the i-th bit.
        EXPECT_EQ(static_cast<uint32_t>(__builtin_popcount(rig->channelMask)), rig->Channels());
        for (size_t i = 0; i < e.azimuths.size(); ++i) {
            if (static_cast<int32_t>(i) == e.lfe) continue;
            EXPECT_EQ(rig->speakers[i].azimuth, e.azimuths[i]) << i;
            EXPECT_EQ(rig->speakers[i].elevation, e.elevations[i]) << i;
        }
        ASSERT_TRUE(rig->designed);
        EXPECT_EQ(rig->designed->speakers + (e.lfe >= 0 ? 1 : 0), rig->Channels());
        EXPECT_FALSE(rig->layout);
        EXPECT_NE(MakeRenderer(OutputKind::Speakers, *rig, nullptr), nullptr);
    }
    // The built-in layouts keep their table decode.
    EXPECT_FALSE(BuiltInRig(LayoutId::TwoLayer).designed);
}

TEST(PresetRigs, RigsFromPositionsAreDesignedOrRefused)
{
    Rig rig;
    ASSERT_EQ(MakeRig({{0, 0, 2}, {120, 0, 2}, {-120, 0, 1.5}}, true, rig), DesignResult::Ok);
    EXPECT_EQ(rig.Channels(), 4u);
    EXPECT_EQ(rig.lfeChannel, 3);
    EXPECT_EQ(rig.channelMask, 0u);
    EXPECT_EQ(rig.speakers[2].distance, 1.5);
    ASSERT_TRUE(rig.designed);
    EXPECT_EQ(rig.designed->speakers, 3u);

    const Rig before = rig;
    size_t clash[2] = {};
    EXPECT_EQ(MakeRig({{0, 0}}, false, rig), DesignResult::TooFewSpeakers);
    EXPECT_EQ(MakeRig({{0, 0}, {10, 0}, {10.1, 0.2}}, false, rig, clash), DesignResult::SameDirection);
    EXPECT_EQ(clash[0], 1u);
    EXPECT_EQ(clash[1], 2u);
    EXPECT_EQ(MakeRig({{0, 0}, {180, 0, -1}}, false, rig, clash), DesignResult::BadDirection);
    EXPECT_EQ(clash[0], 1u);
    EXPECT_EQ(MakeRig({{0, 0}, {180, 0, NAN}}, false, rig), DesignResult::BadDirection);
    EXPECT_EQ(MakeRig({{0, 95}, {180, 0}}, false, rig), DesignResult::BadDirection);
    EXPECT_EQ(MakeRig(std::vector<Speaker>(65, Speaker{}), false, rig), DesignResult::TooManySpeakers);
    EXPECT_EQ(rig.Channels(), before.Channels());
    EXPECT_EQ(rig.designed->low, before.designed->low);
}

// The renderer folds FuMa W X Y Z into the ambiX matrix (W times sqrt 2, columns W Y Z X),
// keeps the LFE row for W low-passed, scales rows for distance and delays the nearer
// speakers' samples, with the delay brought out as the tail.
TEST(DesignedSpeakerRenderer, RunsTheMatrixWithFumaInputAndDistances)
{
    // Speaker 0 at 3.43 m, speaker 1 at 1.715 m: 5 ms nearer, 240 frames at 48 kHz, half gain.
    const Rig rig = KnownRig({{0, 0, 3.43}, {}, {180, 0, 1.715}}, 1);
    auto r = MakeSpeakerRenderer(rig, SpeakerOptions{true});
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->Prepare({4, 48000.0, 64}), PrepareResult::Ok);
    const double w = 0.25, x = -0.5, y = 0.125, z = 0.375;
    std::vector<double> in;
    for (int f = 0; f < 300; ++f)
        for (double v : {w, x, y, z}) in.push_back(f == 0 ? v : 0.0);
    const std::vector<double> out = RenderFloat(*r, in);
    const auto row = [&](double s) {
        return (1 + s) / 64 * w * std::sqrt(2.0) + (10 + s) / 64 * y + (20 + s) / 64 * z + (30 + s) / 64 * x;
    };
    EXPECT_FLOAT_EQ(out[0], row(0));
    EXPECT_EQ(out[2], 0.0);  // delayed
    EXPECT_FLOAT_EQ(out[240 * 3 + 2], row(1) * 0.5);
    for (size_t f = 0; f < 300; ++f) EXPECT_EQ(out[f * 3 + 1], 0.0) << f;  // LFE asked silent
    EXPECT_EQ(r->TailFrames(), 240u);
    EXPECT_EQ(r->LagFrames(), 0u);

    // The tail brings out the rest of the delayed channel, then nothing is owed.
    std::vector<uint8_t> tail(240 * 3 * 4);
    r->RenderTail(SampleFormat::Float32, tail.data(), 1000);
    EXPECT_EQ(r->TailFrames(), 0u);

    // Three input channels: the Z column is left out.
    ASSERT_EQ(r->Prepare({3, 48000.0, 64}), PrepareResult::Ok);
    std::vector<double> in3 = {w, x, y};
    in3.resize(3 * 10, 0.0);
    EXPECT_FLOAT_EQ(RenderFloat(*r, in3)[0], row(0) - 20.0 / 64 * z);
}

TEST(DesignedSpeakerRenderer, LfeCarriesWLowPassed)
{
    const Rig& rig = *RigNamed("5.1");
    const double rate = 48000.0;
    for (double hz : {40.0, 960.0}) {
        auto r = MakeRenderer(OutputKind::Speakers, rig, nullptr);
        ASSERT_EQ(r->Prepare({4, rate, 512}), PrepareResult::Ok);
        std::vector<double> in;
        for (int f = 0; f < 9600; ++f) {
            const double v = 0.5 * std::sin(2 * kPi * hz * f / rate);
            for (double c : {v, 0.0, 0.0, 0.0}) in.push_back(c);
        }
        const std::vector<double> out = RenderFloat(*r, in);
        double peak = 0.0;
        for (size_t f = 4800; f < 9600; ++f) peak = std::max(peak, std::fabs(out[f * 6 + 3]));
        if (hz == 40.0)
            EXPECT_NEAR(peak, 0.5, 0.02);
        else
            EXPECT_LT(peak, 0.5 * 1e-3);  // three octaves above 120 Hz: more than 60 dB down
    }
}

// Planes of doubles from float give the interleaved float output, in blocks of any length.
TEST(DesignedSpeakerRenderer, PlanarPathMatchesInterleaved)
{
    std::mt19937 rng(7);
    const Rig& rig = *RigNamed("7.1.4");
    auto interleaved = MakeRenderer(OutputKind::Speakers, rig, nullptr);
    auto planar = MakeRenderer(OutputKind::Speakers, rig, nullptr);
    ASSERT_EQ(interleaved->Prepare({4, 44100.0, 100}), PrepareResult::Ok);
    ASSERT_EQ(planar->Prepare({4, 44100.0, 100}), PrepareResult::Ok);
    const size_t frames = 250;
    std::vector<double> in = RandomSignal(rng, frames * 4, 0.5);
    for (double& v : in) v = static_cast<float>(v);
    const std::vector<double> expected = RenderFloat(*interleaved, in);
    std::vector<std::vector<double>> inPlanes(4, std::vector<double>(100)), outPlanes(12, std::vector<double>(100));
    std::vector<double*> inPtr, outPtr;
    for (auto& p : inPlanes) inPtr.push_back(p.data());
    for (auto& p : outPlanes) outPtr.push_back(p.data());
    for (size_t done = 0; done < frames;) {
        const size_t n = std::min<size_t>(frames - done, done == 0 ? 37 : 100);
        for (size_t f = 0; f < n; ++f)
            for (size_t c = 0; c < 4; ++c) inPlanes[c][f] = in[(done + f) * 4 + c];
        planar->RenderPlanes(inPtr.data(), outPtr.data(), static_cast<int32_t>(n));
        for (size_t f = 0; f < n; ++f)
            for (size_t c = 0; c < 12; ++c) ASSERT_EQ(outPlanes[c][f], expected[(done + f) * 12 + c]) << done + f;
        done += n;
    }
}
