// The output seam: each renderer against the engine piece it runs, its tail, the rates it
// takes, and preparation that fails without changing what was there.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decoder/binaural_design.h"
#include "decoder/block_convolver.h"
#include "decoder/renderer.h"
#include "decoder/uhj.h"
#include "support.h"
#include "tests/support/analytic_head.h"

using namespace decoder;
using namespace decoder_test;

namespace {

constexpr StreamDescription kStream{4, 48000.0, 100};

std::vector<uint8_t> RandomFloat32(std::mt19937& rng, size_t samples)
{
    std::vector<uint8_t> bytes(samples * 4);
    const std::vector<double> v = RandomSignal(rng, samples, 0.5);
    for (size_t i = 0; i < samples; ++i) Float32Format::FromDouble(v[i], &bytes[i * 4]);
    return bytes;
}

}  // namespace

// Interleaved float through Render() equals planes of doubles through RenderPlanes() (as a host
// with float planes would feed them) and equals the engine piece each output runs.
TEST(Renderers, InterleavedAndPlanarPathsGiveTheEnginesOutput)
{
    std::mt19937 rng(41);
    const size_t frames = 650;  // seven blocks of at most 100, well past the headphones' lag
    const std::vector<uint8_t> src = RandomFloat32(rng, frames * 4);
    for (OutputKind kind : {OutputKind::Speakers, OutputKind::Uhj, OutputKind::Headphones}) {
        SCOPED_TRACE(static_cast<int>(kind));
        auto interleaved = MakeRenderer(kind, BuiltInRig(LayoutId::Hexagon), nullptr);
        auto planar = MakeRenderer(kind, BuiltInRig(LayoutId::Hexagon), nullptr);
        ASSERT_EQ(interleaved->Prepare(kStream), PrepareResult::Ok);
        ASSERT_EQ(planar->Prepare(kStream), PrepareResult::Ok);
        const uint32_t outChannels = interleaved->OutputChannels();
        EXPECT_EQ(outChannels, kind == OutputKind::Speakers ? 6u : 2u);
        EXPECT_EQ(interleaved->ChannelMask(), kind == OutputKind::Speakers ? 0u : 0x3u);

        std::vector<uint8_t> got(frames * outChannels * 4);
        interleaved->Render(SampleFormat::Float32, src.data(), got.data(), frames);

        // The same through planes, in blocks of the largest size, and through the engine alone.
        std::vector<std::vector<double>> in(4, std::vector<double>(100)), out(8, std::vector<double>(100)),
            engineOut(8, std::vector<double>(100));
        double *ip[4], *op[8], *ep[8];
        for (int c = 0; c < 4; ++c) ip[c] = in[c].data();
        for (int c = 0; c < 8; ++c) op[c] = out[c].data(), ep[c] = engineOut[c].data();
        DecoderState speakers(BuiltInRig(LayoutId::Hexagon));
        ASSERT_EQ(speakers.Prepare(kStream), PrepareResult::Ok);
        UhjEncoder uhj;
        // Headphones: the designed ambiX filters, fed W * sqrt(2), Y, Z, X.
        BinauralDesignSettings settings;
        BinauralDesign design;
        ASSERT_EQ(DesignBinauralDecoder(settings, design), BinauralDesignResult::Ok);
        BlockConvolver headphones;
        ASSERT_TRUE(headphones.Setup(design.filters, kBinauralLatencyFrames));
        for (size_t done = 0; done < frames; done += 100) {
            const auto n = static_cast<int32_t>(std::min<size_t>(100, frames - done));
            DeinterleaveBlock(src.data() + done * 16, n, SampleFormat::Float32, 4, ip);
            std::vector<std::vector<double>> engineIn = in;
            double* eip[4];
            for (int c = 0; c < 4; ++c) eip[c] = engineIn[c].data();
            planar->RenderPlanes(ip, op, n);
            if (kind == OutputKind::Speakers) speakers.DecodeBlock(eip, ep, n);
            else if (kind == OutputKind::Uhj) uhj.Process(eip, ep, n);
            else {
                for (int32_t f = 0; f < n; ++f) engineIn[0][f] *= std::sqrt(2.0);
                const double* ambix[4] = {eip[0], eip[2], eip[3], eip[1]};
                headphones.Process(ambix, ep, static_cast<size_t>(n));
            }
            for (uint32_t c = 0; c < outChannels; ++c) {
                for (int32_t f = 0; f < n; ++f) {
                    const size_t at = ((done + static_cast<size_t>(f)) * outChannels + c) * 4;
                    // The headphones fold W's factor into its filters: the same to the
                    // convolution's round-off (its outputs here peak below 2).
                    if (kind == OutputKind::Headphones)
                        ASSERT_NEAR(out[c][f], engineOut[c][f], 2 * kConvolutionTolerance) << "channel " << c << " frame " << done + f;
                    else
                        ASSERT_EQ(Bits(out[c][f]), Bits(engineOut[c][f])) << "channel " << c << " frame " << done + f;
                    ASSERT_EQ(Float32Format::ToDouble(&got[at]), static_cast<double>(static_cast<float>(out[c][f])));
                }
            }
        }
    }
}

