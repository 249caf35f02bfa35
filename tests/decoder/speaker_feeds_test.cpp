// The LFE low-pass and the delays that line up speakers at different distances.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decoder/speaker_feeds.h"

namespace {

using namespace decoder;

// Steady-state gain in dB of the low-pass for a sine at `hz`.
double GainDb(double hz, double rate)
{
    LfeLowPass lp;
    EXPECT_TRUE(lp.Prepare(rate));
    double peak = 0.0;
    const int n = static_cast<int>(rate);
    for (int i = 0; i < n; ++i) {
        const double y = lp.Process(std::sin(2 * 3.141592653589793 * hz * i / rate));
        if (i > n / 2) peak = std::max(peak, std::fabs(y));
    }
    return 20 * std::log10(peak);
}

TEST(LfeLowPass, FallsTwentyFourDecibelsAnOctaveAboveItsCutoff)
{
    for (double rate : {44100.0, 48000.0, 192000.0}) {
        EXPECT_NEAR(GainDb(30, rate), 0.0, 0.05) << rate;
        EXPECT_NEAR(GainDb(120, rate), -3.01, 0.1) << rate;
        EXPECT_NEAR(GainDb(240, rate), -24.1, 0.3) << rate;
        EXPECT_NEAR(GainDb(480, rate), -48.2, 0.5) << rate;
    }
    LfeLowPass lp;
    EXPECT_FALSE(lp.Prepare(200.0));  // the cutoff must be below half the rate
    EXPECT_FALSE(lp.Prepare(std::nan("")));
}

TEST(ChannelDelays, NearerSpeakersAreDelayedAndLoweredToMatchTheFarthest)
{
    std::vector<size_t> delays;
    std::vector<double> gains;
    ChannelDelays::ForDistances({2.0, 1.5, 2.0}, 48000.0, delays, gains);
    EXPECT_EQ(delays, (std::vector<size_t>{0, 70, 0}));  // 0.5 m at 343 m/s: 69.97 frames
    EXPECT_EQ(gains, (std::vector<double>{1.0, 0.75, 1.0}));
    ChannelDelays::ForDistances({2.0, 0.0, 2.0}, 48000.0, delays, gains);  // one unknown: none moved
    EXPECT_EQ(delays, (std::vector<size_t>{0, 0, 0}));

    // 16-bit samples: channel c of frame f holds f * 10 + c; channel 1 comes out 3 frames late,
    // in one call or in pieces.
    ChannelDelays whole, pieces;
    whole.Prepare({0, 3}, 2);
    pieces.Prepare({0, 3}, 2);
    EXPECT_EQ(whole.LongestDelay(), 3u);
    std::vector<int16_t> a(20 * 2), b;
    for (int f = 0; f < 20; ++f)
        for (int c = 0; c < 2; ++c) a[f * 2 + c] = static_cast<int16_t>(f * 10 + c + 1);
    b = a;
    whole.Process(reinterpret_cast<uint8_t*>(a.data()), 20);
    size_t done = 0;
    for (size_t piece : {1u, 2u, 7u, 10u}) {
        pieces.Process(reinterpret_cast<uint8_t*>(b.data() + done * 2), piece);
        done += piece;
    }
    EXPECT_EQ(a, b);
    for (int f = 0; f < 20; ++f) {
        EXPECT_EQ(a[f * 2], f * 10 + 1);
        EXPECT_EQ(a[f * 2 + 1], f < 3 ? 0 : (f - 3) * 10 + 2);
    }
}

}  // namespace
