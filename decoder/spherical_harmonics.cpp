#include "decoder/spherical_harmonics.h"

#include <cmath>

namespace decoder {

namespace {

constexpr double kPi = 3.141592653589793;

}  // namespace

int OrderOfChannel(size_t channel)
{
    int n = 0;
    while (AmbisonicChannels(n) <= channel) ++n;
    return n;
}

bool IsSectoralChannel(size_t channel)
{
    const int n = OrderOfChannel(channel);
    const long m = static_cast<long>(channel) - static_cast<long>(n) * n - n;
    return m == n || m == -n;
}

void EncodeSn3d(int order, double azimuth, double elevation, double* out)
{
    // Associated Legendre functions P_n^m(sin elevation) without the Condon-Shortley phase,
    // by the usual recurrences in n for each m, scaled by sqrt((2 - delta_m0) (n-m)! / (n+m)!).
    const double x = std::sin(elevation);
    const double c = std::cos(elevation);  // sqrt(1 - x^2), never negative on -90..90 degrees
    double pmm = 1.0;                      // P_m^m, built up as m grows
    for (int m = 0; m <= order; ++m) {
        if (m > 0) pmm *= (2.0 * m - 1.0) * c;
        double pPrev = 0.0, p = pmm;
        for (int n = m; n <= order; ++n) {
            if (n == m + 1) {
                pPrev = p;
                p = x * (2.0 * m + 1.0) * pmm;
            } else if (n > m + 1) {
                const double next = ((2.0 * n - 1.0) * x * p - (n + m - 1.0) * pPrev) / (n - m);
                pPrev = p;
                p = next;
            }
            // (n - m)! / (n + m)! as a product, to stay in range at high orders.
            double ratio = 1.0;
            for (int k = n - m + 1; k <= n + m; ++k) ratio /= k;
            const double norm = std::sqrt((m == 0 ? 1.0 : 2.0) * ratio) * p;
            const size_t centre = static_cast<size_t>(n) * n + n;
            if (m == 0) {
                out[centre] = norm;
            } else {
                out[centre + m] = norm * std::cos(m * azimuth);
                out[centre - m] = norm * std::sin(m * azimuth);
            }
        }
    }
}

double Legendre(int n, double x)
{
    if (n == 0) return 1.0;
    double prev = 1.0, p = x;
    for (int k = 2; k <= n; ++k) {
        const double next = ((2.0 * k - 1.0) * x * p - (k - 1.0) * prev) / k;
        prev = p;
        p = next;
    }
    return p;
}

void MaxReWeightsSphere(int order, double* weights)
{
    // Newton's method from the usual estimate of the largest root of P_{order+1}.
    const int n = order + 1;
    double r = std::cos(kPi * 0.75 / (n + 0.5));
    for (int i = 0; i < 100; ++i) {
        const double p = Legendre(n, r);
        const double derivative = n * (r * p - Legendre(n - 1, r)) / (r * r - 1.0);
        const double step = p / derivative;
        r -= step;
        if (std::fabs(step) < 1e-16) break;
    }
    for (int k = 0; k <= order; ++k) weights[k] = Legendre(k, r);
}

void MaxReWeightsHorizon(int order, double* weights)
{
    for (int k = 0; k <= order; ++k) weights[k] = std::cos(k * kPi / (2.0 * order + 2.0));
}

}  // namespace decoder
