// Turning the scene before it is decoded, for every output: a turned source decodes as one
// encoded where it turns to, and a change while streaming moves smoothly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "decoder/renderer.h"
#include "support.h"

using namespace decoder;
using namespace decoder_test;

namespace {

constexpr int32_t kBlock = 256;

// FuMa B-Format of a source of level 1 at a direction, a signal sig of n frames.
std::vector<std::vector<double>> Encode(const std::vector<double>& sig, double azimuthDeg, double elevationDeg)
{
    const double az = azimuthDeg * kPi / 180.0, el = elevationDeg * kPi / 180.0;
    const double gains[4] = {1.0 / std::sqrt(2.0), std::cos(el) * std::cos(az), std::cos(el) * std::sin(az),
                             std::sin(el)};
    std::vector<std::vector<double>> b(4, sig);
    for (int c = 0; c < 4; ++c)
        for (double& v : b[c]) v *= gains[c];
    return b;
}

// Renders `b` (4 planes) through r in blocks of kBlock, planes of doubles; `before(block)` runs
// ahead of each block. Returns the output planes.
template <class Before>
std::vector<std::vector<double>> RenderAll(Renderer& r, std::vector<std::vector<double>> b, Before before)
{
    const size_t frames = b[0].size();
    std::vector<std::vector<double>> out(r.OutputChannels(), std::vector<double>(frames));
    for (size_t done = 0, block = 0; done < frames; done += kBlock, ++block) {
        before(block);
        const auto n = static_cast<int32_t>(std::min<size_t>(kBlock, frames - done));
        double* ip[4];
        double* op[8];
        for (int c = 0; c < 4; ++c) ip[c] = b[c].data() + done;
        for (uint32_t c = 0; c < r.OutputChannels(); ++c) op[c] = out[c].data() + done;
        r.RenderPlanes(ip, op, n);
    }
    return out;
}
std::vector<std::vector<double>> RenderAll(Renderer& r, const std::vector<std::vector<double>>& b)
{
    return RenderAll(r, b, [](size_t) {});
}

struct Output {
    const char* name;
    OutputKind kind;
    LayoutId layout;
};
constexpr Output kOutputs[] = {{"square", OutputKind::Speakers, LayoutId::Square},
                               {"two-layer", OutputKind::Speakers, LayoutId::TwoLayer},
                               {"UHJ", OutputKind::Uhj, LayoutId::Square},
                               {"headphones", OutputKind::Headphones, LayoutId::Square}};

}  // namespace

// Yaw, pitch and roll each move a source where the convention says, for every output: yaw -30
// brings a source at azimuth 30 to the front, pitch 30 raises one in front to elevation 30, roll
// 30 lowers one on the right by 30 degrees, and all three at once agree with their order (roll,
// then pitch, then yaw). The turned source then decodes as one encoded where it turned to.
TEST(RendererRotation, TurnedSourcesDecodeAsSourcesEncodedWhereTheyTurnTo)
{
    std::mt19937 rng(7);
    const std::vector<double> sig = RandomSignal(rng, 3 * kBlock + 40, 0.5);
    struct Case {
        SceneRotation turn;
        double fromAz, fromEl, toAz, toEl;
    };
    // Roll 90, pitch 45, yaw 90: the front, on the roll axis, is raised to 45 and turned to the
    // left; the right is rolled to the floor, pitched forward to elevation -45 and turned left.
    const Case cases[] = {{{-30, 0, 0}, 30, 0, 0, 0},
                          {{0, 30, 0}, 0, 0, 0, 30},
                          {{0, 0, 30}, -90, 0, -90, -30},
                          {{90, 45, 90}, 0, 0, 90, 45},
                          {{90, 45, 90}, -90, 0, 90, -45}};
    for (const Output& o : kOutputs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(o.name) + ", yaw " + std::to_string(c.turn.yawDeg) + " pitch " +
                         std::to_string(c.turn.pitchDeg) + " roll " + std::to_string(c.turn.rollDeg));
            auto turned = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
            auto plain = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
            ASSERT_TRUE(turned->SetRotation(c.turn));
            ASSERT_EQ(turned->Prepare({4, 48000.0, kBlock}), PrepareResult::Ok);
            ASSERT_EQ(plain->Prepare({4, 48000.0, kBlock}), PrepareResult::Ok);
            const auto got = RenderAll(*turned, Encode(sig, c.fromAz, c.fromEl));
            const auto want = RenderAll(*plain, Encode(sig, c.toAz, c.toEl));
            for (size_t ch = 0; ch < got.size(); ++ch)
                for (size_t i = 0; i < sig.size(); ++i) ASSERT_NEAR(got[ch][i], want[ch][i], 1e-9) << ch << " " << i;
        }
    }

    // What that means at the outputs: turned to the front, the square's front speakers and the
    // two ears are equal.
    for (OutputKind kind : {OutputKind::Speakers, OutputKind::Headphones}) {
        auto r = MakeRenderer(kind, BuiltInRig(LayoutId::Square), nullptr);
        ASSERT_TRUE(r->SetRotation({-30, 0, 0}));
        ASSERT_EQ(r->Prepare({4, 48000.0, kBlock}), PrepareResult::Ok);
        const auto out = RenderAll(*r, Encode(sig, 30, 0));
        double energy[2] = {};
        for (int ch = 0; ch < 2; ++ch)
            for (double v : out[ch]) energy[ch] += v * v;
        EXPECT_GT(energy[0], 0.0);
        EXPECT_NEAR(energy[0], energy[1], 1e-3 * energy[0]) << "kind " << static_cast<int>(kind);
    }
}

