// The first-order all-pass and its shelf.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support.h"

using decoder::AllPass;
using decoder_test::Bits;

TEST(DecoderAllPass, TuningGivesTheKnownCoefficients)
{
    AllPass f(16);
    EXPECT_NEAR(f.Coefficient(), 0.9049289486282682, 1e-15);  // 700 Hz at 44100 Hz until retuned
    ASSERT_TRUE(f.SetFrequency(500.0, 44100.0));
    EXPECT_NEAR(f.Coefficient(), 0.9311841168903686, 1e-15);
    ASSERT_TRUE(f.SetFrequency(500.0, 48000.0));
    EXPECT_NEAR(f.Coefficient(), 0.9366022079920608, 1e-15);
}

// A rate of 0 (or any rate or frequency that gives no finite coefficient) is refused and the
// filter keeps working on its previous tuning.
TEST(DecoderAllPass, UnusableRateKeepsThePreviousTuning)
{
    AllPass f(64);
    ASSERT_TRUE(f.SetFrequency(500.0, 48000.0));
    const double tuned = f.Coefficient();
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (double rate : {0.0, -0.0, -48000.0, nan, inf}) EXPECT_FALSE(f.SetFrequency(500.0, rate)) << rate;
    for (double freq : {nan, inf}) EXPECT_FALSE(f.SetFrequency(freq, 48000.0)) << freq;
    EXPECT_EQ(Bits(f.Coefficient()), Bits(tuned));
    EXPECT_EQ(f.SampleRate(), 48000.0);
    std::vector<double> x(64, 1.0);
    f.Shelf(x.data(), 64, 1.33, 1.15);
    for (double v : x) EXPECT_TRUE(std::isfinite(v));
}

// 0 Hz turns over and Nyquist passes through the all-pass; the shelf settles at its low gain
// for a constant and its high gain for an alternating input.
TEST(DecoderAllPass, BandEdgesSettleAtTheirGains)
{
    for (int alternate = 0; alternate < 2; ++alternate) {
        std::vector<double> x(4096), y;
        for (size_t i = 0; i < x.size(); ++i) x[i] = alternate && i % 2 ? -1.0 : 1.0;
        y = x;
        AllPass f(4096), g(4096);
        f.SetFrequency(500.0, 44100.0);
        g.SetFrequency(500.0, 44100.0);
        f.Filter(x.data(), 4096, f.Coefficient());
        g.Shelf(y.data(), 4096, 1.33, 1.15);
        EXPECT_NEAR(x[4095], -1.0, 1e-12);
        EXPECT_NEAR(x[4094], alternate ? 1.0 : -1.0, 1e-12);
        EXPECT_NEAR(y[4095], alternate ? -1.15 : 1.33, 1e-12);
        EXPECT_NEAR(y[4094], alternate ? 1.15 : 1.33, 1e-12);
    }
}

// Blocks split anywhere, including past the scratch buffer's size, give the bits of one pass;
// an empty block and a retune leave the memory as it was.
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
    split.Shelf(b.data() + 13, 27, 1.33, 1.15);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(Bits(a[i]), Bits(b[i])) << i;

    const double prevIn = whole.PrevIn(), prevOut = whole.PrevOut();
    ASSERT_TRUE(whole.SetFrequency(900.0, 44100.0));
    double next = 0.25;
    whole.Filter(&next, 1, whole.Coefficient());
    const double c = whole.Coefficient();
    EXPECT_EQ(Bits(next), Bits(c * 0.25 - prevIn + c * prevOut));
}
