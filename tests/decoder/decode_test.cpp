// The block decode: shelving, mixing, and what it leaves alone. Each check runs on the
// scalar path and on the fast one.
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

namespace {
const DecodePath kPaths[] = {DecodePath::Scalar, DecodePath::Fast};
}

TEST(DecoderBlock, SettledConstantsGiveTheLowFrequencyFeeds)
{
    const int n = 4096;
    for (DecodePath path : kPaths) {
        for (int ch = 0; ch < 2; ++ch) {  // W alone, then X alone
            DecoderState st = MakeState(0, 4, n);
            Planes p(4, 4, n);
            std::fill(p.in[ch].begin(), p.in[ch].end(), 1.0);
            st.DecodeBlock(p.I(), p.O(), n, path);
            const double w[4] = {0.473762, 0.473762, 0.473762, 0.473762};
            const double x[4] = {0.470226, 0.470226, -0.470226, -0.470226};
            for (int s = 0; s < 4; ++s) EXPECT_NEAR(p.out[s][n - 1], ch ? x[s] : w[s], 1e-6) << Name(path);
            EXPECT_NEAR(p.in[ch][n - 1], ch ? 1.33 : 0.67, 1e-9);  // shelved in place
        }
    }
}

// Z reaches the speakers only in the two-ring layout, unfiltered; three-channel input never
// reads the Z row.
TEST(DecoderBlock, HeightReachesOnlyTheTwoRingLayout)
{
    std::mt19937 rng(3);
    for (DecodePath path : kPaths) {
        for (int8_t type = 0; type <= 6; ++type) {
            DecoderState st = MakeState(type, 4, 64);
            Planes p(4, st.m_nSpeakers, 33);
            p.in[3] = RandomSignal(rng, 33, 1000.0);
            const std::vector<double> z = p.in[3];
            st.DecodeBlock(p.I(), p.O(), 33, path);
            EXPECT_EQ(p.in[3], z);
            for (uint32_t s = 0; s < st.m_nSpeakers; ++s)
                for (int f = 0; f < 33; ++f) {
                    const double g = type == 6 ? (s < 4 ? 0.7071067811865475 : -0.7071067811865475) : 0.0;
                    ASSERT_NEAR(p.out[s][f], g * z[f], 1e-12) << int(type) << "/" << s;
                }
        }
        DecoderState three = MakeState(6, 3, 64);
        for (double& g : three.m_Coefficients.Gains[3]) g = std::numeric_limits<double>::quiet_NaN();
        Planes p(3, 8, 17, 1.0);
        three.DecodeBlock(p.I(), p.O(), 17, path);
        for (const auto& plane : p.out)
            for (double v : plane) ASSERT_TRUE(std::isfinite(v)) << Name(path);
    }
}

TEST(DecoderBlock, UnshelvedLayoutPassesChannelsThroughWhileTheMemoryAdvances)
{
    std::mt19937 rng(4);
    for (DecodePath path : kPaths) {
        DecoderState st = MakeState(1, 3, 128);
        Planes p(3, 4, 100);
        for (auto& plane : p.in) plane = RandomSignal(rng, 100, 20000.0);
        const auto before = p.in;
        st.DecodeBlock(p.I(), p.O(), 100, path);
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
    for (DecodePath path : kPaths) {
        const int n = 37;
        DecoderState one = MakeState(4, 4, 2 * n), two = MakeState(4, 4, 2 * n);
        Planes a(4, 8, 2 * n, 7.0);
        two.DecodeBlock(a.I(), a.O(), 0, path);
        for (const auto* set : {&a.in, &a.out})
            for (const auto& plane : *set) EXPECT_EQ(plane[0], 7.0);
        EXPECT_EQ(two.m_pShelfX->PrevOut(), 0.0);

        for (auto& plane : a.in) plane = RandomSignal(rng, 2 * n, 1.0);
        Planes b = a;
        one.DecodeBlock(a.I(), a.O(), 2 * n, path);
        two.DecodeBlock(b.I(), b.O(), n, path);
        two.DecodeBlock(b.I(n), b.O(n), n, path);
        for (int s = 0; s < 8; ++s)
            for (int f = 0; f < 2 * n; ++f) ASSERT_EQ(Bits(a.out[s][f]), Bits(b.out[s][f])) << Name(path);
    }
}

// Allocation is all or nothing: a refused one leaves the working state as it was.
TEST(DecoderBlock, RefusedAllocationKeepsThePreviousState)
{
    DecoderState st = MakeState(0, 4, 32);
    const double* planeBefore = st.m_InPlanes[0];
    using R = DecoderState::AllocateResult;
    EXPECT_EQ(st.Allocate(4, 4, 64, 0.0), R::BadSampleRate);
    EXPECT_EQ(st.Allocate(5, 4, 64, 44100.0), R::BadLayout);
    EXPECT_EQ(st.Allocate(4, 9, 64, 44100.0), R::BadLayout);
    EXPECT_EQ(st.Allocate(4, 4, 0, 44100.0), R::BadLayout);
    EXPECT_EQ(st.Allocate(4, 4, INT32_MAX, 44100.0), R::OutOfMemory);
    EXPECT_EQ(st.m_InPlanes[0], planeBefore);
    EXPECT_EQ(st.Capacity(), 32);
    EXPECT_EQ(st.Allocate(3, 6, 64, 96000.0), R::Ok);
    EXPECT_EQ(st.Capacity(), 64);
    EXPECT_EQ(st.m_nSpeakers, 6u);
    EXPECT_EQ(st.m_pShelfX->Coefficient(), AllPass::CoefficientFor(500.0, 96000.0));
}