// The interleaved path turns as the planar one does, no rotation (or one set back to none
// before streaming) is the unturned path bit for bit, and angles that are not finite are
// refused without changing the rotation.
TEST(RendererRotation, InterleavedTurnsAsPlanarAndNoneIsUntouched)
{
    std::mt19937 rng(8);
    const size_t frames = 2500;  // pieces of 1024 when turned
    std::vector<uint8_t> src(frames * 4 * 4);
    const std::vector<double> v = RandomSignal(rng, frames * 4, 0.5);
    for (size_t i = 0; i < v.size(); ++i) Float32Format::FromDouble(v[i], &src[i * 4]);
    for (const Output& o : kOutputs) {
        SCOPED_TRACE(o.name);
        const StreamDescription stream{4, 48000.0, 4096};
        auto interleaved = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        auto planar = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        auto unturned = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        auto setBack = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        for (Renderer* r : {interleaved.get(), planar.get()}) ASSERT_TRUE(r->SetRotation({50, -20, 15}));
        ASSERT_TRUE(setBack->SetRotation({50, -20, 15}));
        ASSERT_TRUE(setBack->SetRotation({}));
        EXPECT_FALSE(interleaved->SetRotation({std::nan(""), 0, 0}));
        EXPECT_FALSE(interleaved->SetRotation({0, INFINITY, 0}));
        EXPECT_EQ(interleaved->Rotation().yawDeg, 50.0);
        for (Renderer* r : {interleaved.get(), planar.get(), unturned.get(), setBack.get()})
            ASSERT_EQ(r->Prepare(stream), PrepareResult::Ok);

        const uint32_t outs = interleaved->OutputChannels();
        std::vector<uint8_t> got(frames * outs * 4), plainOut(frames * outs * 4), setBackOut(frames * outs * 4);
        interleaved->Render(SampleFormat::Float32, src.data(), got.data(), frames);
        unturned->Render(SampleFormat::Float32, src.data(), plainOut.data(), frames);
        setBack->Render(SampleFormat::Float32, src.data(), setBackOut.data(), frames);
        EXPECT_EQ(setBackOut, plainOut);

        std::vector<std::vector<double>> in(4, std::vector<double>(frames));
        double* ip[4] = {in[0].data(), in[1].data(), in[2].data(), in[3].data()};
        DeinterleaveBlock(src.data(), static_cast<int32_t>(frames), SampleFormat::Float32, 4, ip);
        std::vector<std::vector<double>> out(outs, std::vector<double>(frames));
        double* op[8];
        for (uint32_t c = 0; c < outs; ++c) op[c] = out[c].data();
        planar->RenderPlanes(ip, op, static_cast<int32_t>(frames));
        for (uint32_t c = 0; c < outs; ++c)
            for (size_t i = 0; i < frames; ++i)
                ASSERT_NEAR(Float32Format::ToDouble(&got[(i * outs + c) * 4]), out[c][i], 1e-6) << c << " " << i;
    }
}

