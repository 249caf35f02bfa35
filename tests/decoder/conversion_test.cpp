// Sample conversions: rounding by adding one half, wrap-around, NaN, the 24-bit byte order and float.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "decoder/sample_format.h"

using namespace decoder;

namespace {

int16_t Write16(double v)
{
    uint8_t b[2];
    Pcm16Format::FromDouble(v, b);
    return static_cast<int16_t>(b[0] | (b[1] << 8));
}

int32_t Write32(double v)
{
    uint8_t b[4];
    Pcm32Format::FromDouble(v, b);
    return static_cast<int32_t>(uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
}

}  // namespace

TEST(DecoderConversion, HalfIsAddedThenTruncatedTowardZero)
{
    const struct { double v; int16_t out; } table[] = {
        {1.5, 2}, {0.49, 0}, {-0.5, 0}, {-1.2, 0}, {-1.5, -1}, {-2.7, -2}, {0.0, 0}, {-0.0, 0},
        {0.49999999999999994, 1},  // v + 0.5 rounds to 1.0 before truncating
    };
    for (const auto& row : table) EXPECT_EQ(Write16(row.v), row.out) << row.v;
}

TEST(DecoderConversion, IntegersWrapAndUnrepresentableValuesBecomeZero)
{
    EXPECT_EQ(Write16(32768.0), -32768);
    EXPECT_EQ(Write16(40000.0), -25536);
    EXPECT_EQ(Write16(-32770.0), 32767);
    EXPECT_EQ(Write32(2147483648.0), INT32_MIN);
    EXPECT_EQ(Write32(4294967301.0), 5);
    EXPECT_EQ(Write32(-2147483650.0), INT32_MAX);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {nan, -nan, inf, -inf, 9223372036854775808.0, -1e300}) {
        EXPECT_EQ(RoundHalfUp(v), INT64_MIN) << v;
        EXPECT_EQ(Write16(v), 0) << v;
        EXPECT_EQ(Write32(v), 0) << v;
        uint8_t b[3] = {9, 9, 9};
        Pcm24Format::FromDouble(v, b);
        EXPECT_EQ(b[0] | b[1] | b[2], 0) << v;
    }
    EXPECT_EQ(RoundHalfUp(9223372036854774784.0), INT64_C(9223372036854774784));
    EXPECT_EQ(RoundHalfUp(-9223372036854775808.0), INT64_MIN);
}

TEST(DecoderConversion, TwentyFourBitSamplesSitInTheTopOfAWord)
{
    const uint8_t in[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(Pcm24Format::ToDouble(in), 50462976.0);
    uint8_t out[3];
    Pcm24Format::FromDouble(50462976.0, out);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);
    EXPECT_EQ(out[2], 0x03);
    Pcm24Format::FromDouble(255.0, out);
    EXPECT_EQ(out[0] | out[1] | out[2], 0);
    const uint8_t most[3] = {0x00, 0x00, 0x80};
    EXPECT_EQ(Pcm24Format::ToDouble(most), -2147483648.0);
}

TEST(DecoderConversion, FloatsRoundToNearestAndAreNeverClipped)
{
    uint8_t b[4];
    for (double v : {1.5, -3.25, 1e30, 0.1}) {
        Float32Format::FromDouble(v, b);
        EXPECT_EQ(Float32Format::ToDouble(b), static_cast<double>(static_cast<float>(v)));
    }
    Float32Format::FromDouble(1.0 + 0x1p-24, b);  // a tie rounds to even
    EXPECT_EQ(Float32Format::ToDouble(b), 1.0);
    Float32Format::FromDouble(std::numeric_limits<double>::quiet_NaN(), b);
    EXPECT_TRUE(std::isnan(Float32Format::ToDouble(b)));
}
