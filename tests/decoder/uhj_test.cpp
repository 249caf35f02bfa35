// Two-channel UHJ: the 90-degree network and the stereo image of sources around the listener.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "decoder/uhj.h"
#include "tests/decoder/support.h"

namespace {

using namespace decoder;
using decoder_test::Bits;
using decoder_test::kPi;
using decoder_test::RandomSignal;
using decoder_test::SpectrumAt;

constexpr double kRate = 48000.0;

TEST(PhaseDifferenceNetwork, QuadratureLeadsByNinetyDegreesFrom30HzTo18kHzAt48kHz)
{
    // Impulse responses long enough for the slowest section (pole radius 0.9975 per two
    // frames) to die away below double precision.
    const size_t n = 1 << 16;
    std::vector<double> reference(n), quadrature(n);
    PhaseDifferenceNetwork network;
    for (size_t i = 0; i < n; ++i) network.Process(i == 0 ? 1.0 : 0.0, reference[i], quadrature[i]);
    double worst = 0.0;
    for (double hz = 30.0; hz <= 18000.0 * 1.0001; hz *= std::pow(600.0, 1.0 / 400.0)) {
        const std::complex<double> r = SpectrumAt(reference, hz, kRate), q = SpectrumAt(quadrature, hz, kRate);
        EXPECT_NEAR(std::abs(r), 1.0, 1e-9) << hz;
        EXPECT_NEAR(std::abs(q), 1.0, 1e-9) << hz;
        const double degrees = std::arg(q / r) * 180.0 / kPi;
        worst = std::max(worst, std::fabs(degrees - 90.0));
        EXPECT_NEAR(degrees, 90.0, 1.0) << hz << " Hz";
    }
    std::printf("largest phase error, 30 Hz to 18 kHz: %.3f degrees\n", worst);
}

// Levels of L and R, in dB, for noise encoded at azimuthDeg.
void UhjLevels(double azimuthDeg, double& left, double& right)
{
    std::mt19937 rng(3);
    const auto s = RandomSignal(rng, 48000, 0.5);
    const double az = azimuthDeg * kPi / 180.0;
    std::vector<double> w(s.size()), x(s.size()), y(s.size()), l(s.size()), r(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        w[i] = s[i] / std::sqrt(2.0);
        x[i] = s[i] * std::cos(az);
        y[i] = s[i] * std::sin(az);
    }
    UhjEncoder encoder;
    const double* in[3] = {w.data(), x.data(), y.data()};
    double* out[2] = {l.data(), r.data()};
    encoder.Process(in, out, static_cast<int32_t>(s.size()));
    double el = 0.0, er = 0.0;
    for (size_t i = 4800; i < s.size(); ++i) el += l[i] * l[i], er += r[i] * r[i];
    left = 10.0 * std::log10(el);
    right = 10.0 * std::log10(er);
}

TEST(UhjEncoder, FrontAndBackAreCentredAndASideSourceLeansItsWay)
{
    double l, r;
    for (double az : {0.0, 180.0}) {
        UhjLevels(az, l, r);
        EXPECT_NEAR(l, r, 0.05) << az;
    }
    UhjLevels(90.0, l, r);
    std::printf("source at +90: L - R = %.2f dB\n", l - r);
    EXPECT_GT(l - r, 10.0);
    double l2, r2;
    UhjLevels(-90.0, l2, r2);
    EXPECT_NEAR(r2 - l2, l - r, 0.05);
    UhjLevels(45.0, l, r);
    EXPECT_GT(l - r, 3.0);
}

TEST(UhjEncoder, BlocksMaySplitAnywhere)
{
    std::mt19937 rng(9);
    const size_t n = 1000;
    const auto w = RandomSignal(rng, n, 1.0), x = RandomSignal(rng, n, 1.0), y = RandomSignal(rng, n, 1.0);
    std::vector<double> l1(n), r1(n), l2(n), r2(n);
    UhjEncoder whole, pieces;
    const double* in[3] = {w.data(), x.data(), y.data()};
    double* out[2] = {l1.data(), r1.data()};
    whole.Process(in, out, static_cast<int32_t>(n));
    for (size_t at = 0, k = 1; at < n; at += k, k = k * 3 % 97 + 1) {
        const size_t take = std::min(k, n - at);
        const double* pin[3] = {w.data() + at, x.data() + at, y.data() + at};
        double* pout[2] = {l2.data() + at, r2.data() + at};
        pieces.Process(pin, pout, static_cast<int32_t>(take));
    }
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(Bits(l1[i]), Bits(l2[i])) << i;
        ASSERT_EQ(Bits(r1[i]), Bits(r2[i])) << i;
    }
}

}  // namespace