// A rotation changed while streaming (a head tracker) moves across one block: no output step is
// larger than the steps of the signal itself decoded before and after, for the planar and the
// interleaved path. A 1 kHz tone at azimuth 30, turned by 90 degrees of yaw before block 4.
TEST(RendererRotation, AChangeWhileStreamingDoesNotClick)
{
    std::vector<double> tone(10 * kBlock);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.8 * std::sin(2.0 * kPi * 1000.0 * i / 48000.0);
    const auto b = Encode(tone, 30, 0);
    auto largestStep = [](const std::vector<std::vector<double>>& out, size_t from) {
        double step = 0.0;
        for (const auto& ch : out)
            for (size_t i = from + 1; i < ch.size(); ++i) step = std::max(step, std::abs(ch[i] - ch[i - 1]));
        return step;
    };
    for (const Output& o : kOutputs) {
        if (o.kind == OutputKind::Headphones) continue;  // the same turn; its lag only delays it
        SCOPED_TRACE(o.name);
        const StreamDescription stream{4, 48000.0, kBlock};
        auto before = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        auto after = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        ASSERT_TRUE(after->SetRotation({90, 0, 0}));
        ASSERT_EQ(before->Prepare(stream), PrepareResult::Ok);
        ASSERT_EQ(after->Prepare(stream), PrepareResult::Ok);
        // Past the shelves' start.
        const double own = std::max(largestStep(RenderAll(*before, b), kBlock), largestStep(RenderAll(*after, b), kBlock));

        auto turning = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        ASSERT_EQ(turning->Prepare(stream), PrepareResult::Ok);
        const auto planar = RenderAll(*turning, b, [&](size_t block) {
            if (block == 4) turning->SetRotation({90, 0, 0});
        });
        EXPECT_LE(largestStep(planar, kBlock), 1.1 * own);

        auto interleaved = MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr);
        ASSERT_EQ(interleaved->Prepare(stream), PrepareResult::Ok);
        const uint32_t outs = interleaved->OutputChannels();
        std::vector<double> frame(4);
        std::vector<std::vector<double>> got(outs, std::vector<double>(tone.size()));
        for (size_t done = 0; done < tone.size(); done += kBlock) {
            if (done == 4 * kBlock) interleaved->SetRotation({90, 0, 0});
            std::vector<uint8_t> src(kBlock * 4 * 4), dst(kBlock * outs * 4);
            for (int32_t i = 0; i < kBlock; ++i)
                for (int c = 0; c < 4; ++c) Float32Format::FromDouble(b[c][done + i], &src[(i * 4 + c) * 4]);
            interleaved->Render(SampleFormat::Float32, src.data(), dst.data(), kBlock);
            for (int32_t i = 0; i < kBlock; ++i)
                for (uint32_t c = 0; c < outs; ++c) got[c][done + i] = Float32Format::ToDouble(&dst[(i * outs + c) * 4]);
        }
        EXPECT_LE(largestStep(got, kBlock), 1.1 * own);
        // And the turn is complete after that block: the last blocks are those of the turned
        // decode, to within the shelves' memory of the unturned past.
        const auto turned = RenderAll(*after, b);
        EXPECT_NEAR(planar[0].back(), turned[0].back(), 1e-3);
    }
}

// A 3-channel stream has no Z: it is turned as if Z were 0, and the height a turn gives is
// dropped. On a horizontal layout, which does not use Z, it then decodes as the 4-channel
// stream with Z silent, for any turn.
TEST(RendererRotation, ThreeChannelsTurnAsFourWithoutHeight)
{
    std::mt19937 rng(9);
    std::vector<std::vector<double>> b(4, std::vector<double>(700));
    for (int c = 0; c < 3; ++c) b[c] = RandomSignal(rng, 700, 0.5);
    for (const SceneRotation& turn : {SceneRotation{25, 0, 0}, SceneRotation{-40, 30, 20}}) {
        auto three = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
        auto four = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
        ASSERT_EQ(three->Prepare({3, 48000.0, kBlock}), PrepareResult::Ok);
        ASSERT_EQ(four->Prepare({4, 48000.0, kBlock}), PrepareResult::Ok);
        ASSERT_TRUE(three->SetRotation(turn));
        ASSERT_TRUE(four->SetRotation(turn));
        const auto got = RenderAll(*three, b), want = RenderAll(*four, b);
        for (size_t ch = 0; ch < got.size(); ++ch)
            for (size_t i = 0; i < got[ch].size(); ++i) ASSERT_NEAR(got[ch][i], want[ch][i], 1e-12) << ch << " " << i;
    }
}

