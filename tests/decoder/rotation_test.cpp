// Rotation of the sound field: the conventions of yaw, pitch and roll, and that the rotation
// of every order moves an encoded plane wave exactly to the rotated direction.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "decoder/rotation.h"
#include "decoder/spherical_harmonics.h"

namespace {

using namespace decoder;

constexpr double kDegree = 3.141592653589793 / 180.0;

std::vector<double> Encoded(int order, double azDeg, double elDeg)
{
    std::vector<double> b(AmbisonicChannels(order));
    EncodeSn3d(order, azDeg * kDegree, elDeg * kDegree, b.data());
    return b;
}

std::vector<double> Rotated(int order, const SceneRotation& r, const std::vector<double>& b)
{
    const size_t n = b.size();
    std::vector<double> m(n * n), out(n, 0.0);
    RotationMatrix(order, r, m.data());
    for (size_t k = 0; k < n; ++k)
        for (size_t l = 0; l < n; ++l) out[k] += m[k * n + l] * b[l];
    return out;
}

void ExpectNear(const std::vector<double>& a, const std::vector<double>& b, const char* what)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-12) << what << " channel " << i;
}

TEST(SceneRotation, YawTurnsLeftPitchRaisesTheFrontRollLowersTheRight)
{
    for (int order : {1, 3}) {
        ExpectNear(Rotated(order, {-30, 0, 0}, Encoded(order, 30, 0)), Encoded(order, 0, 0), "yaw -30 of a source at 30");
        ExpectNear(Rotated(order, {90, 0, 0}, Encoded(order, 0, 0)), Encoded(order, 90, 0), "yaw 90 of the front");
        ExpectNear(Rotated(order, {0, 20, 0}, Encoded(order, 0, 0)), Encoded(order, 0, 20), "pitch 20 of the front");
        ExpectNear(Rotated(order, {0, 20, 0}, Encoded(order, 90, 0)), Encoded(order, 90, 0), "pitch leaves the left");
        ExpectNear(Rotated(order, {0, 0, 30}, Encoded(order, -90, 0)), Encoded(order, -90, -30), "roll 30 of the right");
        ExpectNear(Rotated(order, {0, 0, 30}, Encoded(order, 90, 0)), Encoded(order, 90, 30), "roll 30 of the left");
        // Roll, then pitch, then yaw: the front pitched up 30 then yawed 90 stands at the left, up 30.
        ExpectNear(Rotated(order, {90, 30, 45}, Encoded(order, 0, 0)), Encoded(order, 90, 30), "yaw after pitch");
    }
}

TEST(SceneRotation, EveryOrderMovesPlaneWavesToTheRotatedDirection)
{
    const SceneRotation r{37, -21, 113};
    // The rotated direction of (az, el), by the same rotation of the unit vector.
    const auto direction = [&](double az, double el, double& azOut, double& elOut) {
        const std::vector<double> first = Rotated(1, r, Encoded(1, az, el));  // W Y Z X of the rotated wave
        azOut = std::atan2(first[1], first[3]) / kDegree;
        elOut = std::asin(first[2]) / kDegree;
    };
    for (int order = 0; order <= kMaxAmbisonicOrder; ++order)
        for (double el : {-70.0, 0.0, 40.0})
            for (double az : {0.0, 100.0, -150.0}) {
                double az2 = 0, el2 = 0;
                direction(az, el, az2, el2);
                const std::vector<double> rotated = Rotated(order, r, Encoded(order, az, el));
                ExpectNear(rotated, Encoded(order, az2, el2), "a plane wave");
            }
    // No rotation is the identity.
    ExpectNear(Rotated(7, {}, Encoded(7, 12, 34)), Encoded(7, 12, 34), "no rotation");
    EXPECT_TRUE(IsIdentity({}));
    EXPECT_FALSE(IsValidRotation({0, std::nan(""), 0}));
}

}  // namespace

// The first-order FuMa rotation, taken straight from the rotation of directions (a head tracker
// sets one every block), is the first-order block of the projected ambiX matrix to round-off.
TEST(SceneRotation, FumaRotationIsTheAmbixFirstOrderBlock)
{
    for (const SceneRotation& r : {SceneRotation{37, 0, 0}, SceneRotation{0, -64, 0}, SceneRotation{0, 0, 121},
                                   SceneRotation{-150, 33, -12}, SceneRotation{720.5, 190, -400}}) {
        double ambix[16], fuma[9];
        RotationMatrix(1, r, ambix);
        FumaRotationMatrix(r, fuma);
        constexpr int kAmbixOfFuma[3] = {3, 1, 2};  // X, Y, Z
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(fuma[3 * i + j], ambix[4 * kAmbixOfFuma[i] + kAmbixOfFuma[j]], 1e-12)
                    << r.yawDeg << " " << r.pitchDeg << " " << r.rollDeg << ": " << i << "," << j;
    }
}
