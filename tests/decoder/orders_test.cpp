// Higher-order input: the input stage's conventions, and the renderers decoding at the order the
// input and the output carry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "decoder/input_stage.h"
#include "decoder/renderer.h"
#include "decoder/spherical_harmonics.h"
#include "tests/decoder/support.h"

namespace {

using namespace decoder;
using decoder_test::kPi;

constexpr double kDegree = kPi / 180.0;
constexpr double kRate = 48000.0;

// The samples `input` carries for a plane wave of level 1 from a direction (degrees).
std::vector<double> Encode(const InputLayout& input, double azimuthDeg, double elevationDeg)
{
    std::vector<double> sn3d(AmbisonicChannels(input.order)), out(input.channels);
    EncodeSn3d(input.order, azimuthDeg * kDegree, elevationDeg * kDegree, sn3d.data());
    for (uint32_t c = 0; c < input.channels; ++c) out[c] = sn3d[input.channel[c].acn] / input.channel[c].weight;
    return out;
}

InputLayout Layout(InputConvention convention, uint32_t channels)
{
    InputLayout layout;
    EXPECT_TRUE(DescribeInput(convention, channels, layout)) << channels;
    return layout;
}

using decoder_test::RenderFloat;

std::unique_ptr<Renderer> Prepared(OutputKind kind, const Rig& rig, InputConvention convention, uint32_t channels,
                                   const MeasuredResponses* measured = nullptr, int32_t block = 4096)
{
    std::unique_ptr<Renderer> r = MakeRenderer(kind, rig, measured);
    EXPECT_TRUE(r);
    EXPECT_EQ(r->Prepare({channels, kRate, block, convention}), PrepareResult::Ok);
    return r;
}

Rig CustomRig(const std::vector<Speaker>& speakers)
{
    Rig rig;
    EXPECT_EQ(MakeRig(speakers, false, rig), DesignResult::Ok);
    return rig;
}

// Points spread evenly over the sphere on a golden-angle spiral.
std::vector<Speaker> SpiralSphere(int count)
{
    std::vector<Speaker> s;
    for (int i = 0; i < count; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / count;
        s.push_back({std::fmod(i * 137.50776405003785, 360.0), std::asin(z) / kDegree, 0.0});
    }
    return s;
}

// Each speaker's gain for a source of level 1 in the high band: a tone at half the sample rate
// (where the crossover passes the high band alone), read from the last frame once settled.
std::vector<double> HighBandGains(Renderer& r, const std::vector<double>& source)
{
    constexpr size_t kFrames = 2048;
    const size_t channels = source.size();
    std::vector<double> in(kFrames * channels);
    for (size_t f = 0; f < kFrames; ++f)
        for (size_t c = 0; c < channels; ++c) in[f * channels + c] = (f % 2 ? -0.25 : 0.25) * source[c];
    const std::vector<double> out = RenderFloat(r, in);
    std::vector<double> gains(r.OutputChannels());
    for (size_t s = 0; s < gains.size(); ++s) gains[s] = 4.0 * std::fabs(out[(kFrames - 1) * gains.size() + s]);
    return gains;
}

TEST(InputStage, DescribesEveryConventionsChannelSetsAndRefusesOthers)
{
    // FuMa scales each harmonic to a largest value of 1 over the sphere, W to 1/sqrt(2).
    const InputLayout full = Layout(InputConvention::Fuma, 16);
    std::vector<double> peak(16, 0.0);
    for (int el = -90; el <= 90; el += 3)
        for (int az = -180; az < 180; az += 3) {
            const std::vector<double> v = Encode(full, az, el);
            for (size_t c = 0; c < 16; ++c) peak[c] = std::max(peak[c], std::fabs(v[c]));
        }
    EXPECT_NEAR(peak[0], std::sqrt(0.5), 1e-12);
    for (size_t c = 1; c < 16; ++c) EXPECT_NEAR(peak[c], 1.0, 2e-3) << "FuMa channel " << c;

    // Mixed-order sets carry every channel of the horizon up to their order.
    const InputLayout mixed = Layout(InputConvention::Fuma, 7);
    EXPECT_EQ(mixed.order, 3);
    EXPECT_TRUE(mixed.mixed && !mixed.height);
    for (uint32_t c = 0; c < 7; ++c) EXPECT_TRUE(IsSectoralChannel(mixed.channel[c].acn)) << c;
    InputLayout untouched;
    for (uint32_t channels : {0u, 1u, 2u, 10u, 12u, 17u, 25u}) EXPECT_FALSE(DescribeInput(InputConvention::Fuma, channels, untouched));
    for (uint32_t channels : {0u, 1u, 3u, 5u, 15u, 65u, 81u}) {
        EXPECT_FALSE(DescribeInput(InputConvention::Ambix, channels, untouched)) << channels;
        EXPECT_FALSE(DescribeInput(InputConvention::N3d, channels, untouched)) << channels;
    }
    EXPECT_EQ(untouched.channels, 0u);
    // A renderer refuses what the input stage does not describe, and keeps its preparation.
    std::unique_ptr<Renderer> r = MakeRenderer(OutputKind::Uhj, BuiltInRig(LayoutId::Square), nullptr);
    EXPECT_EQ(r->Prepare({5, kRate, 64, InputConvention::Ambix}), PrepareResult::BadChannels);
    EXPECT_FALSE(r->IsReady());
}

// One scene of three sources, in each convention at third order, decodes to the same output on
// every kind of output; the first-order outputs read exactly the first-order part.
TEST(InputStage, EveryConventionDecodesTheSameScene)
{
    const Rig ring = CustomRig({{0, 0, 0}, {45, 0, 0}, {90, 0, 0}, {135, 0, 0}, {180, 0, 0}, {225, 0, 0}, {270, 0, 0}, {315, 0, 0}});
    const std::vector<OutputKind> kinds = {OutputKind::Speakers, OutputKind::Uhj, OutputKind::Headphones};
    constexpr size_t kFrames = 700;
    std::mt19937 rng(25);
    std::vector<std::vector<double>> signals;
    for (int s = 0; s < 3; ++s) signals.push_back(decoder_test::RandomSignal(rng, kFrames, 0.3));
    auto scene = [&](const InputLayout& input) {
        std::vector<double> in(kFrames * input.channels, 0.0);
        const double directions[3][2] = {{20, 0}, {-120, 35}, {95, -20}};
        for (int s = 0; s < 3; ++s) {
            const std::vector<double> g = Encode(input, directions[s][0], directions[s][1]);
            for (size_t f = 0; f < kFrames; ++f)
                for (uint32_t c = 0; c < input.channels; ++c) in[f * input.channels + c] += signals[s][f] * g[c];
        }
        return in;
    };
    for (OutputKind kind : kinds) {
        const Rig& rig = kind == OutputKind::Speakers ? ring : BuiltInRig(LayoutId::Square);
        std::vector<double> reference;
        for (InputConvention convention : {InputConvention::Ambix, InputConvention::Fuma, InputConvention::N3d}) {
            std::unique_ptr<Renderer> r = Prepared(kind, rig, convention, 16);
            const std::vector<double> out = RenderFloat(*r, scene(Layout(convention, 16)));
            if (reference.empty()) {
                reference = out;
                continue;
            }
            for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], reference[i], 2e-6) << static_cast<int>(kind);
        }
    }
    // The seven layouts and UHJ decode a third-order FuMa stream as its first four channels.
    const InputLayout fuma = Layout(InputConvention::Fuma, 16);
    const std::vector<double> in16 = scene(fuma);
    std::vector<double> in4;
    for (size_t f = 0; f < kFrames; ++f) in4.insert(in4.end(), in16.begin() + f * 16, in16.begin() + f * 16 + 4);
    for (OutputKind kind : {OutputKind::Speakers, OutputKind::Uhj}) {
        const Rig& rig = BuiltInRig(LayoutId::TwoLayer);
        std::unique_ptr<Renderer> a = Prepared(kind, rig, InputConvention::Fuma, 16);
        std::unique_ptr<Renderer> b = Prepared(kind, rig, InputConvention::Fuma, 4);
        const std::vector<double> x = RenderFloat(*a, in16), y = RenderFloat(*b, in4);
        for (size_t i = 0; i < x.size(); ++i) ASSERT_TRUE(decoder_test::SameDouble(x[i], y[i])) << i;
    }
}

