// The first-order all-pass and its shelf.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "decoder/allpass.h"
#include "support.h"

using decoder::AllPass;
using decoder_test::Bits;

TEST(DecoderAllPass, TuningGivesTheKnownCoefficients)
{
    AllPass f(16);
    EXPECT_NEAR(f.Coefficient(), 0.9049289486282682, 1e-15);  // 700 Hz at 44100 Hz until retuned
    EXPECT_EQ(f.Frequency(), 700.0);
    EXPECT_EQ(f.SampleRate(), 44100.0);
    ASSERT_TRUE(f.SetFrequency(500.0, 44100.0));
    EXPECT_NEAR(f.Coefficient(), 0.9311841168903686, 1e-15);
    ASSERT_TRUE(f.SetFrequency(500.0, 48000.0));
    EXPECT_NEAR(f.Coefficient(), 0.9366022079920608, 1e-15);
}

TEST(DecoderAllPass, UnusableRateKeepsThePreviousTuning)
{
    AllPass fresh(4);
    const double constructed = fresh.Coefficient();
    EXPECT_FALSE(fresh.SetFrequency(500.0, 0.0));
    EXPECT_EQ(Bits(fresh.Coefficient()), Bits(constructed));

    AllPass f(4);
    ASSERT_TRUE(f.SetFrequency(500.0, 48000.0));
    const double tuned = f.Coefficient();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double rate : {0.0, -0.0, -48000.0, nan, inf}) EXPECT_FALSE(f.SetFrequency(500.0, rate)) << rate;
    for (double freq : {nan, inf}) EXPECT_FALSE(f.SetFrequency(freq, 48000.0)) << freq;
    EXPECT_EQ(Bits(f.Coefficient()), Bits(tuned));
    EXPECT_EQ(f.Frequency(), 500.0);
    EXPECT_EQ(f.SampleRate(), 48000.0);
    EXPECT_TRUE(std::isnan(AllPass::CoefficientFor(500.0, 0.0)));

    std::vector<double> x(64, 1.0);
    f.Shelf(x.data(), 64, 1.33, 1.15);
    for (double v : x) EXPECT_TRUE(std::isfinite(v));
}

TEST(DecoderAllPass, ConstantTurnsOverAndNyquistPassesThrough)
{
    AllPass f(4096);
    f.SetFrequency(500.0, 44100.0);
    std::vector<double> dc(4096, 1.0), alt(4096);
    for (size_t i = 0; i < alt.size(); ++i) alt[i] = i % 2 ? -1.0 : 1.0;
    f.Filter(dc.data(), 4096, f.Coefficient());
    EXPECT_NEAR(dc.back(), -1.0, 1e-12);
    AllPass g(4096);
    g.SetFrequency(500.0, 44100.0);
    g.Filter(alt.data(), 4096, g.Coefficient());
    EXPECT_NEAR(alt[4094], 1.0, 1e-12);
    EXPECT_NEAR(alt[4095], -1.0, 1e-12);
}

TEST(DecoderAllPass, ShelfSettlesAtItsLowAndHighGains)
{
    for (int alternate = 0; alternate < 2; ++alternate) {
        AllPass f(4096);
        f.SetFrequency(500.0, 44100.0);
        std::vector<double> x(4096);
        for (size_t i = 0; i < x.size(); ++i) x[i] = alternate && i % 2 ? -1.0 : 1.0;
        f.Shelf(x.data(), 4096, 1.33, 1.15);
        EXPECT_NEAR(x[4094], alternate ? 1.15 : 1.33, 1e-12);
        EXPECT_NEAR(x[4095], alternate ? -1.15 : 1.33, 1e-12);
    }
}

TEST(DecoderAllPass, EqualGainsReturnTheInputWhileTheMemoryAdvances)
{
    AllPass f(64);
    f.SetFrequency(500.0, 44100.0);
    std::mt19937 rng(1);
    const std::vector<double> in = decoder_test::RandomSignal(rng, 64, 30000.0);
    std::vector<double> x = in;
    f.Shelf(x.data(), 64, 1.0, 1.0);
    for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(x[i], in[i], 1e-11);
    EXPECT_EQ(Bits(f.PrevIn()), Bits(in.back()));
    EXPECT_NE(f.PrevOut(), 0.0);
}

// Blocks split anywhere, including at the scratch buffer's size, give the bits of one pass;
// an empty block and a retune change no memory.
TEST(DecoderAllPass, MemoryCarriesAcrossBlocksAndRetuning)
{
    std::mt19937 rng(2);
    const std::vector<double> in = decoder_test::RandomSignal(rng, 40, 1.0);
    AllPass whole(40), split(7);
    whole.SetFrequency(500.0, 48000.0);
    split.SetFrequency(500.0, 48000.0);
    std::vector<double> a = in, b = in;
    whole.Shelf(a.data(), 40, 1.33, 1.15);
    split.Shelf(b.data(), 13, 1.33, 1.15);
    split.Shelf(b.data() + 13, 0, 1.33, 1.15);
    split.Filter(b.data() + 13, 0, split.Coefficient());
    split.Shelf(b.data() + 13, 27, 1.33, 1.15);  // longer than the scratch buffer
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(Bits(a[i]), Bits(b[i])) << i;
    EXPECT_EQ(Bits(whole.PrevOut()), Bits(split.PrevOut()));

    const double prevIn = whole.PrevIn(), prevOut = whole.PrevOut();
    ASSERT_TRUE(whole.SetFrequency(900.0, 44100.0));
    EXPECT_EQ(Bits(whole.PrevIn()), Bits(prevIn));
    EXPECT_EQ(Bits(whole.PrevOut()), Bits(prevOut));
    double next = 0.25;
    whole.Filter(&next, 1, whole.Coefficient());
    const double a1 = whole.Coefficient();
    EXPECT_EQ(Bits(next), Bits(a1 * 0.25 - prevIn + a1 * prevOut));
}

TEST(DecoderAllPass, NoBufferMeansNothingIsShelved)
{
    AllPass f(-5);
    EXPECT_EQ(f.Capacity(), 0);
    double x[3] = {1.0, 2.0, 3.0};
    f.Shelf(x, 3, 1.33, 1.15);
    EXPECT_EQ(x[2], 3.0);
}
