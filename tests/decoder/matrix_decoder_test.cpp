// The general decode: its fast loop against the plain one, the two bands it mixes, and what
// it refuses to be prepared with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "decoder/matrix_decoder.h"

namespace {

using namespace decoder;

MatrixDecoderGains RandomGains(std::mt19937& rng, uint32_t inputs, uint32_t outputs)
{
    std::uniform_real_distribution<double> u(-0.6, 0.6);
    MatrixDecoderGains g;
    g.inputs = inputs;
    g.outputs = outputs;
    for (size_t i = 0; i < size_t{inputs} * outputs; ++i) {
        g.low.push_back(u(rng));
        g.high.push_back(u(rng));
    }
    return g;
}

// Interleaved samples of `format` near full scale, with a few beyond it for float.
std::vector<uint8_t> RandomSamples(std::mt19937& rng, SampleFormat format, size_t samples)
{
    std::vector<uint8_t> bytes(samples * BytesPerSample(format));
    std::uniform_int_distribution<int> byte(0, 255);
    if (format != SampleFormat::Float32) {
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(byte(rng));
        return bytes;
    }
    std::uniform_real_distribution<float> u(-1.5f, 1.5f);
    for (size_t i = 0; i < samples; ++i) {
        const float f = u(rng);
        std::memcpy(&bytes[i * 4], &f, 4);
    }
    return bytes;
}

TEST(MatrixDecoder, VectorLoopsGiveThePlainLoopsBitsInEveryShapeAndSplit)
{
    // Every vector loop this processor runs, not only the fastest; frame counts and pieces that
    // leave remainders of every block length, output counts around whole registers and tiles.
    std::vector<kernels::MatrixFramesKernel> loops;
    for (kernels::MatrixFramesKernel loop : {kernels::MatrixFramesAvx2(), kernels::MatrixFramesAvx512()})
        if (loop) loops.push_back(loop);
    if (loops.empty()) GTEST_SKIP() << "no vector loop on this processor";
    std::mt19937 rng(7);
    for (kernels::MatrixFramesKernel loop : loops)
        for (SampleFormat format : {SampleFormat::Pcm16, SampleFormat::Pcm24, SampleFormat::Pcm32, SampleFormat::Float32})
            for (uint32_t inputs : {1u, 3u, 4u, 9u, 16u, 64u})
                for (uint32_t outputs : {1u, 2u, 5u, 6u, 8u, 12u, 13u, 17u, 24u, 64u}) {
                    const MatrixDecoderGains gains = RandomGains(rng, inputs, outputs);
                    MatrixDecoder fast, plain;
                    ASSERT_EQ(fast.Prepare(gains, 48000.0), MatrixDecoder::Result::Ok);
                    ASSERT_EQ(plain.Prepare(gains, 48000.0), MatrixDecoder::Result::Ok);
                    fast.UseLoop(loop);
                    plain.UsePlainLoop();
                    const size_t frames = 53;
                    const std::vector<uint8_t> in = RandomSamples(rng, format, frames * inputs);
                    const size_t bytes = BytesPerSample(format);
                    std::vector<uint8_t> a(frames * outputs * bytes), b(a.size());
                    // The vector loop in uneven pieces, the plain one whole.
                    size_t done = 0;
                    for (size_t piece : {1u, 5u, 2u, 45u}) {
                        fast.Process(format, in.data() + done * inputs * bytes, a.data() + done * outputs * bytes, piece);
                        done += piece;
                    }
                    plain.Process(format, in.data(), b.data(), frames);
                    ASSERT_EQ(a, b) << "format " << static_cast<int>(format) << ", " << inputs << " in, " << outputs
                                    << " out";
                }
}

TEST(MatrixDecoder, LowFrequenciesTakeTheLowGainsAndHighOnesTheHighGains)
{
    MatrixDecoderGains g;
    g.inputs = 2;
    g.outputs = 1;
    g.low = {0.5, 0.0};
    g.high = {2.0, 0.0};
    g.crossoverHz = 500.0;
    for (double hz : {20.0, 20000.0}) {
        MatrixDecoder d;
        ASSERT_EQ(d.Prepare(g, 48000.0), MatrixDecoder::Result::Ok);
        const size_t frames = 48000;
        std::vector<float> in(frames * 2, 0.0f), out(frames);
        for (size_t f = 0; f < frames; ++f) in[f * 2] = static_cast<float>(0.5 * std::sin(2 * 3.141592653589793 * hz * f / 48000.0));
        d.Process(SampleFormat::Float32, reinterpret_cast<const uint8_t*>(in.data()), reinterpret_cast<uint8_t*>(out.data()),
                  frames);
        double inPeak = 0, outPeak = 0;
        for (size_t f = frames / 2; f < frames; ++f) {
            inPeak = std::max(inPeak, std::fabs(double{in[f * 2]}));
            outPeak = std::max(outPeak, std::fabs(double{out[f]}));
        }
        EXPECT_NEAR(outPeak / inPeak, hz < 500 ? 0.5 : 2.0, 0.02) << hz << " Hz";
    }
}

TEST(MatrixDecoder, RefusesBadPreparationsAndKeepsTheOldOne)
{
    std::mt19937 rng(3);
    MatrixDecoder d;
    ASSERT_EQ(d.Prepare(RandomGains(rng, 4, 6), 48000.0), MatrixDecoder::Result::Ok);
    MatrixDecoderGains wrongSize = RandomGains(rng, 4, 6);
    wrongSize.high.pop_back();
    MatrixDecoderGains notFinite = RandomGains(rng, 4, 6);
    notFinite.low[3] = std::nan("");
    EXPECT_EQ(d.Prepare(RandomGains(rng, 65, 2), 48000.0), MatrixDecoder::Result::BadChannels);
    EXPECT_EQ(d.Prepare(RandomGains(rng, 4, 0), 48000.0), MatrixDecoder::Result::BadChannels);
    EXPECT_EQ(d.Prepare(wrongSize, 48000.0), MatrixDecoder::Result::BadGains);
    EXPECT_EQ(d.Prepare(notFinite, 48000.0), MatrixDecoder::Result::BadGains);
    EXPECT_EQ(d.Prepare(RandomGains(rng, 4, 6), std::nan("")), MatrixDecoder::Result::BadSampleRate);
    EXPECT_EQ(d.Inputs(), 4u);
    EXPECT_EQ(d.Outputs(), 6u);
}

}  // namespace