// An ambiX stream reaches the seven layouts converted in double precision: 24-bit output within
// one step and float output within one unit in the last place of the decode in doubles.
TEST(InputStage, AmbixDecodesWithinOneStepOfADoubleReference)
{
    constexpr size_t kFrames = 4000;
    std::mt19937 rng(7);
    const std::vector<double> signal = decoder_test::RandomSignal(rng, kFrames, 0.7);
    const InputLayout ambix = Layout(InputConvention::Ambix, 4);
    std::vector<double> in(kFrames * 4);
    for (size_t f = 0; f < kFrames; ++f) {
        const std::vector<double> g = Encode(ambix, 37.0 + 0.01 * f, 10.0);
        for (int c = 0; c < 4; ++c) in[f * 4 + c] = signal[f] * g[c] * (c == 0 ? 1.0 : 0.999);
    }
    for (SampleFormat format : {SampleFormat::Pcm24, SampleFormat::Float32}) {
        WithFormat(format, [&](auto traits) {
            using F = decltype(traits);
            const double scale = format == SampleFormat::Pcm24 ? 2147483648.0 : 1.0;
            std::vector<uint8_t> bytes(in.size() * F::kBytes);
            for (size_t i = 0; i < in.size(); ++i) F::FromDouble(in[i] * scale, &bytes[i * F::kBytes]);
            // The reference: the samples as read, taken to FuMa in doubles, decoded in doubles.
            decoder_test::Planes planes(4, 8, kFrames);
            constexpr size_t kFumaOfAmbix[4] = {0, 2, 3, 1};  // FuMa plane of ambiX W Y Z X
            for (size_t f = 0; f < kFrames; ++f)
                for (size_t c = 0; c < 4; ++c)
                    planes.in[kFumaOfAmbix[c]][f] = F::ToDouble(&bytes[(f * 4 + c) * F::kBytes]) / (c == 0 ? std::sqrt(2.0) : 1.0);
            std::unique_ptr<Renderer> reference = Prepared(OutputKind::Speakers, BuiltInRig(LayoutId::TwoLayer),
                                                           InputConvention::Fuma, 4, nullptr, kFrames);
            reference->RenderPlanes(planes.I(), planes.O(), kFrames);
            std::unique_ptr<Renderer> r = Prepared(OutputKind::Speakers, BuiltInRig(LayoutId::TwoLayer),
                                                   InputConvention::Ambix, 4, nullptr, 256);
            std::vector<uint8_t> out(kFrames * 8 * F::kBytes);
            r->Render(format, bytes.data(), out.data(), kFrames);
            for (size_t f = 0; f < kFrames; ++f)
                for (size_t s = 0; s < 8; ++s) {
                    const double got = F::ToDouble(&out[(f * 8 + s) * F::kBytes]), want = planes.out[s][f];
                    const double step = format == SampleFormat::Pcm24
                                            ? 256.0
                                            : std::nextafter(std::fabs(static_cast<float>(got)), INFINITY) - std::fabs(static_cast<float>(got));
                    ASSERT_LE(std::fabs(got - want), step) << "frame " << f << " speaker " << s;
                }
        });
    }
}

