// Every vector path against the plain loops, bit for bit: block decode for each layout and
// channel count, the conversions for each format and channel count, and the whole
// interleaved path, at lengths that are not multiples of any vector width and across block
// boundaries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support.h"

using namespace decoder_test;

namespace {

// Every vector path this machine runs.
std::vector<DecodePath> VectorPaths()
{
    std::vector<DecodePath> paths;
    for (DecodePath p : {DecodePath::Sse2, DecodePath::Avx2, DecodePath::Fast})
        if (PathAvailable(p)) paths.push_back(p);
    return paths;
}

const int kLengths[] = {1, 2, 3, 5, 7, 8, 15, 16, 17, 31, 33, 64, 100};

// Random stream bytes for a format: raw bits for integers, floats at several scales with
// some that no integer path could hold.
std::vector<uint8_t> RandomStream(std::mt19937& rng, SampleFormat format, size_t samples)
{
    const size_t bytes = BytesPerSample(format);
    std::vector<uint8_t> v(samples * bytes);
    if (format != SampleFormat::Float32) {
        for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
        return v;
    }
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -1e30, 3e9, -0.0};
    std::uniform_real_distribution<double> u(-1.5, 1.5);
    for (size_t i = 0; i < samples; ++i) {
        const double x = rng() % 61 == 0 ? specials[rng() % 5] : u(rng) * (i % 3 ? 1.0 : 40000.0);
        Float32Format::FromDouble(x, v.data() + i * bytes);
    }
    return v;
}

// The first `size` bytes of two streams hold the same samples, bit for bit (floats: or
// both NaN).
void ExpectSameStream(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t size,
                      SampleFormat format, const char* what)
{
    ASSERT_TRUE(a.size() >= size && b.size() >= size);
    const size_t bytes = BytesPerSample(format);
    for (size_t i = 0; i < size; i += bytes) {
        if (format == SampleFormat::Float32 && std::isnan(Float32Format::ToDouble(&a[i])) &&
            std::isnan(Float32Format::ToDouble(&b[i])))
            continue;
        ASSERT_EQ(std::memcmp(&a[i], &b[i], bytes), 0) << what << " sample " << i / bytes;
    }
}

const SampleFormat kFormats[] = {SampleFormat::Pcm16, SampleFormat::Pcm24, SampleFormat::Pcm32, SampleFormat::Float32};

}  // namespace

TEST(DecoderFastPaths, BlockDecodeMatchesThePlainLoops)
{
    std::mt19937 rng(10);
    for (DecodePath path : VectorPaths())
        for (int8_t type = 0; type <= 6; ++type)
            for (uint32_t inChannels : {3u, 4u})
                for (int n : kLengths) {
                    SCOPED_TRACE(::testing::Message() << Name(path) << " type " << int(type) << " in " << inChannels
                                                      << " n " << n);
                    DecoderState ref = MakeState(type, inChannels, 128), fast = MakeState(type, inChannels, 128);
                    // Two blocks in a row, so that the carried memory is compared too.
                    for (int block = 0; block < 2; ++block) {
                        Planes a(inChannels, ref.m_nSpeakers, n);
                        for (auto& plane : a.in) plane = RandomSignal(rng, n, block ? 32768.0 : 1.0);
                        Planes b = a;
                        ref.DecodeBlock(a.I(), a.O(), n, DecodePath::Scalar);
                        fast.DecodeBlock(b.I(), b.O(), n, path);
                        for (const auto set : {&Planes::in, &Planes::out})
                            for (size_t c = 0; c < (a.*set).size(); ++c)
                                for (int f = 0; f < n; ++f) ASSERT_EQ(Bits((a.*set)[c][f]), Bits((b.*set)[c][f]));
                    }
                    EXPECT_EQ(Bits(ref.m_pShelfW->PrevOut()), Bits(fast.m_pShelfW->PrevOut()));
                    EXPECT_EQ(Bits(ref.m_pShelfY->PrevIn()), Bits(fast.m_pShelfY->PrevIn()));
                }
}