// Reset() forgets every filter's memory and the tail owed and puts the rotation set last in force
// at once: after audio and a change of rotation, a reset renderer gives the bits of one prepared
// afresh with that rotation, for every output, a designed rig with LFE and delays among them.
TEST(RendererRotation, ResetStartsAsANewPreparationWithTheRotationInForce)
{
    std::mt19937 rng(11);
    const size_t frames = 3 * kBlock;
    std::vector<std::vector<double>> b(4);
    for (auto& plane : b) plane = RandomSignal(rng, frames, 0.5);
    Rig designed;
    ASSERT_EQ(MakeRig({{0, 0, 3}, {90, 0, 2}, {180, 0, 1}, {-90, 0, 3}}, true, designed), DesignResult::Ok);
    std::vector<std::pair<std::unique_ptr<Renderer>, std::unique_ptr<Renderer>>> pairs;
    for (const Output& o : kOutputs)
        pairs.emplace_back(MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr), MakeRenderer(o.kind, BuiltInRig(o.layout), nullptr));
    pairs.emplace_back(MakeRenderer(OutputKind::Speakers, designed, nullptr), MakeRenderer(OutputKind::Speakers, designed, nullptr));
    const SceneRotation turn{-70, 25, 10};
    for (auto& [used, fresh] : pairs) {
        const StreamDescription stream{4, 48000.0, kBlock};
        ASSERT_EQ(used->Prepare(stream), PrepareResult::Ok);
        RenderAll(*used, b);
        ASSERT_TRUE(used->SetRotation(turn));
        used->Reset();
        EXPECT_EQ(used->TailFrames(), 0u);
        ASSERT_TRUE(fresh->SetRotation(turn));
        ASSERT_EQ(fresh->Prepare(stream), PrepareResult::Ok);
        EXPECT_EQ(RenderAll(*used, b), RenderAll(*fresh, b)) << used->OutputChannels() << " outputs";
    }
}

