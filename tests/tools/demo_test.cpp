// The demo signal: a B-Format file the reader takes, the same bytes every time, without
// clipping, whose sound comes from the front, the left, the back and the right in turn.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/tools/temp_dir.h"
#include "tests/tools/wave_builder.h"
#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/demo.h"

namespace {

constexpr double kPi = 3.141592653589793;

TEST(Demo, IsAFourChannelBFormatFileWrittenTheSameEveryTime)
{
    tools_test::TempDir dir;
    bformat::DemoSettings settings;
    settings.seconds = 1.0;
    std::string error;
    ASSERT_TRUE(bformat::WriteDemoFile(dir / "a.amb", settings, error)) << error;
    ASSERT_TRUE(bformat::WriteDemoFile(dir / "b.amb", settings, error)) << error;
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.amb", "b.amb"}));
    EXPECT_EQ(wave_test::ReadFile(dir / "a.amb"), wave_test::ReadFile(dir / "b.amb"));

    bformat::BFormatReader reader;
    ASSERT_TRUE(reader.Open(dir / "a.amb", bformat::Convention::Unspecified, error)) << error;
    EXPECT_TRUE(reader.Description().flagged);
    EXPECT_EQ(reader.Description().sampleFormat, decoder::SampleFormat::Pcm16);
    EXPECT_EQ(reader.Description().channels, 4u);
    EXPECT_EQ(reader.Description().sampleRate, 48000u);
    EXPECT_EQ(reader.Description().frames, 48000u);
}

TEST(Demo, CirclesTheListenerOnceWithoutClipping)
{
    bformat::DemoSettings settings;
    const uint64_t total = uint64_t(settings.seconds * settings.sampleRate);
    std::vector<double> block;
    bformat::SynthesizeDemo(settings, 0, total, block);
    double peak = 0, wEnergy = 0;
    for (double v : block) peak = std::max(peak, std::fabs(v));
    EXPECT_LT(peak, 1.0);
    EXPECT_GT(peak, 0.25);

    // Over a sixteenth of the circle around each quarter point (the pluck that starts there),
    // the direction of the sound, from the correlation of X and Y with W, is the expected one
    // within a few degrees.
    const double expected[] = {0, kPi / 2, kPi, -kPi / 2};
    for (int q = 0; q < 4; ++q) {
        const int64_t centre = int64_t(total * q / 4);
        double xw = 0, yw = 0;
        wEnergy = 0;
        for (int64_t f = centre - int64_t(total / 64); f < centre + int64_t(total / 64); ++f) {
            const uint64_t i = uint64_t((f + int64_t(total)) % int64_t(total));
            xw += block[i * 4 + 1] * block[i * 4];
            yw += block[i * 4 + 2] * block[i * 4];
            wEnergy += block[i * 4] * block[i * 4];
            EXPECT_EQ(block[i * 4 + 3], 0.0);
        }
        EXPECT_GT(wEnergy, 0.0);
        const double angle = std::atan2(yw, xw);
        EXPECT_NEAR(std::remainder(angle - expected[q], 2 * kPi), 0.0, 4 * kPi / 180) << "quarter " << q;
    }
}

}  // namespace
