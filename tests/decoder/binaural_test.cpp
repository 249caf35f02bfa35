// Headphone decoding: the spherical head, the choice of responses, the fast decode against
// its plain reference, and what a listener hears from sources around the head.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/head_model.h"
#include "tests/decoder/support.h"
#include "tests/support/binaural_reference.h"

namespace {

using namespace decoder;
using decoder_test::BinauralReference;
using decoder_test::Bits;
using decoder_test::kConvolutionTolerance;
using decoder_test::kPi;
using decoder_test::Peak;
using decoder_test::RandomSignal;
using decoder_test::SpectrumAt;

constexpr double kRate = 48000.0;

// B-Format (FuMa, W at -3 dB) of `signal` arriving from azimuth `azimuthDeg`, in 4 planes.
std::vector<std::vector<double>> Encode(const std::vector<double>& signal, double azimuthDeg)
{
    const double az = azimuthDeg * kPi / 180.0;
    std::vector<std::vector<double>> b(4, std::vector<double>(signal.size()));
    for (size_t i = 0; i < signal.size(); ++i) {
        b[0][i] = signal[i] / std::sqrt(2.0);
        b[1][i] = signal[i] * std::cos(az);
        b[2][i] = signal[i] * std::sin(az);
        b[3][i] = 0.0;
    }
    return b;
}

StreamDescription Stream(int32_t maxBlock, uint32_t inChannels = 4) { return {inChannels, kRate, maxBlock}; }

// Virtual speakers of the built-in rig `type`.
BinauralSettings Settings(int type = DecodeTypeOf(kDefaultHeadphoneLayout))
{
    BinauralSettings s;
    s.rig = &BuiltInRig(static_cast<LayoutId>(type));
    return s;
}

// Runs `decoder` (BinauralDecoder or BinauralReference) over the planes in blocks whose sizes
// come from `blocks` in turn; returns the two ears.
template <class Decoder>
std::vector<std::vector<double>> RunBlocks(Decoder& decoder, const std::vector<std::vector<double>>& b,
                                     const std::vector<int32_t>& blocks, uint32_t inChannels = 4)
{
    const size_t n = b[0].size();
    std::vector<std::vector<double>> ears(2, std::vector<double>(n, -7.0));
    size_t at = 0;
    for (size_t k = 0; at < n; ++k) {
        const auto take = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(blocks[k % blocks.size()]), n - at));
        const double* in[4];
        for (uint32_t ch = 0; ch < inChannels; ++ch) in[ch] = b[ch].data() + at;
        double* out[2] = {ears[0].data() + at, ears[1].data() + at};
        decoder.Process(in, out, take);
        at += static_cast<size_t>(take);
    }
    return ears;
}

// Ear responses to a click from azimuthDeg through the default headphone decode, latency removed.
std::vector<std::vector<double>> ClickResponses(double azimuthDeg, size_t frames)
{
    BinauralDecoder d;
    EXPECT_EQ(d.Prepare(Stream(512), Settings()), PrepareResult::Ok);
    const auto latency = static_cast<size_t>(d.LatencyFrames());
    std::vector<double> click(frames + latency, 0.0);
    click[0] = 1.0;
    auto ears = RunBlocks(d, Encode(click, azimuthDeg), {512});
    for (auto& e : ears) e.erase(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(latency));
    return ears;
}

// Energy of h in the octave band around `centre` Hz, from a plain DFT.
double BandEnergy(const std::vector<double>& h, double centre)
{
    const size_t n = h.size();
    double energy = 0.0;
    for (size_t k = 1; k < n / 2; ++k) {
        const double f = static_cast<double>(k) * kRate / static_cast<double>(n);
        if (f < centre / std::sqrt(2.0) || f >= centre * std::sqrt(2.0)) continue;
        std::complex<double> sum;
        for (size_t i = 0; i < n; ++i) sum += h[i] * std::polar(1.0, -2.0 * kPi * static_cast<double>(k * i) / static_cast<double>(n));
        energy += std::norm(sum);
    }
    return energy;
}