// Only the headphone decode lags its input: it owes its latency once audio went in, brings it
// out in pieces as if silence followed, and owes nothing after a fresh preparation or a drop.
TEST(Renderers, TheTailIsOwedOnceAudioWentInAndComesOutInPieces)
{
    std::mt19937 rng(42);
    const std::vector<uint8_t> src = RandomFloat32(rng, 80 * 4);
    for (OutputKind kind : {OutputKind::Speakers, OutputKind::Uhj}) {
        auto r = MakeRenderer(kind, BuiltInRig(LayoutId::Square), nullptr);
        ASSERT_EQ(r->Prepare(kStream), PrepareResult::Ok);
        std::vector<uint8_t> out(80 * 4 * 4);
        r->Render(SampleFormat::Float32, src.data(), out.data(), 80);
        EXPECT_EQ(r->TailFrames(), 0u);
    }

    auto piecewise = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), nullptr);
    auto whole = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), nullptr);
    for (auto* r : {piecewise.get(), whole.get()}) {
        ASSERT_EQ(r->Prepare(kStream), PrepareResult::Ok);
        EXPECT_EQ(r->TailFrames(), 0u);
        std::vector<uint8_t> out(80 * 2 * 4);
        r->Render(SampleFormat::Float32, src.data(), out.data(), 80);
        ASSERT_EQ(r->TailFrames(), static_cast<size_t>(kBinauralLatencyFrames));
    }
    // The whole tail in one call equals silence rendered after the input.
    const size_t tail = kBinauralLatencyFrames;
    std::vector<uint8_t> silence(tail * 4 * 4, 0), expected(tail * 2 * 4), pieces(tail * 2 * 4, 0xEE);
    auto reference = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), nullptr);
    ASSERT_EQ(reference->Prepare(kStream), PrepareResult::Ok);
    std::vector<uint8_t> ignored(80 * 2 * 4);
    reference->Render(SampleFormat::Float32, src.data(), ignored.data(), 80);
    reference->Render(SampleFormat::Float32, silence.data(), expected.data(), tail);

    size_t done = 0;
    for (size_t piece : {size_t{1}, size_t{100}, size_t{1000}}) {
        const size_t n = std::min(piece, piecewise->TailFrames());
        piecewise->RenderTail(SampleFormat::Float32, pieces.data() + done * 8, piece);
        done += n;
        EXPECT_EQ(piecewise->TailFrames(), tail - done);
    }
    EXPECT_EQ(done, tail);
    EXPECT_EQ(pieces, expected);

    whole->DropTail();
    EXPECT_EQ(whole->TailFrames(), 0u);
    std::vector<uint8_t> out(80 * 2 * 4);
    whole->Render(SampleFormat::Float32, src.data(), out.data(), 80);
    ASSERT_EQ(whole->Prepare(kStream), PrepareResult::Ok);
    EXPECT_EQ(whole->TailFrames(), 0u);
}

