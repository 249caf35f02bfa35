#include "decoder/head_model.h"

#include <algorithm>
#include <cmath>

namespace decoder {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kKernelHalfWidth = 8;            // sinc taps each side of the delay
constexpr double kShadowMinimumAlpha = 0.1;    // high-frequency gain opposite the ear
constexpr double kShadowMinimumAngle = 150.0 * kPi / 180.0;  // where that minimum lies

// Windowed-sinc interpolation of a unit impulse at fractional position `at`, added into h.
void AddDelayedImpulse(std::vector<double>& h, double at)
{
    const auto centre = static_cast<long>(std::floor(at));
    double taps[2 * kKernelHalfWidth];
    double sum = 0.0;
    for (int k = 0; k < 2 * kKernelHalfWidth; ++k) {
        const double t = static_cast<double>(centre - kKernelHalfWidth + 1 + k) - at;
        const double sinc = std::fabs(t) < 1e-12 ? 1.0 : std::sin(kPi * t) / (kPi * t);
        const double window = 0.42 + 0.5 * std::cos(kPi * t / kKernelHalfWidth) +
                              0.08 * std::cos(2.0 * kPi * t / kKernelHalfWidth);
        taps[k] = sinc * window;
        sum += taps[k];
    }
    for (int k = 0; k < 2 * kKernelHalfWidth; ++k) {
        const long index = centre - kKernelHalfWidth + 1 + k;
        if (index >= 0 && static_cast<size_t>(index) < h.size()) h[static_cast<size_t>(index)] += taps[k] / sum;
    }
}

// The head shadow H(s) = (alpha·s + 2·w0) / (s + 2·w0), w0 = c/a, through the bilinear
// transform, run in place over h.
void ApplyHeadShadow(std::vector<double>& h, double angleToEar, double sampleRate)
{
    const double alpha = (1.0 + kShadowMinimumAlpha / 2.0) +
                         (1.0 - kShadowMinimumAlpha / 2.0) * std::cos(angleToEar / kShadowMinimumAngle * kPi);
    const double w0 = kSpeedOfSound / kHeadRadius;
    const double norm = w0 + sampleRate;
    const double b0 = (w0 + alpha * sampleRate) / norm;
    const double b1 = (w0 - alpha * sampleRate) / norm;
    const double a1 = (w0 - sampleRate) / norm;
    double previousIn = 0.0, previousOut = 0.0;
    for (double& v : h) {
        const double y = b0 * v + b1 * previousIn - a1 * previousOut;
        previousIn = v;
        previousOut = y;
        v = y;
    }
}

void RenderEar(double angleToEar, double sampleRate, std::vector<double>& h)
{
    h.assign(SphericalHeadLength(sampleRate), 0.0);
    AddDelayedImpulse(h, kKernelHalfWidth + SphericalHeadDelay(angleToEar) * sampleRate);
    ApplyHeadShadow(h, angleToEar, sampleRate);
}

}  // namespace

double SphericalHeadDelay(double angleToEar)
{
    const double theta = std::clamp(angleToEar, 0.0, kPi);
    const double aOverC = kHeadRadius / kSpeedOfSound;
    return theta < kPi / 2 ? aOverC * (1.0 - std::cos(theta)) : aOverC * (1.0 + theta - kPi / 2);
}

size_t SphericalHeadLength(double sampleRate)
{
    const double frames = 2 * kKernelHalfWidth + SphericalHeadDelay(kPi) * sampleRate + 0.004 * sampleRate;
    return static_cast<size_t>(std::ceil(frames));
}

void RenderSphericalHead(double azimuthDeg, double elevationDeg, double sampleRate, std::vector<double>& left,
                         std::vector<double>& right)
{
    const double az = azimuthDeg * kPi / 180.0;
    const double el = elevationDeg * kPi / 180.0;
    // The left ear looks along +Y (azimuth 90 degrees), the right ear along -Y.
    const double lateral = std::clamp(std::cos(el) * std::sin(az), -1.0, 1.0);
    RenderEar(std::acos(lateral), sampleRate, left);
    RenderEar(std::acos(-lateral), sampleRate, right);
}

}  // namespace decoder