// Interaural time difference in ms at `hz` (below the frequency where the phase wraps), from
// the phase of the right ear relative to the left: positive when the left ear leads.
double PhaseDelayMs(const std::vector<double>& left, const std::vector<double>& right, double hz)
{
    return -std::arg(SpectrumAt(right, hz, kRate) / SpectrumAt(left, hz, kRate)) / (2.0 * kPi * hz) * 1000.0;
}

// Lag (frames, fractional by parabolic interpolation) by which `late` trails `early`.
double LagOf(const std::vector<double>& early, const std::vector<double>& late)
{
    const int maxLag = 64;
    std::vector<double> c(2 * maxLag + 1);
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double sum = 0.0;
        for (size_t i = 0; i < early.size(); ++i) {
            const long j = static_cast<long>(i) + lag;
            if (j >= 0 && static_cast<size_t>(j) < late.size()) sum += early[i] * late[static_cast<size_t>(j)];
        }
        c[static_cast<size_t>(lag + maxLag)] = sum;
    }
    const auto peak = static_cast<size_t>(std::max_element(c.begin(), c.end()) - c.begin());
    double offset = 0.0;
    if (peak > 0 && peak + 1 < c.size()) {
        const double a = c[peak - 1], b = c[peak], d = c[peak + 1];
        offset = 0.5 * (a - d) / (a - 2.0 * b + d);
    }
    return static_cast<double>(peak) - maxLag + offset;
}

TEST(SphericalHead, InterauralDelayFollowsWoodworthAndTheFarEarIsShadowed)
{
    const double aOverC = kHeadRadius / kSpeedOfSound;
    for (double lateral : {0.0, 0.3, 0.8, kPi / 2}) {
        const double itd = SphericalHeadDelay(kPi / 2 + lateral) - SphericalHeadDelay(kPi / 2 - lateral);
        EXPECT_NEAR(itd, aOverC * (lateral + std::sin(lateral)), 1e-15) << lateral;
    }
    std::vector<double> left, right;
    RenderSphericalHead(90.0, 0.0, kRate, left, right);
    ASSERT_EQ(left.size(), SphericalHeadLength(kRate));
    // The rendered delay difference is the model's, give or take the little the two shadow
    // filters shift the broadband peak.
    EXPECT_NEAR(LagOf(left, right), aOverC * (kPi / 2 + 1.0) * kRate, 0.5);
    // Both ears pass 0 Hz at unit gain; above a few kHz the near ear is boosted, the far one cut.
    double sumLeft = 0.0, sumRight = 0.0;
    for (size_t i = 0; i < left.size(); ++i) sumLeft += left[i], sumRight += right[i];
    EXPECT_NEAR(sumLeft, 1.0, 1e-3);
    EXPECT_NEAR(sumRight, 1.0, 1e-3);
    EXPECT_GT(10.0 * std::log10(BandEnergy(left, 8000.0) / BandEnergy(right, 8000.0)), 10.0);
    // Straight ahead, the two ears are the same.
    RenderSphericalHead(0.0, 0.0, kRate, left, right);
    for (size_t i = 0; i < left.size(); ++i) EXPECT_EQ(Bits(left[i]), Bits(right[i])) << i;
}

TEST(HeadphoneLayouts, DirectionsAndTheNearestMeasurement)
{
    for (int t = 0; t < kLayoutCount; ++t) {
        const Rig& rig = BuiltInRig(static_cast<LayoutId>(t));
        const std::vector<Direction> d = SpeakerDirections(rig);
        ASSERT_EQ(d.size(), rig.Channels()) << t;
        for (size_t s = 0; s < d.size(); ++s) {
            EXPECT_EQ(d[s].azimuthDeg, rig.speakers[s].azimuth);
            EXPECT_EQ(d[s].elevationDeg, rig.speakers[s].elevation);
        }
    }
    // Azimuth wraps round; elevation counts.
    const Direction candidates[] = {{0, 0}, {330, 0}, {90, 0}, {90, 60}, {-90, 0}};
    EXPECT_EQ(NearestDirection({350, 0}, candidates, 5), 0u);
    EXPECT_EQ(NearestDirection({-25, 0}, candidates, 5), 1u);
    EXPECT_EQ(NearestDirection({90, 40}, candidates, 5), 3u);
    EXPECT_EQ(NearestDirection({270, 10}, candidates, 5), 4u);
}

