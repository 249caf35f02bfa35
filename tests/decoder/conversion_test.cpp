// Sample conversions: rounding by adding one half, saturation, NaN, the 24-bit byte order and float.
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

// The 24-bit sample written for v (which is at 256 times the sample's scale), sign-extended.
int32_t Write24(double v)
{
    uint8_t b[3];
    Pcm24Format::FromDouble(v, b);
    return static_cast<int32_t>(uint32_t{b[0]} << 8 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 24) >> 8;
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

// Beyond the largest sample every width gives the largest, beyond the smallest the smallest;
// the edges themselves still round by adding one half; NaN gives 0.
TEST(DecoderConversion, IntegersSaturateAndNaNBecomesZero)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double huge = 9223372036854775808.0;  // 2^63

    EXPECT_EQ(Write16(32766.4), 32766);
    EXPECT_EQ(Write16(32766.5), 32767);
    for (double v : {32768.0, 40000.0, 65536.0 + 5.0, 2147483648.0, huge, 1e300, inf}) EXPECT_EQ(Write16(v), 32767) << v;
    EXPECT_EQ(Write16(-32768.0), -32767);  // -32767.5 truncates toward zero
    for (double v : {-32768.5, -32770.0, -2147483649.0, -huge, -inf}) EXPECT_EQ(Write16(v), -32768) << v;

    EXPECT_EQ(Write24(2147483392.0), 8388607);
    EXPECT_EQ(Write24(-2147483648.0), -8388608);
    for (double v : {2147483647.5, 2147483648.0, 4294967301.0, huge, inf}) EXPECT_EQ(Write24(v), 8388607) << v;
    for (double v : {-2147483649.0, -4294967301.0, -huge, -inf}) EXPECT_EQ(Write24(v), -8388608) << v;

    EXPECT_EQ(Write32(2147483646.5), INT32_MAX);
    for (double v : {2147483647.5, 2147483648.0, 4294967301.0, huge, inf}) EXPECT_EQ(Write32(v), INT32_MAX) << v;
    EXPECT_EQ(Write32(-2147483648.0), -2147483647);
    for (double v : {-2147483648.5, -2147483650.0, -huge, -inf}) EXPECT_EQ(Write32(v), INT32_MIN) << v;

    for (double v : {nan, -nan}) {
        EXPECT_EQ(Write16(v), 0);
        EXPECT_EQ(Write24(v), 0);
        EXPECT_EQ(Write32(v), 0);
    }
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
