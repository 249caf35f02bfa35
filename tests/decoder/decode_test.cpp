// The block decode: shelving, mixing, and what it leaves alone. Each check runs on every
// kernel this machine has.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support.h"

using namespace decoder_test;

#if defined(__SANITIZE_ADDRESS__)
// The refused-allocation check asks for more memory than exists; let that return null.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif


TEST(DecoderBlock, SettledConstantsGiveTheLowFrequencyFeeds)
{
    const int n = 4096;
    for (InstructionSet set : AvailableInstructionSets()) {
        for (int ch = 0; ch < 2; ++ch) {  // W alone, then X alone
            DecoderState st = MakeState(0, 4, n, set);
            Planes p(4, 4, n);
            std::fill(p.in[ch].begin(), p.in[ch].end(), 1.0);
            st.DecodeBlock(p.I(), p.O(), n);
            const double w[4] = {0.473762, 0.473762, 0.473762, 0.473762};
            const double x[4] = {0.470226, 0.470226, -0.470226, -0.470226};
            for (int s = 0; s < 4; ++s) EXPECT_NEAR(p.out[s][n - 1], ch ? x[s] : w[s], 1e-6) << NameOf(set);
            EXPECT_NEAR(p.in[ch][n - 1], ch ? 1.33 : 0.67, 1e-9);  // shelved in place
        }
    }
}

// Z reaches the speakers only in the two-ring layout, unfiltered; three-channel input never
// reads the Z row.
TEST(DecoderBlock, HeightReachesOnlyTheTwoRingLayout)
{
    std::mt19937 rng(3);
    for (InstructionSet set : AvailableInstructionSets()) {
        for (int8_t type = 0; type <= 6; ++type) {
            DecoderState st = MakeState(type, 4, 64, set);
            Planes p(4, st.m_nSpeakers, 33);
            p.in[3] = RandomSignal(rng, 33, 1000.0);
            const std::vector<double> z = p.in[3];
            st.DecodeBlock(p.I(), p.O(), 33);
            EXPECT_EQ(p.in[3], z);
            for (uint32_t s = 0; s < st.m_nSpeakers; ++s)
                for (int f = 0; f < 33; ++f) {
                    const double g = type == 6 ? (s < 4 ? 0.7071067811865475 : -0.7071067811865475) : 0.0;
                    ASSERT_NEAR(p.out[s][f], g * z[f], 1e-12) << int(type) << "/" << s;
                }
        }
        DecoderState three = MakeState(6, 3, 64, set);
        for (double& g : three.m_Coefficients.Gains[3]) g = std::numeric_limits<double>::quiet_NaN();
        Planes p(3, 8, 17, 1.0);
        three.DecodeBlock(p.I(), p.O(), 17);
        for (const auto& plane : p.out)
            for (double v : plane) ASSERT_TRUE(std::isfinite(v)) << NameOf(set);
    }
}

TEST(DecoderBlock, UnshelvedLayoutPassesChannelsThroughWhileTheMemoryAdvances)
{
    std::mt19937 rng(4);
    for (InstructionSet set : AvailableInstructionSets()) {
        DecoderState st = MakeState(1, 3, 128, set);
        Planes p(3, 4, 100);
        for (auto& plane : p.in) plane = RandomSignal(rng, 100, 20000.0);
        const auto before = p.in;
        st.DecodeBlock(p.I(), p.O(), 100);
        for (int c = 0; c < 3; ++c)
            for (int f = 0; f < 100; ++f) ASSERT_NEAR(p.in[c][f], before[c][f], 1e-10);
        EXPECT_EQ(Bits(st.m_pShelfY->PrevIn()), Bits(before[2][99]));
        EXPECT_NE(st.m_pShelfY->PrevOut(), 0.0);
    }
}

// An empty block touches nothing; two blocks of n decode as one of 2n.
TEST(DecoderBlock, BlocksJoinSeamlessly)
{
    std::mt19937 rng(5);
    for (InstructionSet set : AvailableInstructionSets()) {
        const int n = 37;
        DecoderState one = MakeState(4, 4, 2 * n, set), two = MakeState(4, 4, 2 * n, set);
        Planes a(4, 8, 2 * n, 7.0);
        two.DecodeBlock(a.I(), a.O(), 0);
        for (const auto* set : {&a.in, &a.out})
            for (const auto& plane : *set) EXPECT_EQ(plane[0], 7.0);
        EXPECT_EQ(two.m_pShelfX->PrevOut(), 0.0);

        for (auto& plane : a.in) plane = RandomSignal(rng, 2 * n, 1.0);
        Planes b = a;
        one.DecodeBlock(a.I(), a.O(), 2 * n);
        two.DecodeBlock(b.I(), b.O(), n);
        two.DecodeBlock(b.I(n), b.O(n), n);
        for (int s = 0; s < 8; ++s)
            for (int f = 0; f < 2 * n; ++f) ASSERT_EQ(Bits(a.out[s][f]), Bits(b.out[s][f])) << NameOf(set);
    }
}