// Through the speaker renderer of a rig that carries third order: the high band's energy vector
// as long as the max-rE weights give for the order decoded, pointing at the source, at an even
// energy.
// The image speaker gains `g` make of a source from a direction (degrees): energy in dB, the
// energy vector's length and its angle from the source in degrees.
struct Image {
    double energyDb, length, errorDeg;
};
Image ImageOf(const std::vector<double>& g, const std::vector<Speaker>& speakers, double azimuthDeg, double elevationDeg)
{
    double energy = 0, v[3] = {0, 0, 0};
    for (size_t s = 0; s < g.size(); ++s) {
        const double az = speakers[s].azimuth * kDegree, el = speakers[s].elevation * kDegree;
        const double u[3] = {std::cos(az) * std::cos(el), std::sin(az) * std::cos(el), std::sin(el)};
        energy += g[s] * g[s];
        for (int k = 0; k < 3; ++k) v[k] += g[s] * g[s] * u[k];
    }
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) / energy;
    const double az = azimuthDeg * kDegree, el = elevationDeg * kDegree;
    const double src[3] = {std::cos(az) * std::cos(el), std::sin(az) * std::cos(el), std::sin(el)};
    const double cosError = (v[0] * src[0] + v[1] * src[1] + v[2] * src[2]) / (length * energy);
    return {10 * std::log10(energy), length, std::acos(std::min(1.0, cosError)) / kDegree};
}

TEST(HigherOrders, SpeakerDecodesImageAtTheirOrdersMaxReLength)
{
    const std::vector<Speaker> speakers = SpiralSphere(50);
    const Rig rig = CustomRig(speakers);
    ASSERT_EQ(RigOrder(rig), 6);
    const double maxRe[] = {0.5773502691896258, 0.7745966692414834, 0.8611363115940526};
    for (int order = 1; order <= 3; ++order) {
        const auto channels = static_cast<uint32_t>(AmbisonicChannels(order));
        std::unique_ptr<Renderer> r = Prepared(OutputKind::Speakers, rig, InputConvention::Ambix, channels);
        EXPECT_EQ(r->DecodedOrder({channels, kRate, 64, InputConvention::Ambix}), order);
        const InputLayout input = Layout(InputConvention::Ambix, channels);
        const double sources[][2] = {{0, 0}, {75, 0}, {-140, 40}, {30, -65}, {0, 90}};
        for (const double* d : sources) {
            const Image image = ImageOf(HighBandGains(*r, Encode(input, d[0], d[1])), speakers, d[0], d[1]);
            SCOPED_TRACE(testing::Message() << "order " << order << " azimuth " << d[0] << " elevation " << d[1]);
            EXPECT_NEAR(image.length, maxRe[order - 1], 0.02);
            EXPECT_LT(image.errorDeg, 2.0);
            EXPECT_LT(std::fabs(image.energyDb), 1.0);
        }
    }

}

