// Decoders designed for a rig of speaker positions: the harmonics they rest on, how well the
// designs image a source swept around the listener, and the rigs they refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "decoder/rig_design.h"
#include "decoder/spherical_harmonics.h"

namespace {

using namespace decoder;

constexpr double kPi = 3.141592653589793;
constexpr double kDegree = kPi / 180.0;

using Rig = std::vector<SpeakerDirection>;

// The worst figures of a sweep of sources: every 5 degrees on the horizon and, for a rig with
// height, at elevations 30, 60 and 90 too.
struct SweepFigures {
    double frontError = 0.0;  // largest rE direction error within 30 degrees of the front, on the horizon
    double worstError = 0.0;
    double shortestRe = 1.0;
    double energySpreadDb = 0.0;
};

SweepFigures Sweep(const DesignedDecoder& d, const Rig& rig, bool withHeight)
{
    SweepFigures f;
    double lowest = 1e9, highest = -1e9;
    std::vector<double> elevations{0.0};
    if (withHeight) elevations = {0.0, 30.0, 60.0, 90.0};
    for (double el : elevations)
        for (int az = -180; az < 180; az += 5) {
            const DecodeMeasure m = MeasureDecode(d, rig.data(), az, el);
            if (el == 0.0 && std::abs(az) <= 30) f.frontError = std::max(f.frontError, m.reErrorDeg);
            f.worstError = std::max(f.worstError, m.reErrorDeg);
            f.shortestRe = std::min(f.shortestRe, m.reLength);
            const double db = 10.0 * std::log10(m.energy);
            lowest = std::min(lowest, db);
            highest = std::max(highest, db);
        }
    f.energySpreadDb = highest - lowest;
    return f;
}

DesignedDecoder Designed(const Rig& rig, int order)
{
    DesignedDecoder d;
    EXPECT_EQ(DesignAllRound(rig.data(), rig.size(), order, d), DesignResult::Ok);
    return d;
}

Rig RegularRing(int speakers, double offsetDeg)
{
    Rig rig;
    for (int i = 0; i < speakers; ++i) rig.push_back({offsetDeg + 360.0 * i / speakers, 0.0});
    return rig;
}

// Points spread evenly over the sphere on a golden-angle spiral.
Rig SpiralSphere(int speakers)
{
    Rig rig;
    for (int i = 0; i < speakers; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / speakers;
        rig.push_back({std::fmod(i * 137.50776405003785, 360.0), std::asin(z) / kDegree});
    }
    return rig;
}

const Rig k50{{30, 0}, {-30, 0}, {0, 0}, {110, 0}, {-110, 0}};
const Rig k71{{30, 0}, {-30, 0}, {0, 0}, {135, 0}, {-135, 0}, {90, 0}, {-90, 0}};
const Rig k714{{30, 0},  {-30, 0},  {0, 0},    {135, 0},  {-135, 0}, {90, 0},
               {-90, 0}, {45, 45},  {-45, 45}, {135, 45}, {-135, 45}};

TEST(SphericalHarmonics, FirstOrderIsWYZXAndEveryOrderIsSemiNormalised)
{
    std::vector<double> y(AmbisonicChannels(1));
    EncodeSn3d(1, 30 * kDegree, 20 * kDegree, y.data());
    EXPECT_DOUBLE_EQ(y[0], 1.0);
    EXPECT_NEAR(y[1], std::sin(30 * kDegree) * std::cos(20 * kDegree), 1e-15);
    EXPECT_NEAR(y[2], std::sin(20 * kDegree), 1e-15);
    EXPECT_NEAR(y[3], std::cos(30 * kDegree) * std::cos(20 * kDegree), 1e-15);

    // SN3D: the mean over the sphere of Y_a * Y_b is 1 / (2n + 1) on the diagonal, 0 elsewhere.
    // Midpoint rule in sine of elevation, fine enough for seventh-order products.
    const int order = kMaxAmbisonicOrder;
    const size_t channels = AmbisonicChannels(order);
    std::vector<double> gram(channels * channels, 0.0), h(channels);
    constexpr int kRings = 400, kPerRing = 64;
    for (int r = 0; r < kRings; ++r)
        for (int i = 0; i < kPerRing; ++i) {
            EncodeSn3d(order, 2 * kPi * i / kPerRing, std::asin(-1.0 + (2.0 * r + 1.0) / kRings), h.data());
            for (size_t a = 0; a < channels; ++a)
                for (size_t b = 0; b < channels; ++b) gram[a * channels + b] += h[a] * h[b] / (kRings * kPerRing);
        }
    for (size_t a = 0; a < channels; ++a)
        for (size_t b = 0; b < channels; ++b)
            EXPECT_NEAR(gram[a * channels + b], a == b ? 1.0 / (2 * OrderOfChannel(a) + 1) : 0.0, 2e-4) << a << "," << b;
}

TEST(SphericalHarmonics, MaxReWeightsGiveTheKnownEnergyVectorLengths)
{
    // The largest roots of P2, P3, P4: 0.577, 0.775, 0.861.
    const double sphere[] = {0.5773502691896258, 0.7745966692414834, 0.8611363115940526};
    for (int order = 1; order <= 3; ++order) {
        std::vector<double> w(order + 1);
        MaxReWeightsSphere(order, w.data());
        EXPECT_DOUBLE_EQ(w[0], 1.0);
        EXPECT_NEAR(w[1], sphere[order - 1], 1e-12);
        MaxReWeightsHorizon(order, w.data());
        EXPECT_NEAR(w[1], std::cos(kPi / (2 * order + 2)), 1e-15);
    }
}

TEST(RigDesign, RegularRingsImageEveryDirectionAtTheMaxReLength)
{
    for (const Rig& rig : {RegularRing(8, 0), RegularRing(8, 22.5), RegularRing(6, 0), RegularRing(6, 30)}) {
        const DesignedDecoder d = Designed(rig, 1);
        EXPECT_EQ(d.shape, DesignShape::Horizontal);
        EXPECT_EQ(d.imaginarySpeakers, 0u);
        const SweepFigures f = Sweep(d, rig, false);
        EXPECT_LE(f.frontError, 0.5);
        EXPECT_LE(f.worstError, 1.0);
        EXPECT_GE(f.shortestRe, 0.70);
        EXPECT_LE(f.energySpreadDb, 0.5);
    }
}

TEST(RigDesign, HomeCinemaRigsImageBetterThanAPlainAllRoundDesign)
{
    // The figures of a plain all-round design on the same sweep, which these must not exceed.
    struct Case {
        const Rig* rig;
        bool height;
        double front, worst, spreadDb;
    };
    for (const Case& c : {Case{&k50, false, 3.0, 21.0, 3.8}, Case{&k71, false, 4.5, 6.0, 2.0},
                          Case{&k714, true, 17.5, 17.5, 1.4}}) {
        const DesignedDecoder d = Designed(*c.rig, 1);
        const SweepFigures f = Sweep(d, *c.rig, c.height);
        EXPECT_LE(f.frontError, c.front) << c.rig->size() << " speakers";
        EXPECT_LE(f.worstError, c.worst) << c.rig->size() << " speakers";
        EXPECT_LE(f.energySpreadDb, c.spreadDb) << c.rig->size() << " speakers";
    }
    // 7.1.4 has nothing below the horizon: an imaginary speaker closes the hull there.
    EXPECT_EQ(Designed(k714, 1).imaginarySpeakers, 1u);
    EXPECT_EQ(Designed(k714, 1).shape, DesignShape::Sphere);
}

TEST(RigDesign, HigherOrdersOnASphericalRigReachTheirMaxReLength)
{
    const Rig rig = SpiralSphere(64);
    const double maxRe[] = {0.5773502691896258, 0.7745966692414834, 0.8611363115940526};
    for (int order = 1; order <= 3; ++order) {
        const DesignedDecoder d = Designed(rig, order);
        for (double el : {-60.0, 0.0, 30.0, 90.0})
            for (int az = -180; az < 180; az += 15) {
                const DecodeMeasure m = MeasureDecode(d, rig.data(), az, el);
                EXPECT_NEAR(m.reLength, maxRe[order - 1], 0.02) << "order " << order << " az " << az << " el " << el;
                EXPECT_LT(m.reErrorDeg, 2.0);
                EXPECT_LT(std::fabs(10 * std::log10(m.energy)), 1.0);
            }
    }
}

TEST(RigDesign, AHigherOrderPutsMoreOfASourceOnTheSpeakerItPointsAt)
{
    const Rig rig = RegularRing(12, 0);
    double share[2];
    for (int i = 0; i < 2; ++i) {
        const int order = i == 0 ? 1 : 3;
        const DesignedDecoder d = Designed(rig, order);
        std::vector<double> y(d.channels);
        EncodeSn3d(order, 60 * kDegree, 0.0, y.data());
        double total = 0, onTarget = 0;
        for (size_t s = 0; s < d.speakers; ++s) {
            double g = 0;
            for (size_t c = 0; c < d.channels; ++c) g += d.high[s * d.channels + c] * y[c];
            total += g * g;
            if (s == 2) onTarget = g * g;  // the speaker at 60 degrees
        }
        share[i] = onTarget / total;
    }
    EXPECT_GT(share[1], share[0] * 1.5);
}

TEST(RigDesign, RefusesRigsNoDecoderSuitsAndLeavesTheOldDesign)
{
    DesignedDecoder d = Designed(k71, 1);
    const std::vector<double> before = d.high;
    size_t clash[2] = {99, 99};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rig frontOnly{{30, 0}, {-30, 0}, {30, 40}, {-30, 40}};
    const Rig tooMany = SpiralSphere(65);
    struct Case {
        Rig rig;
        int order;
        DesignResult result;
    };
    for (const Case& c : {Case{{{0, 0}}, 1, DesignResult::TooFewSpeakers}, Case{tooMany, 1, DesignResult::TooManySpeakers},
                          Case{{{0, 0}, {90, 95}, {180, 0}}, 1, DesignResult::BadDirection},
                          Case{{{0, 0}, {nan, 0}, {180, 0}}, 1, DesignResult::BadDirection},
                          Case{{{10, 0}, {90, 0}, {370.1, 0}}, 1, DesignResult::SameDirection},
                          Case{frontOnly, 1, DesignResult::NotSurrounding}, Case{k71, 0, DesignResult::BadOrder},
                          Case{k71, 8, DesignResult::BadOrder}}) {
        EXPECT_EQ(DesignAllRound(c.rig.data(), c.rig.size(), c.order, d, clash), c.result) << DescribeDesignResult(c.result);
        EXPECT_EQ(d.high, before);
    }
    EXPECT_EQ(clash[0], 0u);  // the last clash: speakers 0 and 2 of the 10/90/370.1 rig
    EXPECT_EQ(clash[1], 2u);
}

TEST(RigDesign, GivenImaginarySpeakersTakeTheirShareAndClosePoles)
{
    // A ring with no hole the designer would close: sound from behind is panned between the
    // speakers at +-140 degrees, unless an imaginary speaker stands there.
    const Rig ring{{0, 0}, {70, 0}, {-70, 0}, {140, 0}, {-140, 0}};
    DesignOptions behind;
    behind.imaginary = {{180, 0}};
    DesignedDecoder plain = Designed(ring, 2), closed;
    ASSERT_EQ(DesignAllRound(ring.data(), ring.size(), 2, closed, nullptr, behind), DesignResult::Ok);
    EXPECT_EQ(plain.imaginarySpeakers, 0u);
    EXPECT_EQ(closed.imaginarySpeakers, 1u);
    const auto db = [&](const DesignedDecoder& d, double az) {
        return 10 * std::log10(MeasureDecode(d, ring.data(), az, 0).energy);
    };
    EXPECT_LT(db(closed, 180), db(plain, 180) - 6.0);
    EXPECT_NEAR(db(closed, 0), db(plain, 0), 0.5);

    // 7.1.4 has nothing below: a given imaginary speaker there replaces the designer's own.
    DesignOptions below;
    below.imaginary = {{0, -60}};
    DesignedDecoder d;
    ASSERT_EQ(DesignAllRound(k714.data(), k714.size(), 1, d, nullptr, below), DesignResult::Ok);
    EXPECT_EQ(d.imaginarySpeakers, 1u);
    // One on top of a real speaker is refused, counted after the real ones.
    below.imaginary = {{0, -60}, {-30.2, 0}};
    size_t clash[2] = {99, 99};
    EXPECT_EQ(DesignAllRound(k714.data(), k714.size(), 1, d, clash, below), DesignResult::SameDirection);
    EXPECT_EQ(clash[0], 1u);
    EXPECT_EQ(clash[1], k714.size() + 1);
}

}  // namespace
