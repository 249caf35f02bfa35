// The output seam: each renderer against the engine piece it runs, its tail, the rates it
// takes, and preparation that fails without changing what was there.
#include <gtest/gtest.h>

#include <vector>

#include "decoder/renderer.h"
#include "decoder/uhj.h"
#include "support.h"

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
    const size_t frames = 250;  // three blocks of at most 100
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
        BinauralDecoder headphones;
        ASSERT_EQ(headphones.Prepare(kStream, {}), PrepareResult::Ok);
        for (size_t done = 0; done < frames; done += 100) {
            const auto n = static_cast<int32_t>(std::min<size_t>(100, frames - done));
            DeinterleaveBlock(src.data() + done * 16, n, SampleFormat::Float32, 4, ip);
            std::vector<std::vector<double>> engineIn = in;
            double* eip[4];
            for (int c = 0; c < 4; ++c) eip[c] = engineIn[c].data();
            planar->RenderPlanes(ip, op, n);
            if (kind == OutputKind::Speakers) speakers.DecodeBlock(eip, ep, n);
            else if (kind == OutputKind::Uhj) uhj.Process(eip, ep, n);
            else headphones.Process(eip, ep, n);
            for (uint32_t c = 0; c < outChannels; ++c) {
                for (int32_t f = 0; f < n; ++f) {
                    const size_t at = ((done + static_cast<size_t>(f)) * outChannels + c) * 4;
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
    measured.responses.resize(1);
    measured.responses[0].left.assign(16, 0.1);
    measured.responses[0].right.assign(16, 0.1);
    auto speakers = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
    auto headModel = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), nullptr);
    auto responses = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), &measured);
    EXPECT_TRUE(speakers->AcceptsRate(800.0));
    EXPECT_FALSE(speakers->AcceptsRate(0.0));
    EXPECT_FALSE(headModel->AcceptsRate(800.0));
    EXPECT_TRUE(headModel->AcceptsRate(96000.0));
    EXPECT_TRUE(responses->AcceptsRate(44100.0));
    EXPECT_FALSE(responses->AcceptsRate(48000.0));
    measured.sampleRate = 0.0;
    EXPECT_EQ(MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Square), &measured), nullptr);

    for (OutputKind kind : {OutputKind::Speakers, OutputKind::Uhj, OutputKind::Headphones}) {
        auto r = MakeRenderer(kind, BuiltInRig(LayoutId::Square), nullptr);
        EXPECT_FALSE(r->IsReady());
        ASSERT_EQ(r->Prepare({3, 48000.0, 64}), PrepareResult::Ok);
        EXPECT_EQ(r->Prepare({5, 48000.0, 64}), PrepareResult::BadChannels);
        EXPECT_EQ(r->Prepare({3, 48000.0, 0}), PrepareResult::BadBlockFrames);
        EXPECT_TRUE(r->IsReady());
        EXPECT_EQ(r->Stream().inChannels, 3u);
        EXPECT_EQ(r->Stream().maxBlockFrames, 64);
    }
}