TEST(HeadphoneResponses, EachVirtualSpeakerGetsTheMeasurementNearestIt)
{
    // Measurements every 30 degrees; each is an impulse whose delay names it.
    std::vector<DirectionalResponse> measured;
    for (int i = 0; i < 12; ++i) {
        DirectionalResponse r;
        r.azimuthDeg = i * 30.0 - 180.0;
        r.left.assign(40, 0.0);
        r.right.assign(40, 0.0);
        r.left[static_cast<size_t>(i)] = 1.0;
        r.right[static_cast<size_t>(i) + 20] = 1.0;
        measured.push_back(r);
    }
    BinauralSettings s = Settings(5);  // octagon at 22.5 + k·45 degrees
    s.responses = measured.data();
    s.responseCount = measured.size();
    VirtualSpeakers v;
    ASSERT_EQ(PrepareVirtualSpeakers(Stream(64), s, v), PrepareResult::Ok);
    const std::vector<Direction> directions = SpeakerDirections(*s.rig);
    for (uint32_t sp = 0; sp < v.speakers; ++sp) {
        // Nearest of the 30-degree grid, brute force over the plane.
        int best = 0;
        double bestGap = 1e9;
        for (int i = 0; i < 12; ++i) {
            double gap = std::fmod(std::fabs(directions[sp].azimuthDeg - (i * 30.0 - 180.0)), 360.0);
            gap = std::min(gap, 360.0 - gap);
            if (gap < bestGap - 1e-9) bestGap = gap, best = i;
        }
        const auto delay = static_cast<size_t>(std::max_element(v.left[sp].begin(), v.left[sp].end()) - v.left[sp].begin());
        EXPECT_EQ(delay, static_cast<size_t>(best)) << "speaker " << sp;
        EXPECT_EQ(v.right[sp][delay + 20], 1.0);
    }
}

TEST(HeadphoneSetup, RefusesImpossibleSettingsAndKeepsWhatWasThere)
{
    std::mt19937 rng(5);
    const auto signal = RandomSignal(rng, 3000, 0.5);
    const auto b = Encode(signal, 30.0);
    BinauralDecoder untouched, tried;
    ASSERT_EQ(untouched.Prepare(Stream(256), Settings()), PrepareResult::Ok);
    ASSERT_EQ(tried.Prepare(Stream(256), Settings()), PrepareResult::Ok);

    std::vector<DirectionalResponse> bad(2);
    bad[0].left.assign(10, 0.1);
    bad[0].right.assign(10, 0.1);
    bad[1].left.assign(10, 0.1);
    bad[1].right.assign(9, 0.1);  // lengths differ
    auto expectRefused = [&](BinauralSettings s, PrepareResult expected, StreamDescription stream = Stream(256)) {
        EXPECT_EQ(tried.Prepare(stream, s), expected);
    };
    BinauralSettings s = Settings();
    expectRefused(s, PrepareResult::BadSampleRate, {4, 0.0, 256});
    expectRefused(s, PrepareResult::BadSampleRate, {4, NAN, 256});
    expectRefused(s, PrepareResult::BadChannels, Stream(256, 2));
    expectRefused(s, PrepareResult::BadBlockFrames, Stream(0));
    Rig none, nine = BuiltInRig(LayoutId::Octagon);
    nine.speakers.push_back({});
    s.rig = &none;
    expectRefused(s, PrepareResult::BadRig);
    s.rig = &nine;
    expectRefused(s, PrepareResult::BadRig);
    s = Settings();
    s.responses = bad.data();
    s.responseCount = 2;
    expectRefused(s, PrepareResult::BadResponses);
    bad[1].right.assign(10, 0.1);
    bad[1].right[3] = INFINITY;
    expectRefused(s, PrepareResult::BadResponses);
    bad[1].left.assign(kMaxResponseFrames + 1, 0.0);
    bad[1].right.assign(kMaxResponseFrames + 1, 0.0);
    expectRefused(s, PrepareResult::BadResponses);
    bad[1].left.clear();
    bad[1].right.clear();
    expectRefused(s, PrepareResult::BadResponses);
    s.responses = nullptr;
    expectRefused(s, PrepareResult::BadResponses);

    const auto expected = RunBlocks(untouched, b, {256});
    const auto got = RunBlocks(tried, b, {256});
    for (int e = 0; e < 2; ++e)
        for (size_t i = 0; i < signal.size(); ++i) ASSERT_EQ(Bits(got[e][i]), Bits(expected[e][i])) << e << " " << i;

    BinauralDecoder never;
    double x[4] = {1, 1, 1, 1}, y[2] = {5, 5};
    const double* in[4] = {x, x + 1, x + 2, x + 3};
    double* out[2] = {y, y + 1};
    never.Process(in, out, 1);  // not prepared: nothing written
    EXPECT_EQ(y[0], 5.0);
}

