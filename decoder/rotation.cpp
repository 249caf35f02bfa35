#include "decoder/rotation.h"

#include <cmath>

#include "decoder/spherical_harmonics.h"

namespace decoder {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegree = kPi / 180.0;

// A quadrature on the sphere exact for products of harmonics up to seventh order (degree 14 and
// more): 16 Gauss-Legendre rings of 32 directions. Nodes and weights of the 16-point rule on
// -1..1, from the usual tables (the weights add up to 2).
constexpr int kRings = 16;
constexpr int kPerRing = 32;
constexpr double kNodes[kRings / 2] = {0.0950125098376374, 0.2816035507792589, 0.4580167776572274,
                                       0.6178762444026438, 0.7554044083550030, 0.8656312023878318,
                                       0.9445750230732326, 0.9894009349916499};
constexpr double kWeights[kRings / 2] = {0.1894506104550685, 0.1826034150449236, 0.1691565193950025,
                                         0.1495959888165767, 0.1246289712555339, 0.0951585116824928,
                                         0.0622535239386479, 0.0271524594117541};

// The rotated direction of a unit vector.
void Rotate(const double m[3][3], const double v[3], double out[3])
{
    for (int r = 0; r < 3; ++r) out[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2];
}

// The rotation of directions, Rz(yaw) Ry(-pitch) Rx(roll), x to the front, y to the left, z up.
void DirectionRotation(const SceneRotation& r, double m[3][3])
{
    const double cy = std::cos(r.yawDeg * kDegree), sy = std::sin(r.yawDeg * kDegree);
    const double cp = std::cos(r.pitchDeg * kDegree), sp = std::sin(r.pitchDeg * kDegree);
    const double cr = std::cos(r.rollDeg * kDegree), sr = std::sin(r.rollDeg * kDegree);
    const double rz[3][3] = {{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}};
    const double ry[3][3] = {{cp, 0, -sp}, {0, 1, 0}, {sp, 0, cp}};
    const double rx[3][3] = {{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}};
    double zy[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) zy[i][j] = rz[i][0] * ry[0][j] + rz[i][1] * ry[1][j] + rz[i][2] * ry[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = zy[i][0] * rx[0][j] + zy[i][1] * rx[1][j] + zy[i][2] * rx[2][j];
}

}  // namespace

bool IsIdentity(const SceneRotation& r) { return r.yawDeg == 0.0 && r.pitchDeg == 0.0 && r.rollDeg == 0.0; }

bool IsValidRotation(const SceneRotation& r)
{
    return std::isfinite(r.yawDeg) && std::isfinite(r.pitchDeg) && std::isfinite(r.rollDeg);
}

void RotationMatrix(int order, const SceneRotation& r, double* matrix)
{
    const size_t channels = AmbisonicChannels(order);
    for (size_t i = 0; i < channels * channels; ++i) matrix[i] = 0.0;
    double m[3][3];
    DirectionRotation(r, m);

    // Project the rotated harmonics onto the unrotated ones: matrix[k][l] is
    // (2n + 1) times the mean over the sphere of Y_k(M v) Y_l(v), for k and l of one order n.
    double original[64], rotated[64];
    for (int ring = 0; ring < kRings; ++ring) {
        const int half = ring < kRings / 2 ? kRings / 2 - 1 - ring : ring - kRings / 2;
        const double z = ring < kRings / 2 ? -kNodes[half] : kNodes[half];
        const double weight = kWeights[half] / (2.0 * kPerRing);
        const double elevation = std::asin(z);
        for (int i = 0; i < kPerRing; ++i) {
            const double azimuth = 2.0 * kPi * i / kPerRing;
            const double v[3] = {std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth), z};
            double w[3];
            Rotate(m, v, w);
            EncodeSn3d(order, azimuth, elevation, original);
            EncodeSn3d(order, std::atan2(w[1], w[0]), std::asin(w[2] > 1.0 ? 1.0 : w[2] < -1.0 ? -1.0 : w[2]), rotated);
            for (int n = 0; n <= order; ++n) {
                const size_t first = static_cast<size_t>(n) * n, last = first + 2 * n;
                const double scale = (2.0 * n + 1.0) * weight;
                for (size_t k = first; k <= last; ++k)
                    for (size_t l = first; l <= last; ++l) matrix[k * channels + l] += scale * rotated[k] * original[l];
            }
        }
    }
}

void FumaRotationMatrix(const SceneRotation& r, double matrix[9])
{
    if (IsIdentity(r)) {
        for (int i = 0; i < 9; ++i) matrix[i] = i % 4 == 0 ? 1.0 : 0.0;
        return;
    }
    // First-order X, Y and Z are the source's direction cosines times the signal, so they turn as
    // the direction does: the rotation of directions itself, without the projection the higher
    // orders need (a head tracker sets a new rotation every block).
    double m[3][3];
    DirectionRotation(r, m);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) matrix[3 * i + j] = m[i][j];
}

}  // namespace decoder