TEST(DecoderFastPaths, ConversionsMatchThePlainLoops)
{
    std::mt19937 rng(11);
    const double edges[] = {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(),
                            2147483647.4, 2147483647.5, -2147483648.5, -2147483649.0, 4294967301.0,
                            9.3e18, -0.0, 0.5, -0.5, 32767.5, 1e300};
    for (SampleFormat format : kFormats) {
        const size_t bytes = BytesPerSample(format);
        for (uint32_t channels = 1; channels <= 8; ++channels) {
            for (int n = 0; n <= 37; ++n) {
                SCOPED_TRACE(::testing::Message() << "format " << int(format) << " channels " << channels << " n " << n);
                const size_t samples = static_cast<size_t>(n) * channels;
                const std::vector<uint8_t> src = RandomStream(rng, format, samples);
                std::vector<std::vector<double>> a(channels, std::vector<double>(n + 1, 5.0)), b = a;
                double *pa[8], *pb[8];
                for (uint32_t c = 0; c < channels; ++c) pa[c] = a[c].data(), pb[c] = b[c].data();
                DeinterleaveBlockScalar(src.data(), n, format, channels, pa);
                DeinterleaveBlock(src.data(), n, format, channels, pb);
                for (uint32_t c = 0; c < channels; ++c)
                    for (int f = 0; f <= n; ++f) ASSERT_TRUE(SameDouble(a[c][f], b[c][f]));

                for (uint32_t c = 0; c < channels; ++c)
                    for (int f = 0; f < n; ++f)
                        a[c][f] = rng() % 7 == 0 ? edges[rng() % 13] : RandomSignal(rng, 1, 2.5e9)[0];
                std::vector<uint8_t> outA(samples * bytes + 16, 0xAB), outB = outA;
                InterleaveBlockScalar(pa, channels, n, format, outA.data());
                InterleaveBlock(pa, channels, n, format, outB.data());
                ExpectSameStream(outA, outB, samples * bytes, format, "interleave");
                for (size_t i = samples * bytes; i < outB.size(); ++i) ASSERT_EQ(outB[i], 0xAB) << "wrote past the end";
            }
        }
    }
}

// The whole path, in blocks both longer and shorter than the planes, split across calls.
TEST(DecoderFastPaths, WholePathMatchesThePlainLoops)
{
    std::mt19937 rng(12);
    for (DecodePath path : VectorPaths())
        for (SampleFormat format : kFormats)
            for (int8_t type : {int8_t{0}, int8_t{2}, int8_t{4}, int8_t{6}})
                for (uint32_t inChannels : {3u, 4u})
                    for (size_t n : {1u, 2u, 3u, 9u, 64u, 65u, 301u}) {
                        SCOPED_TRACE(::testing::Message() << Name(path) << " format " << int(format) << " type "
                                                          << int(type) << " in " << inChannels << " n " << n);
                        const size_t bytes = BytesPerSample(format);
                        DecoderState ref = MakeState(type, inChannels, 64), fast = MakeState(type, inChannels, 64);
                        const std::vector<uint8_t> src = RandomStream(rng, format, n * inChannels);
                        const size_t outBytes = n * ref.m_nSpeakers * bytes;
                        std::vector<uint8_t> outA(outBytes, 0xAB), outB(outBytes + 16, 0xAB);
                        ref.DecodeFrames(format, src.data(), outA.data(), n, DecodePath::Scalar);
                        const size_t first = n / 3;
                        fast.DecodeFrames(format, src.data(), outB.data(), first, path);
                        fast.DecodeFrames(format, src.data() + first * inChannels * bytes,
                                          outB.data() + first * ref.m_nSpeakers * bytes, n - first, path);
                        for (size_t i = outBytes; i < outB.size(); ++i) ASSERT_EQ(outB[i], 0xAB) << "wrote past the end";
                        ExpectSameStream(outA, outB, outBytes, format, "whole path");
                        EXPECT_TRUE(SameDouble(ref.m_pShelfX->PrevOut(), fast.m_pShelfX->PrevOut()));
                    }
}
