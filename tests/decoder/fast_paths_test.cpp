// Every vector kernel against the plain loops, bit for bit: block decode for each layout and
// channel count, the conversions for each format and channel count, and the whole
// interleaved path, at lengths that are not multiples of any vector width and across block
// boundaries; and which kernel a state runs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support.h"

using namespace decoder_test;

namespace {

// Every vector instruction set this machine runs.
std::vector<InstructionSet> VectorSets()
{
    std::vector<InstructionSet> sets = AvailableInstructionSets();
    sets.erase(sets.begin());  // Scalar
    return sets;
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

// A turn of X, Y and Z (pitch and roll of a scene) and its inverse.
const double kTurn[9] = {0.8, -0.36, 0.48, 0.6, 0.48, -0.64, 0.0, 0.8, 0.6};
const double kTurnInverse[9] = {0.8, 0.6, 0.0, -0.36, 0.48, 0.8, 0.48, -0.64, 0.6};

// Unturned, and (four input channels) with a steady turn folded into the decode.
std::vector<bool> FoldsFor(uint32_t inChannels)
{
    if (inChannels == 4) return {false, true};
    return {false};
}

TEST(DecoderFastPaths, BlockDecodeMatchesThePlainLoops)
{
    std::mt19937 rng(10);
    for (InstructionSet set : VectorSets())
        for (int8_t type = 0; type <= 6; ++type)
            for (uint32_t inChannels : {3u, 4u})
                for (bool folded : FoldsFor(inChannels))
                for (int n : kLengths) {
                    SCOPED_TRACE(::testing::Message() << NameOf(set) << " type " << int(type) << " in " << inChannels
                                                      << " folded " << folded << " n " << n);
                    DecoderState ref = MakeState(type, inChannels, 128, InstructionSet::Scalar),
                                 fast = MakeState(type, inChannels, 128, set);
                    if (folded) {
                        ASSERT_TRUE(ref.FoldTurn(kTurn, kTurnInverse) && fast.FoldTurn(kTurn, kTurnInverse));
                    }
                    // Two blocks in a row, so that the carried memory is compared too.
                    for (int block = 0; block < 2; ++block) {
                        Planes a(inChannels, ref.m_nSpeakers, n);
                        for (auto& plane : a.in) plane = RandomSignal(rng, n, block ? 32768.0 : 1.0);
                        Planes b = a;
                        ref.DecodeBlock(a.I(), a.O(), n);
                        fast.DecodeBlock(b.I(), b.O(), n);
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
    const double inf = std::numeric_limits<double>::infinity();
    const double edges[] = {std::numeric_limits<double>::quiet_NaN(), -inf, inf, 2147483647.4, 2147483647.5,
                            2147483648.0, -2147483648.5, -2147483649.0, 4294967301.0, 9.3e18,
                            9223372036854775808.0, -9223372036854775808.0, -0.0, 0.5, -0.5, 32766.5, 32767.5,
                            -32768.5, -32769.0, 1e300};
    const size_t kEdges = sizeof edges / sizeof edges[0];
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
                DeinterleaveBlock(src.data(), n, format, channels, pa);
                kernels::Sse2Deinterleave(src.data(), n, format, channels, pb);
                for (uint32_t c = 0; c < channels; ++c)
                    for (int f = 0; f <= n; ++f) ASSERT_TRUE(SameDouble(a[c][f], b[c][f]));

                for (uint32_t c = 0; c < channels; ++c)
                    for (int f = 0; f < n; ++f)
                        a[c][f] = rng() % 7 == 0 ? edges[rng() % kEdges] : RandomSignal(rng, 1, 2.5e9)[0];
                std::vector<uint8_t> outA(samples * bytes + 16, 0xAB), outB = outA;
                InterleaveBlock(pa, channels, n, format, outA.data());
                kernels::Sse2Interleave(pa, channels, n, format, outB.data());
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
    for (InstructionSet set : VectorSets())
        for (SampleFormat format : kFormats)
            for (int8_t type : {int8_t{0}, int8_t{2}, int8_t{4}, int8_t{6}})
                for (uint32_t inChannels : {3u, 4u})
                    for (bool folded : FoldsFor(inChannels))
                    for (size_t n : {1u, 2u, 3u, 9u, 64u, 65u, 301u}) {
                        SCOPED_TRACE(::testing::Message() << NameOf(set) << " format " << int(format) << " type "
                                                          << int(type) << " in " << inChannels << " folded "
                                                          << folded << " n " << n);
                        const size_t bytes = BytesPerSample(format);
                        DecoderState ref = MakeState(type, inChannels, 64, InstructionSet::Scalar),
                                     fast = MakeState(type, inChannels, 64, set);
                        if (folded) {
                            ASSERT_TRUE(ref.FoldTurn(kTurn, kTurnInverse) && fast.FoldTurn(kTurn, kTurnInverse));
                        }
                        const std::vector<uint8_t> src = RandomStream(rng, format, n * inChannels);
                        const size_t outBytes = n * ref.m_nSpeakers * bytes;
                        std::vector<uint8_t> outA(outBytes, 0xAB), outB(outBytes + 16, 0xAB);
                        ref.DecodeFrames(format, src.data(), outA.data(), n);
                        const size_t first = n / 3;
                        fast.DecodeFrames(format, src.data(), outB.data(), first);
                        fast.DecodeFrames(format, src.data() + first * inChannels * bytes,
                                          outB.data() + first * ref.m_nSpeakers * bytes, n - first);
                        for (size_t i = outBytes; i < outB.size(); ++i) ASSERT_EQ(outB[i], 0xAB) << "wrote past the end";
                        ExpectSameStream(outA, outB, outBytes, format, "whole path");
                        EXPECT_TRUE(SameDouble(ref.m_pShelfX->PrevOut(), fast.m_pShelfX->PrevOut()));
                    }
}

// 16-bit output from gains so large that sums leave the 32-bit range (where a vector kernel
// may not convert to 32 bits before saturating) and from the layouts as they are (where it
// may): both saturate as the plain loops do.
TEST(DecoderFastPaths, Pcm16OutputSaturatesAsThePlainLoopsWhateverTheGains)
{
    std::mt19937 rng(14);
    for (InstructionSet set : VectorSets())
        for (double scale : {1.0, 3e5})
            for (int8_t type : {int8_t{0}, int8_t{2}, int8_t{6}})
                for (uint32_t inChannels : {3u, 4u})
                for (bool folded : FoldsFor(inChannels)) {
                    SCOPED_TRACE(::testing::Message() << NameOf(set) << " scale " << scale << " type " << int(type)
                                                      << " in " << inChannels << " folded " << folded);
                    DecoderState ref = MakeState(type, inChannels, 64, InstructionSet::Scalar),
                                 fast = MakeState(type, inChannels, 64, set);
                    for (DecoderState* st : {&ref, &fast}) {
                        for (auto& row : st->m_Coefficients.Gains)
                            for (double& g : row) g *= scale;
                        if (folded) {
                            ASSERT_TRUE(st->FoldTurn(kTurn, kTurnInverse));
                        }
                    }
                    const size_t n = 101, outBytes = n * ref.m_nSpeakers * 2;
                    const std::vector<uint8_t> src = RandomStream(rng, SampleFormat::Pcm16, n * inChannels);
                    std::vector<uint8_t> outA(outBytes, 0xAB), outB(outBytes + 16, 0xAB);
                    ref.DecodeFrames(SampleFormat::Pcm16, src.data(), outA.data(), n);
                    fast.DecodeFrames(SampleFormat::Pcm16, src.data(), outB.data(), n);
                    ExpectSameStream(outA, outB, outBytes, SampleFormat::Pcm16, "16-bit output");
                    for (size_t i = outBytes; i < outB.size(); ++i) ASSERT_EQ(outB[i], 0xAB) << "wrote past the end";
                    if (scale > 1.0) {
                        // The test means something only if some samples saturated.
                        size_t clipped = 0;
                        for (size_t i = 0; i < outBytes; i += 2) {
                            const double v = Pcm16Format::ToDouble(&outA[i]);
                            clipped += v == Pcm16Format::kLowest || v == Pcm16Format::kHighest;
                        }
                        EXPECT_GT(clipped, outBytes / 8);
                    }
                }
}

// A burst, then digital silence long enough for the shelf memory to decay through the
// subnormal numbers to zero, where halving a value is no longer exact: every format's output
// matches the plain loops, to the sign of each zero.
TEST(DecoderFastPaths, DecayIntoSilenceMatchesThePlainLoops)
{
    std::mt19937 rng(15);
    for (InstructionSet set : VectorSets())
        for (SampleFormat format : kFormats)
            for (uint32_t inChannels : {3u, 4u}) {
                SCOPED_TRACE(::testing::Message() << NameOf(set) << " format " << int(format) << " in " << inChannels);
                DecoderState ref = MakeState(0, inChannels, 64, InstructionSet::Scalar),
                             fast = MakeState(0, inChannels, 64, set);
                const size_t burst = 50, n = 40000, bytes = BytesPerSample(format);
                std::vector<uint8_t> src(n * inChannels * bytes, 0);
                std::uniform_real_distribution<double> level(-0.9, 0.9);
                for (size_t i = 0; i < burst * inChannels; ++i) {
                    uint8_t* p = src.data() + i * bytes;
                    if (format == SampleFormat::Float32) Float32Format::FromDouble(level(rng), p);
                    else if (format == SampleFormat::Pcm16) Pcm16Format::FromDouble(level(rng) * 32768.0, p);
                    else if (format == SampleFormat::Pcm24) Pcm24Format::FromDouble(level(rng) * 2147483648.0, p);
                    else Pcm32Format::FromDouble(level(rng) * 2147483648.0, p);
                }
                const size_t outBytes = n * ref.m_nSpeakers * bytes;
                std::vector<uint8_t> outA(outBytes), outB(outBytes);
                // Half way the memory is subnormal (where it stays, a few steps above zero).
                ref.DecodeFrames(format, src.data(), outA.data(), n / 2);
                const double halfWay = std::fabs(ref.m_pShelfW->PrevOut());
                EXPECT_TRUE(halfWay > 0.0 && halfWay < std::numeric_limits<double>::min()) << halfWay;
                ref.DecodeFrames(format, src.data() + n / 2 * inChannels * bytes,
                                 outA.data() + n / 2 * ref.m_nSpeakers * bytes, n - n / 2);
                fast.DecodeFrames(format, src.data(), outB.data(), n);
                ASSERT_EQ(std::memcmp(outA.data(), outB.data(), outBytes), 0);
                EXPECT_TRUE(SameDouble(ref.m_pShelfW->PrevOut(), fast.m_pShelfW->PrevOut()));
            }
}

// Float input can leave NaN in the shelf memory; integer output decoded after it must still
// give 0 for NaN on every kernel, as the plain loops do, until fresh audio is bounded again.
TEST(DecoderFastPaths, IntegerOutputAfterNonFiniteShelfMemoryMatchesThePlainLoops)
{
    std::mt19937 rng(13);
    for (InstructionSet set : VectorSets())
        for (SampleFormat format : {SampleFormat::Pcm16, SampleFormat::Pcm24, SampleFormat::Pcm32})
            for (int8_t type : {int8_t{0}, int8_t{2}, int8_t{4}}) {
                SCOPED_TRACE(::testing::Message() << NameOf(set) << " format " << int(format) << " type " << int(type));
                DecoderState ref = MakeState(type, 4, 64, InstructionSet::Scalar), fast = MakeState(type, 4, 64, set);
                std::vector<uint8_t> poison(4 * 4);
                for (int ch = 0; ch < 4; ++ch)
                    Float32Format::FromDouble(std::numeric_limits<double>::infinity(), poison.data() + 4 * ch);
                std::vector<uint8_t> sink(8 * 4);
                ref.DecodeFrames(SampleFormat::Float32, poison.data(), sink.data(), 1);
                fast.DecodeFrames(SampleFormat::Float32, poison.data(), sink.data(), 1);
                ASSERT_FALSE(std::isfinite(fast.m_pShelfW->PrevOut()));

                const size_t n = 37, bytes = BytesPerSample(format), outBytes = n * ref.m_nSpeakers * bytes;
                const std::vector<uint8_t> src = RandomStream(rng, format, n * 4);
                std::vector<uint8_t> outA(outBytes, 0xAB), outB(outBytes, 0xCD);
                ref.DecodeFrames(format, src.data(), outA.data(), n);
                fast.DecodeFrames(format, src.data(), outB.data(), n);
                EXPECT_EQ(outA, std::vector<uint8_t>(outBytes, 0));
                ExpectSameStream(outA, outB, outBytes, format, "after NaN memory");
            }
}

namespace {

// A kernel that only counts its calls and leaves a mark in the shelf memory it is handed.
int g_blockCalls = 0;
int g_frameCalls = 0;

void CountBlock(kernels::KernelState& state, double* const*, double* const*, int32_t)
{
    ++g_blockCalls;
    state.shelves.prevIn[0] = 42.0;
}

void CountFrames(kernels::KernelState& state, SampleFormat, const uint8_t*, uint8_t*, size_t)
{
    ++g_frameCalls;
    state.shelves.prevOut[2] = 7.0;
}

const kernels::DecodeKernel kCountingKernel = {InstructionSet::Scalar, CountBlock, CountFrames};

}  // namespace

// Prepare() picks the fastest kernel this machine has for the layout, and that kernel is what
// decodes, with the shelf memory written back after each call; the next Prepare() chooses
// afresh.
// The headphone decode's shelf kernels give the plain loop's bits, for lengths that are not a
// multiple of the vector width and with the memory carried from call to call; the decode runs
// the fastest of them.
TEST(DecoderFastPaths, ShelfKernelsMatchThePlainLoop)
{
    std::mt19937 rng(31);
    kernels::ShelfKernel fastest = nullptr;
    for (InstructionSet set : AvailableInstructionSets()) {
        SCOPED_TRACE(NameOf(set));
        const kernels::ShelfKernel kernel = kernels::ShelfKernelFor(set);
        ASSERT_NE(kernel, nullptr);
        fastest = kernel;
        kernels::ShelfBank plain{};
        for (int k = 0; k < 3; ++k) {
            plain.coefficient[k] = AllPass::CoefficientFor(kCrossoverHz, 48000.0);
            plain.lowGain[k] = k == 0 ? 0.67 : 1.33;
            plain.highGain[k] = k == 0 ? 0.85 : 1.15;
        }
        kernels::ShelfBank fast = plain;
        for (int32_t n : {1, 2, 3, 5, 8, 13, 64, 127}) {
            std::vector<std::vector<double>> a(3), b;
            for (auto& plane : a) plane = RandomSignal(rng, static_cast<size_t>(n), 30000.0);
            b = a;
            kernels::ScalarShelfThree(plain, a[0].data(), a[1].data(), a[2].data(), n);
            kernel(fast, b[0].data(), b[1].data(), b[2].data(), n);
            for (int c = 0; c < 3; ++c) {
                for (int32_t i = 0; i < n; ++i) ASSERT_EQ(Bits(a[c][i]), Bits(b[c][i])) << "n " << n << " channel " << c;
                ASSERT_EQ(Bits(plain.prevIn[c]), Bits(fast.prevIn[c]));
                ASSERT_EQ(Bits(plain.prevOut[c]), Bits(fast.prevOut[c]));
            }
        }
    }
    EXPECT_EQ(kernels::FastestShelfKernel(), fastest);
}

TEST(DecoderKernels, PreparationChoosesTheKernelThatDecodes)
{
    for (uint32_t inChannels : {3u, 4u}) {
        for (uint32_t speakers : {1u, 4u, 5u, 6u, 8u}) {
            SCOPED_TRACE(::testing::Message() << "in " << inChannels << " speakers " << speakers);
            const kernels::DecodeKernel* fastest = nullptr;
            for (InstructionSet set : AvailableInstructionSets())
                if (const kernels::DecodeKernel* k = KernelFor(set, inChannels, speakers)) fastest = k;
            ASSERT_NE(fastest, nullptr);

            DecoderState st(ResizedRig(LayoutId::Octagon, speakers));
            EXPECT_EQ(KernelOf(st), nullptr);
            ASSERT_EQ(st.Prepare({inChannels, 48000.0, 64}), PrepareResult::Ok);
            EXPECT_EQ(KernelOf(st), fastest);
            if (speakers == 4 || speakers == 6 || speakers == 8) {
                EXPECT_EQ(fastest->set, AvailableInstructionSets().back());
            }

            SetKernelForTesting(st, &kCountingKernel);
            g_blockCalls = g_frameCalls = 0;
            Planes p(inChannels, speakers, 8);
            st.DecodeBlock(p.I(), p.O(), 8);
            EXPECT_EQ(st.m_pShelfW->PrevIn(), 42.0);
            std::vector<uint8_t> src(8 * inChannels * 2), dst(8 * speakers * 2);
            st.DecodeFrames(SampleFormat::Pcm16, src.data(), dst.data(), 8);
            st.DecodeFrames(SampleFormat::None, src.data(), dst.data(), 8);
            EXPECT_EQ(st.m_pShelfY->PrevOut(), 7.0);
            EXPECT_EQ(g_blockCalls, 1);
            EXPECT_EQ(g_frameCalls, 1);

            ASSERT_EQ(st.Prepare({inChannels, 44100.0, 32}), PrepareResult::Ok);
            EXPECT_EQ(KernelOf(st), fastest);
        }
    }
}