// The convolution's frequency-domain sums in every vector loop this processor runs against
// the plain loop: input and output counts on either side of the outputs summed at once, one
// and several partitions with the delay line's newest slot anywhere, with the signs and sizes
// of real spectra.
TEST(HeadphoneDecode, SpectrumSumsHaveThePlainLoopsBits)
{
    std::vector<kernels::SpectrumSumsKernel> loops;
    for (kernels::SpectrumSumsKernel loop : {kernels::SumSpectraAvx2(), kernels::SumSpectraAvx512()})
        if (loop) loops.push_back(loop);
    if (loops.empty()) GTEST_SKIP() << "no vector loop on this processor";
    std::mt19937 rng(7);
    auto spectra = [&](size_t bins, double scale) {
        const std::vector<double> v = RandomSignal(rng, 2 * bins, scale);
        std::vector<std::complex<float>> c(bins);
        for (size_t k = 0; k < bins; ++k) c[k] = {static_cast<float>(v[2 * k]), static_cast<float>(v[2 * k + 1])};
        return c;
    };
    for (size_t inputs : {1u, 4u})
        for (size_t outputs : {1u, 2u, 3u})
            for (size_t partitions : {1u, 3u}) {
                kernels::SpectrumSums s;
                s.inputs = inputs;
                s.outputs = outputs;
                s.partitions = partitions;
                s.chunks = 3;
                s.newest = partitions - 1;
                const size_t bins = s.chunks * kernels::kSpectrumChunk;
                const auto x = spectra(bins * inputs * partitions, 40.0), h = spectra(bins * inputs * partitions * outputs, 0.01);
                // The filters hold real and imaginary parts chunk by chunk: any floats will do.
                std::vector<std::complex<float>> plain(bins * outputs), fast(plain.size());
                s.x = x.data();
                s.h = reinterpret_cast<const float*>(h.data());
                s.sum = plain.data();
                kernels::SumSpectraPlain(s);
                for (kernels::SpectrumSumsKernel loop : loops) {
                    s.sum = fast.data();
                    loop(s);
                    for (size_t k = 0; k < plain.size(); ++k) {
                        ASSERT_EQ(Bits(plain[k].real()), Bits(fast[k].real())) << inputs << " in, " << outputs << " out, bin " << k;
                        ASSERT_EQ(Bits(plain[k].imag()), Bits(fast[k].imag())) << inputs << " in, " << outputs << " out, bin " << k;
                    }
                }
            }
}