// A steady turn folded into the decode (the designed decode's gains; the seven layouts' table
// for a turn that leaves Z alone) gives what turning the input gives, through the glides of
// changes while streaming, whose filter memory the fold carries over and back. Pieces of 333
// frames, not a multiple of any vector width; planes of doubles hold the seven layouts' decode
// to round-off, while the designed decode and interleaved floats round each sample to a float
// either way.
TEST(RendererRotation, ASteadyTurnFoldedIntoTheDecodeEqualsTurningTheInput)
{
    struct Case {
        const char* name;
        const Rig* rig;
        StreamDescription stream;
        SceneRotation first, second;
        double planarTolerance;
    };
    const Rig* designed = RigNamed("7.1.4");
    ASSERT_NE(designed, nullptr);
    const Case cases[] = {
        {"octagon, yaw", &BuiltInRig(LayoutId::Octagon), {4, 48000.0, 333}, {40, 0, 0}, {-75, 0, 0}, 1e-12},
        {"octagon, 3 channels", &BuiltInRig(LayoutId::Octagon), {3, 48000.0, 333}, {30, 10, 5}, {-20, 40, 0}, 1e-12},
        // A turn that mixes Z folds into the gains with Z shelved too (and, on the two-layer
        // table, the turned Z added unshelved).
        {"two-layer, pitch and roll", &BuiltInRig(LayoutId::TwoLayer), {4, 48000.0, 333}, {0, 30, 0}, {10, 0, 20}, 1e-12},
        {"square, pitch", &BuiltInRig(LayoutId::Square), {4, 48000.0, 333}, {0, -25, 0}, {30, 10, 5}, 1e-12},
        {"octagon, pitch and roll", &BuiltInRig(LayoutId::Octagon), {4, 44100.0, 333}, {10, 30, -40}, {0, 0, 0}, 1e-12},
        // Every other layout: the irregular quad has no mirrored pairs and no shelf, the
        // rotated rings mirror in pairs between speakers, not on one.
        {"irregular quad, roll", &BuiltInRig(LayoutId::IrregularQuad), {4, 48000.0, 333}, {0, 0, 35}, {20, -10, 0}, 1e-12},
        {"hexagon rotated, pitch", &BuiltInRig(LayoutId::HexagonRotated), {4, 48000.0, 333}, {5, 20, 0}, {0, -30, 15}, 1e-12},
        {"octagon rotated, pitch", &BuiltInRig(LayoutId::OctagonRotated), {4, 96000.0, 333}, {-5, 20, 0}, {90, 45, 15}, 1e-12},
        {"hexagon, third-order FuMa", &BuiltInRig(LayoutId::Hexagon), {16, 48000.0, 333}, {30, 10, 5}, {-60, 0, 0}, 1e-12},
        {"7.1.4, FuMa", designed, {4, 44100.0, 333}, {30, 10, 5}, {-60, -15, 30}, 2e-6},
        {"7.1.4, second-order ambiX", designed, {9, 48000.0, 333, InputConvention::Ambix}, {30, 10, 5}, {-60, -15, 30}, 2e-6},
    };
    constexpr size_t kPieces = 9, kPiece = 333;
    std::mt19937 rng(24);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const uint32_t inChannels = k.stream.inChannels;
        const std::vector<double> input = RandomSignal(rng, kPieces * kPiece * inChannels, 0.5);
        // The rotation before piece 0, changed before pieces 3 and 6.
        auto turnAt = [&](Renderer& r, size_t piece) {
            if (piece == 3) {
                ASSERT_TRUE(r.SetRotation(k.second));
            }
            if (piece == 6) {
                ASSERT_TRUE(r.SetRotation(k.first));
            }
        };
        auto make = [&](bool fold) {
            std::unique_ptr<Renderer> r = MakeSpeakerRenderer(*k.rig, SpeakerOptions{});
            EXPECT_TRUE(r && r->SetRotation(k.first));
            EXPECT_EQ(r->Prepare(k.stream), PrepareResult::Ok);
            r->AllowFold(fold);
            return r;
        };
        auto folded = make(true), turned = make(false), foldedFloat = make(true), turnedFloat = make(false);
        const uint32_t outs = folded->OutputChannels();
        std::vector<std::vector<double>> planes[2];
        std::vector<double> floats[2];
        for (size_t piece = 0; piece < kPieces; ++piece) {
            for (Renderer* r : {folded.get(), turned.get(), foldedFloat.get(), turnedFloat.get()}) turnAt(*r, piece);
            const std::vector<double> chunk(input.begin() + piece * kPiece * inChannels,
                                            input.begin() + (piece + 1) * kPiece * inChannels);
            for (int which = 0; which < 2; ++which) {
                Renderer& r = which == 0 ? *folded : *turned;
                std::vector<std::vector<double>> in(inChannels, std::vector<double>(kPiece)), out(outs, std::vector<double>(kPiece));
                std::vector<double*> ip(inChannels), op(outs);
                for (uint32_t c = 0; c < inChannels; ++c) {
                    for (size_t i = 0; i < kPiece; ++i) in[c][i] = chunk[i * inChannels + c];
                    ip[c] = in[c].data();
                }
                for (uint32_t c = 0; c < outs; ++c) op[c] = out[c].data();
                r.RenderPlanes(ip.data(), op.data(), static_cast<int32_t>(kPiece));
                planes[which].resize(outs);
                for (uint32_t c = 0; c < outs; ++c) planes[which][c].insert(planes[which][c].end(), out[c].begin(), out[c].end());
                const std::vector<double> f = RenderFloat(which == 0 ? *foldedFloat : *turnedFloat, chunk);
                floats[which].insert(floats[which].end(), f.begin(), f.end());
            }
        }
        double peak = 0.0;
        for (double v : floats[1]) peak = std::max(peak, std::abs(v));
        ASSERT_GT(peak, 0.05);
        for (uint32_t c = 0; c < outs; ++c)
            for (size_t i = 0; i < planes[0][c].size(); ++i)
                ASSERT_NEAR(planes[0][c][i], planes[1][c][i], k.planarTolerance * peak) << "speaker " << c << " frame " << i;
        for (size_t i = 0; i < floats[0].size(); ++i)
            ASSERT_NEAR(floats[0][i], floats[1][i], 2e-6 * peak) << "sample " << i;
    }
}