// Preparation is all or nothing: a refused one leaves the working state as it was.
TEST(DecoderBlock, RefusedPreparationKeepsThePreviousState)
{
    DecoderState st = MakeState(0, 4, 32);
    const double* planeBefore = st.m_InPlanes[0];
    using R = PrepareResult;
    EXPECT_EQ(st.Prepare({4, 0.0, 64}), R::BadSampleRate);
    EXPECT_EQ(st.Prepare({5, 44100.0, 64}), R::BadChannels);
    EXPECT_EQ(st.Prepare({4, 44100.0, 0}), R::BadBlockFrames);
    EXPECT_EQ(st.Prepare({4, 44100.0, INT32_MAX}), R::OutOfMemory);
    EXPECT_EQ(st.m_InPlanes[0], planeBefore);
    EXPECT_EQ(st.Capacity(), 32);
    EXPECT_EQ(st.Prepare({3, 96000.0, 64}), R::Ok);
    EXPECT_EQ(st.Capacity(), 64);
    EXPECT_EQ(st.m_nInChannels, 3u);
    EXPECT_EQ(st.m_pShelfX->Coefficient(), AllPass::CoefficientFor(500.0, 96000.0));

    DecoderState nine(ResizedRig(LayoutId::Octagon, 9));
    EXPECT_EQ(nine.Prepare({4, 44100.0, 64}), R::BadRig);
    EXPECT_FALSE(nine.IsReady());
}

// The plain kernel shelves exactly as three AllPass objects do.
TEST(DecoderBlock, PlainKernelShelvesAsTheAllPass)
{
    std::mt19937 rng(6);
    DecoderState st = MakeState(0, 3, 64, InstructionSet::Scalar);
    AllPass w(64), x(64), y(64);
    for (AllPass* f : {&w, &x, &y}) f->SetFrequency(kCrossoverHz, 44100.0);
    const DecoderCoefficients& c = st.m_Coefficients;
    for (int block = 0; block < 2; ++block) {
        Planes p(3, 4, 50);
        for (auto& plane : p.in) plane = RandomSignal(rng, 50, 30000.0);
        std::vector<std::vector<double>> expect = p.in;
        w.Shelf(expect[0].data(), 50, 2.0 - c.LowGain, 2.0 - c.HighGain);
        x.Shelf(expect[1].data(), 50, c.LowGain, c.HighGain);
        y.Shelf(expect[2].data(), 50, c.LowGain, c.HighGain);
        st.DecodeBlock(p.I(), p.O(), 50);
        for (int ch = 0; ch < 3; ++ch)
            for (int f = 0; f < 50; ++f) ASSERT_EQ(Bits(p.in[ch][f]), Bits(expect[ch][f])) << ch << "/" << f;
    }
    EXPECT_EQ(Bits(st.m_pShelfY->PrevOut()), Bits(y.PrevOut()));
}

// A hot recording clips at full scale on every integer width instead of wrapping round to the
// opposite sign: W, X and Y held at full scale sum past it on the front-left speaker of the
// square while the back-right one stays inside.
TEST(DecoderBlock, HotInputSaturatesOnEveryIntegerWidth)
{
    const struct { SampleFormat format; double full, largest, smallest; } widths[] = {
        {SampleFormat::Pcm16, 32767.0, 32767.0, -32768.0},
        {SampleFormat::Pcm24, 2147483392.0, 8388607.0, -8388608.0},
        {SampleFormat::Pcm32, 2147483647.0, 2147483647.0, -2147483648.0}};
    const int n = 2048;
    for (InstructionSet set : AvailableInstructionSets()) {
        for (const auto& w : widths) {
            for (double sign : {1.0, -1.0}) {
                SCOPED_TRACE(::testing::Message() << NameOf(set) << " format " << int(w.format) << " sign " << sign);
                DecoderState st = MakeState(0, 3, 256, set);
                const size_t bytes = BytesPerSample(w.format);
                std::vector<uint8_t> src(n * 3 * bytes), dst(n * 4 * bytes);
                std::vector<double> one(1, sign * w.full);
                double* plane[3] = {one.data(), one.data(), one.data()};
                for (int f = 0; f < n; ++f) InterleaveBlock(plane, 3, 1, w.format, src.data() + f * 3 * bytes);
                st.DecodeFrames(w.format, src.data(), dst.data(), n);
                std::vector<double> out(4 * 1);
                double* speakers[4] = {&out[0], &out[1], &out[2], &out[3]};
                DeinterleaveBlock(dst.data() + (n - 1) * 4 * bytes, 1, w.format, 4, speakers);
                const double scale = w.format == SampleFormat::Pcm24 ? 256.0 : 1.0;
                EXPECT_EQ(out[0] / scale, sign > 0 ? w.largest : w.smallest);
                EXPECT_EQ(out[3] / scale, std::trunc(out[3] / scale));
                EXPECT_LT(std::fabs(out[3] / scale), w.largest);
                EXPECT_EQ(out[3] > 0, sign < 0);
            }
        }
    }
}