// The conversions into and out of the convolution's single-precision windows and the taking
// apart of a pair's transform against the plain loops: every length up to a few vector steps
// and a start off the vector boundary; values that round either way, halfway cases, values
// beyond float's range and below its normal range; spectra with equal mirrored parts (whose
// differences are zeros of either sign) and both with and without the second signal.
TEST(BlockConvolution, ConversionAndUnpairingLoopsHaveThePlainLoopsBits)
{
    const kernels::NarrowPairKernel narrow = kernels::NarrowPairAvx2();
    const kernels::WidenKernel widen = kernels::WidenAvx2();
    const kernels::UnpairKernel unpair = kernels::UnpairAvx2();
    if (!narrow || !widen || !unpair) GTEST_SKIP() << "no vector loop on this processor";
    std::mt19937 rng(3);
    std::vector<double> a = RandomSignal(rng, 40, 1.0), b = RandomSignal(rng, 40, 1.0);
    a[3] = 1.0 + std::ldexp(1.0, -24);  // halfway between two floats
    b[12] = -1e39;
    a[20] = 3e-42;
    b[29] = std::ldexp(1.0, -150);
    for (size_t start : {0u, 1u})
        for (size_t n = 0; n + start <= a.size(); ++n) {
            std::vector<float> plain(2 * n + 1, -7.0f), fast(2 * n + 1, -7.0f);
            kernels::NarrowPairPlain(a.data() + start, b.data() + start, plain.data(), n);
            narrow(a.data() + start, b.data() + start, fast.data(), n);
            for (size_t k = 0; k <= 2 * n; ++k) ASSERT_EQ(Bits(plain[k]), Bits(fast[k])) << n << " samples, " << k;
            std::vector<double> wide(2 * n + 1, -7.0), fastWide(2 * n + 1, -7.0);
            kernels::WidenPlain(plain.data(), wide.data(), 2 * n);
            widen(plain.data(), fastWide.data(), 2 * n);
            for (size_t k = 0; k <= 2 * n; ++k) ASSERT_EQ(Bits(wide[k]), Bits(fastWide[k])) << n << " samples, " << k;
        }
    for (size_t n : {2u, 8u, 16u, 32u}) {
        std::vector<std::complex<float>> z(n);
        for (size_t k = 0; k < n; ++k) z[k] = {static_cast<float>(a[k]), static_cast<float>(b[k])};
        z[n - 1] = z[1];  // mirrored parts alike: sums of equal values, differences of zero
        for (size_t bins = 0; bins <= n / 2 + 1; ++bins)
            for (bool second : {false, true}) {
                std::vector<std::complex<float>> plain(2 * bins + 1, -7.0f), fast(plain.size(), -7.0f);
                kernels::UnpairPlain(z.data(), n, bins, plain.data(), second ? plain.data() + bins : nullptr);
                unpair(z.data(), n, bins, fast.data(), second ? fast.data() + bins : nullptr);
                for (size_t k = 0; k < plain.size(); ++k) {
                    ASSERT_EQ(Bits(plain[k].real()), Bits(fast[k].real())) << n << " points, " << bins << " bins, " << k;
                    ASSERT_EQ(Bits(plain[k].imag()), Bits(fast[k].imag())) << n << " points, " << bins << " bins, " << k;
                }
            }
    }
}