// The rates each output takes, and a preparation that fails keeps the previous one working.
TEST(Renderers, RatesAndRefusedPreparations)
{
    MeasuredResponses measured;
    measured.sampleRate = 44100.0;
    measured.responses.resize(4);
    for (size_t i = 0; i < 4; ++i) {
        measured.responses[i].azimuthDeg = 90.0 * static_cast<double>(i);
        measured.responses[i].elevationDeg = i == 3 ? 60.0 : 0.0;
        measured.responses[i].left.assign(16, 0.1);
        measured.responses[i].right.assign(16, 0.1);
    }
    auto speakers = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
    auto headModel = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), nullptr);
    auto responses = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), &measured);
    EXPECT_TRUE(speakers->AcceptsRate(800.0));
    EXPECT_FALSE(speakers->AcceptsRate(0.0));
    EXPECT_FALSE(headModel->AcceptsRate(800.0));
    EXPECT_TRUE(headModel->AcceptsRate(96000.0));
    EXPECT_TRUE(responses->AcceptsRate(44100.0));
    EXPECT_FALSE(responses->AcceptsRate(48000.0));
    // A first-order design needs 4 directions at least, and a rate.
    ASSERT_EQ(responses->Prepare({4, 44100.0, 64}), PrepareResult::Ok);
    measured.responses.pop_back();
    EXPECT_EQ(MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), &measured), nullptr);
    measured.responses.resize(4, measured.responses[0]);
    measured.sampleRate = 0.0;
    EXPECT_EQ(MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), &measured), nullptr);

    for (OutputKind kind : {OutputKind::Speakers, OutputKind::Uhj, OutputKind::Headphones}) {
        auto r = MakeRenderer(kind, BuiltInRig(LayoutId::Square), nullptr);
        EXPECT_FALSE(r->IsReady());
        ASSERT_EQ(r->Prepare({3, 48000.0, 64}), PrepareResult::Ok);
        EXPECT_EQ(r->Prepare({10, 48000.0, 64}), PrepareResult::BadChannels);
        EXPECT_EQ(r->Prepare({3, 48000.0, 0}), PrepareResult::BadBlockFrames);
        EXPECT_TRUE(r->IsReady());
        EXPECT_EQ(r->Stream().inChannels, 3u);
        EXPECT_EQ(r->Stream().maxBlockFrames, 64);
    }
}

namespace {

// The ears' energies for a unit impulse of FuMa B-Format (W carrying 1/sqrt(2)), rendered by a
// headphone renderer prepared for `channels` at 48 kHz, the lag dropped.
struct EarSignals {
    std::vector<double> left, right;
    double Energy(int ear) const
    {
        double e = 0.0;
        for (double v : ear == 0 ? left : right) e += v * v;
        return e;
    }
};
EarSignals RenderImpulse(Renderer& r, uint32_t channels, double x, double y, double z)
{
    const int32_t frames = 2048;
    EXPECT_EQ(r.Prepare({channels, 48000.0, frames}), PrepareResult::Ok);
    std::vector<std::vector<double>> in(channels, std::vector<double>(frames, 0.0));
    const double gains[4] = {1.0 / std::sqrt(2.0), x, y, z};
    for (uint32_t c = 0; c < channels; ++c) in[c][0] = gains[c];
    EarSignals ears{std::vector<double>(frames), std::vector<double>(frames)};
    double* ip[4] = {};
    for (uint32_t c = 0; c < channels; ++c) ip[c] = in[c].data();
    double* op[2] = {ears.left.data(), ears.right.data()};
    r.RenderPlanes(ip, op, frames);
    ears.left.erase(ears.left.begin(), ears.left.begin() + static_cast<long>(r.LagFrames()));
    ears.right.erase(ears.right.begin(), ears.right.begin() + static_cast<long>(r.LagFrames()));
    return ears;
}

}  // namespace

// The headphone decode is three-dimensional: on a head with elevation cues Z reaches the ears
// (an overhead source is not an omnidirectional one); a source on the left is louder at the
// left ear, one in front equal at both; a 3-channel stream decodes as a 4-channel one with Z
// silent.
TEST(Renderers, HeadphonesHearHeightAndSides)
{
    MeasuredResponses head;
    head.responses = analytic_head::AnalyticHeadSet(48000.0);
    head.sampleRate = 48000.0;
    auto r = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), &head);
    ASSERT_NE(r, nullptr);
    const EarSignals omni = RenderImpulse(*r, 4, 0, 0, 0), overhead = RenderImpulse(*r, 4, 0, 0, 1);
    const EarSignals left = RenderImpulse(*r, 4, 0, 1, 0), front = RenderImpulse(*r, 4, 1, 0, 0);
    EXPECT_EQ(r->LagFrames(), static_cast<size_t>(kBinauralLatencyFrames));
    double difference = 0.0;
    for (size_t i = 0; i < omni.left.size(); ++i) difference += std::pow(overhead.left[i] - omni.left[i], 2);
    EXPECT_GT(difference, 0.05 * omni.Energy(0));
    EXPECT_GT(left.Energy(0), 2.0 * left.Energy(1));
    EXPECT_NEAR(front.Energy(0), front.Energy(1), 1e-3 * front.Energy(0));

    const EarSignals flat = RenderImpulse(*r, 3, 0.3, -0.6, 0);
    const EarSignals flatIn4 = RenderImpulse(*r, 4, 0.3, -0.6, 0);
    for (size_t i = 0; i < flat.left.size(); ++i) {
        ASSERT_NEAR(flat.left[i], flatIn4.left[i], 1e-12);
        ASSERT_NEAR(flat.right[i], flatIn4.right[i], 1e-12);
    }
}