TEST(HigherOrders, AMixedOrderSetOnA3dRigIsEvenAndAimedOnTheHorizon)
{
    // 3H1P FuMa (W X Y Z U V P Q) on 7.1.4, which carries second order: 2H1P is decoded. The
    // LFE channel is silent in the high band.
    const Rig& rig = *RigNamed("7.1.4");
    const std::vector<Speaker>& speakers = rig.speakers;
    std::unique_ptr<Renderer> r = Prepared(OutputKind::Speakers, rig, InputConvention::Fuma, 8);
    const InputLayout input = Layout(InputConvention::Fuma, 8);
    double lowest = 1e9, highest = -1e9, mean = 0;
    for (int az = -180; az < 180; az += 15) {
        const Image image = ImageOf(HighBandGains(*r, Encode(input, az, 0)), speakers, az, 0);
        EXPECT_LT(image.errorDeg, 6.0) << az;
        lowest = std::min(lowest, image.energyDb);
        highest = std::max(highest, image.energyDb);
        mean += image.energyDb / 24;
    }
    EXPECT_LT(highest - lowest, 1.0);
    EXPECT_NEAR(mean, 0.0, 0.2);
}

TEST(HigherOrders, EachOutputDecodesAtTheOrderItCarries)
{
    auto order = [](OutputKind kind, const Rig& rig, uint32_t channels, InputConvention convention,
                    const MeasuredResponses* measured = nullptr) {
        return MakeRenderer(kind, rig, measured)->DecodedOrder({channels, kRate, 64, convention});
    };
    const Rig& square = BuiltInRig(LayoutId::Square);
    EXPECT_EQ(order(OutputKind::Speakers, square, 64, InputConvention::Ambix), 1);
    EXPECT_EQ(order(OutputKind::Uhj, square, 16, InputConvention::Fuma), 1);
    EXPECT_EQ(order(OutputKind::Headphones, square, 64, InputConvention::N3d), 7);
    EXPECT_EQ(order(OutputKind::Headphones, square, 7, InputConvention::Fuma), 3);
    EXPECT_EQ(order(OutputKind::Headphones, square, 10, InputConvention::Fuma), 0);
    // Measured responses cap the order: a design of order N fits (N + 1)^2 directions.
    MeasuredResponses few{std::vector<DirectionalResponse>(10, {0.0, 0.0, {1.0}, {1.0}}), kRate};
    EXPECT_EQ(order(OutputKind::Headphones, square, 25, InputConvention::Ambix, &few), 2);
    // Horizontal rigs carry the largest N with 2N + 1 <= S, 3D rigs (N + 1)^2 <= S.
    const int expected[] = {1, 2, 2, 3, 2, 2};  // stereo, 5.0, 5.1, 7.1, 5.1.4, 7.1.4
    for (size_t i = 0; i < PresetRigs().size(); ++i) {
        EXPECT_EQ(RigOrder(PresetRigs()[i]), expected[i]) << PresetRigs()[i].name;
        EXPECT_EQ(order(OutputKind::Speakers, PresetRigs()[i], 4, InputConvention::Fuma), 1);
        EXPECT_EQ(order(OutputKind::Speakers, PresetRigs()[i], 16, InputConvention::Fuma), expected[i]);
    }
}

// A turned third-order scene puts each source where the turn takes it, in ambiX and in FuMa (whose
// weights the turn goes through), and a rotation set before preparing is in force at once.
TEST(HigherOrders, TurningAThirdOrderSceneMovesItsSources)
{
    const Rig rig = CustomRig({{0, 0, 0}, {45, 0, 0}, {90, 0, 0}, {135, 0, 0}, {180, 0, 0}, {225, 0, 0}, {270, 0, 0}, {315, 0, 0}});
    SceneRotation turn;
    turn.yawDeg = 50.0;
    turn.pitchDeg = 20.0;
    for (InputConvention convention : {InputConvention::Ambix, InputConvention::Fuma}) {
        const InputLayout input = Layout(convention, 16);
        std::unique_ptr<Renderer> turned = MakeRenderer(OutputKind::Speakers, rig, nullptr);
        ASSERT_TRUE(turned->SetRotation(turn));
        ASSERT_EQ(turned->Prepare({16, kRate, 512, convention}), PrepareResult::Ok);
        std::unique_ptr<Renderer> moved = Prepared(OutputKind::Speakers, rig, convention, 16, nullptr, 512);
        // Straight ahead, yawed 50 and pitched 20 (pitch first): azimuth 50, elevation 20.
        const std::vector<double> a = HighBandGains(*turned, Encode(input, 0, 0));
        const std::vector<double> b = HighBandGains(*moved, Encode(input, 50, 20));
        for (size_t s = 0; s < a.size(); ++s) EXPECT_NEAR(a[s], b[s], 1e-5) << s;
    }
}

}  // namespace