// The whole convolution against the sum of direct convolutions, lagged by one partition: more
// outputs than are summed at once, filters of different lengths (one shorter than a
// partition, one spanning several), a spectrum whose last chunk is mostly padding (a partition
// of 16 has 17 bins), and input in uneven blocks so that the delay line wraps many times; one
// to four inputs, as inputs share transforms by pairs (a lone last input with nothing).
TEST(BlockConvolution, EqualsTheDirectConvolutionLaggedByOnePartition)
{
    std::mt19937 rng(21);
    const size_t outputs = 3, partition = 16, frames = 400;
    for (size_t inputs = 1; inputs <= 4; ++inputs) {
        SCOPED_TRACE(::testing::Message() << inputs << " inputs");
        std::vector<std::vector<std::vector<double>>> filters(inputs, std::vector<std::vector<double>>(outputs));
        for (size_t i = 0; i < inputs; ++i)
            for (size_t o = 0; o < outputs; ++o) filters[i][o] = RandomSignal(rng, 1 + (i * 31 + o * 17) % 70, 0.5);
        std::vector<std::vector<double>> in(inputs);
        for (auto& plane : in) plane = RandomSignal(rng, frames, 1.0);
        BlockConvolver convolver;
        ASSERT_TRUE(convolver.Setup(filters, partition));
        ASSERT_EQ(convolver.Latency(), partition);
        std::vector<std::vector<double>> out(outputs, std::vector<double>(frames));
        size_t done = 0;
        for (size_t piece : {7u, 16u, 1u, 40u, 3u, 333u}) {
            std::vector<const double*> ip(inputs);
            double* op[outputs];
            for (size_t i = 0; i < inputs; ++i) ip[i] = in[i].data() + done;
            for (size_t o = 0; o < outputs; ++o) op[o] = out[o].data() + done;
            convolver.Process(ip.data(), op, piece);
            done += piece;
        }
        ASSERT_EQ(done, frames);
        for (size_t o = 0; o < outputs; ++o) {
            std::vector<double> direct(frames, 0.0);
            for (size_t f = partition; f < frames; ++f)
                for (size_t i = 0; i < inputs; ++i)
                    for (size_t k = 0; k < filters[i][o].size() && k <= f - partition; ++k)
                        direct[f] += filters[i][o][k] * in[i][f - partition - k];
            const double tolerance = kConvolutionTolerance * Peak(direct);
            for (size_t f = 0; f < frames; ++f)
                ASSERT_NEAR(out[o][f], direct[f], tolerance) << "output " << o << ", frame " << f;
        }
    }
}

// Hosts set decoders up on threads of their own: the transforms planned at set-up must not
// trip over each other, and every decoder decodes the same signal to the same bits.
TEST(HeadphoneDecode, DecodersSetUpOnSeveralThreadsAtOnceDecodeAlike)
{
    std::mt19937 rng(5);
    std::vector<std::vector<double>> b(4);
    for (auto& plane : b) plane = RandomSignal(rng, 1500, 1.0);
    std::vector<std::vector<std::vector<double>>> ears(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < ears.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                BinauralDecoder d;
                if (d.Prepare(Stream(300), Settings()) != PrepareResult::Ok) return;
                ears[t] = RunBlocks(d, b, {300});
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (size_t t = 1; t < ears.size(); ++t) {
        ASSERT_EQ(ears[t].size(), 2u);
        for (int ear = 0; ear < 2; ++ear)
            for (size_t i = 0; i < ears[0][ear].size(); ++i)
                ASSERT_EQ(Bits(ears[t][ear][i]), Bits(ears[0][ear][i])) << "thread " << t << ", frame " << i;
    }
}

// The FFT decode equals the plain one (shifted by its latency) within the tolerance, for the
// built-in head and for handed-in responses longer than one partition, for layouts with and
// without Z and for 3 and 4 inputs; and its output does not depend on how blocks are split.
TEST(HeadphoneDecode, FastDecodeMatchesThePlainReferenceWhateverTheBlocks)
{
    std::mt19937 rng(11);
    std::vector<DirectionalResponse> measured;
    for (int i = 0; i < 10; ++i) {
        DirectionalResponse r;
        r.azimuthDeg = i * 36.0;
        r.elevationDeg = (i % 3 - 1) * 40.0;
        r.left = RandomSignal(rng, 600, 0.3);
        r.right = RandomSignal(rng, 600, 0.3);
        measured.push_back(r);
    }
    struct Case { int type; uint32_t inChannels; bool measuredResponses; };
    const Case cases[] = {{4, 4, false}, {0, 3, false}, {1, 4, false}, {6, 4, false}, {6, 3, true}, {2, 4, true}, {5, 3, true}};
    double worst = 0.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << ", " << c.inChannels << " inputs, measured " << c.measuredResponses);
        BinauralSettings s = Settings(c.type);
        const StreamDescription stream = Stream(200, c.inChannels);
        if (c.measuredResponses) {
            s.responses = measured.data();
            s.responseCount = measured.size();
        }
        BinauralDecoder fast, split;
        BinauralReference reference;
        ASSERT_EQ(fast.Prepare(stream, s), PrepareResult::Ok);
        ASSERT_EQ(split.Prepare(stream, s), PrepareResult::Ok);
        ASSERT_EQ(reference.Prepare(stream, s), PrepareResult::Ok);
        EXPECT_EQ(fast.ConvolvedChannels(), c.type == 6 && c.inChannels == 4 ? 4u : 3u);
        std::vector<std::vector<double>> b(4);
        for (auto& plane : b) plane = RandomSignal(rng, 2500, 1.0);
        const auto f = RunBlocks(fast, b, {200}, c.inChannels);
        const auto r = RunBlocks(reference, b, {77, 200, 1, 13}, c.inChannels);
        // Blocks of every size, one larger than the set-up's largest (taken in pieces).
        const auto p = RunBlocks(split, b, {1, 2, 127, 128, 129, 3, 200, 450, 64}, c.inChannels);
        const auto latency = static_cast<size_t>(fast.LatencyFrames());
        for (int e = 0; e < 2; ++e) {
            const double tolerance = kConvolutionTolerance * Peak(r[e]);
            for (size_t i = 0; i < latency; ++i) ASSERT_EQ(f[e][i], 0.0);
            for (size_t i = 0; i + latency < f[e].size(); ++i) {
                worst = std::max(worst, std::fabs(f[e][i + latency] - r[e][i]) / Peak(r[e]));
                ASSERT_NEAR(f[e][i + latency], r[e][i], tolerance) << "ear " << e << " frame " << i;
            }
            for (size_t i = 0; i < f[e].size(); ++i) ASSERT_EQ(Bits(p[e][i]), Bits(f[e][i])) << "ear " << e << " frame " << i;
        }
    }
    std::printf("largest difference from the reference, relative to the output's peak: %.3g\n", worst);
}

// What a listener hears: sources ahead and behind reach both ears alike; a source on one side
// is louder and earlier at that ear, by amounts of the size a human head gives.
TEST(HeadphoneDecode, SourcesAroundTheHeadReachTheEarsAsAroundAHead)
{
    const size_t frames = 2048;
    for (double az : {0.0, 180.0}) {
        const auto ears = ClickResponses(az, frames);
        for (size_t i = 0; i < frames; ++i) ASSERT_NEAR(ears[0][i], ears[1][i], 1e-12) << az << " " << i;
    }
    const double octaves[] = {125, 250, 500, 1000, 2000, 4000, 8000, 16000};
    for (double az : {45.0, 90.0}) {
        const auto left = ClickResponses(az, frames);
        const auto right = ClickResponses(-az, frames);
        // Mirror images: the left ear for +az is the right ear for -az.
        for (size_t i = 0; i < frames; ++i) ASSERT_NEAR(left[0][i], right[1][i], 1e-12);
        // Time differences are heard below about 1.5 kHz; the decode gives Woodworth's value
        // there to within the blur of a first-order decode.
        const double woodworthMs = kHeadRadius / kSpeedOfSound * (az * kPi / 180.0 + std::sin(az * kPi / 180.0)) * 1000.0;
        std::printf("azimuth %+.0f (Woodworth %.3f ms): ITD ms", az, woodworthMs);
        for (double hz : {125.0, 250.0, 500.0}) {
            const double itd = PhaseDelayMs(left[0], left[1], hz);
            std::printf(" %g Hz %.3f", hz, itd);
            EXPECT_GT(itd, 0.6 * woodworthMs) << hz;
            EXPECT_LT(itd, 1.6 * woodworthMs) << hz;
            EXPECT_NEAR(PhaseDelayMs(right[1], right[0], hz), itd, 1e-9);
        }
        std::printf("; ILD dB per octave:");
        for (double centre : octaves) {
            const double ild = 10.0 * std::log10(BandEnergy(left[0], centre) / BandEnergy(left[1], centre));
            std::printf(" %g Hz %.1f", centre, ild);
            EXPECT_GT(ild, 0.0) << centre;
            EXPECT_LT(ild, 25.0) << centre;
            if (centre >= 2000) {
                EXPECT_GT(ild, 3.0) << centre;
            }
        }
        std::printf("\n");
    }
}

}  // namespace
