#include "decoder/binaural_design.h"

#include <Eigen/Dense>
#include <unsupported/Eigen/FFT>

#include <algorithm>
#include <cmath>
#include <complex>
#include <new>

#include "decoder/head_model.h"
#include "decoder/spherical_harmonics.h"

namespace decoder {
namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.141592653589793;
constexpr double kRadiansPerDegree = kPi / 180.0;

// Points of the even spiral grid over which the share of the sphere nearest each measured
// direction is counted.
constexpr size_t kQuadraturePoints = 16384;
// A spiral point farther than this many times the mean spacing of the measurements from the
// nearest of them lies in a hole of the grid (below a dummy head's torso, say) and counts for
// none: a measurement at the hole's rim should not stand for all of it.
constexpr double kHoleSpacings = 2.0;
// Tikhonov regularisation, relative to the mean diagonal of the weighted Gram matrix.
constexpr double kRegularisation = 1e-2;
// Smallest FFT the design works with, so that the lowest octaves have several bins.
constexpr size_t kMinDesignFft = 512;
// Most spectrum values (both ears, all directions, all bins) a design holds: 1 GiB.
constexpr size_t kMaxSpectrumValues = size_t{1} << 26;
// Deepest cut the diffuse-field equalisation applies.
constexpr double kMaxCutDb = 20.0;

void UnitVector(double azimuth, double elevation, double v[3])
{
    v[0] = std::cos(elevation) * std::cos(azimuth);
    v[1] = std::cos(elevation) * std::sin(azimuth);
    v[2] = std::sin(elevation);
}

// Share of the sphere nearest each of the count directions (unit vectors, 3 per direction),
// summing to 1 over the directions that own any.
std::vector<double> QuadratureWeights(const std::vector<double>& unit, size_t count)
{
    std::vector<double> weights(count, 0.0);
    const double spacing = std::sqrt(4.0 * kPi / static_cast<double>(count));
    const double cosHole = std::cos(std::min(kPi, kHoleSpacings * spacing));
    const double golden = kPi * (3.0 - std::sqrt(5.0));
    double total = 0.0;
    for (size_t g = 0; g < kQuadraturePoints; ++g) {
        const double z = 1.0 - (2.0 * static_cast<double>(g) + 1.0) / static_cast<double>(kQuadraturePoints);
        const double r = std::sqrt(1.0 - z * z);
        const double x = r * std::cos(golden * static_cast<double>(g)), y = r * std::sin(golden * static_cast<double>(g));
        size_t best = 0;
        double bestDot = -2.0;
        for (size_t m = 0; m < count; ++m) {
            const double dot = x * unit[3 * m] + y * unit[3 * m + 1] + z * unit[3 * m + 2];
            if (dot > bestDot) {
                bestDot = dot;
                best = m;
            }
        }
        if (bestDot < cosHole) continue;
        weights[best] += 1.0;
        total += 1.0;
    }
    for (double& w : weights) w /= total;
    return weights;
}

size_t NextPowerOfTwo(size_t n)
{
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Power ratio smoothed over a third of an octave around each bin (a plain mean over the bins
// from k / 2^(1/6) to k * 2^(1/6)); bin 0 takes bin 1's.
std::vector<double> SmoothThirdOctave(const std::vector<double>& ratio)
{
    const size_t bins = ratio.size();
    std::vector<double> prefix(bins + 1, 0.0);
    for (size_t k = 0; k < bins; ++k) prefix[k + 1] = prefix[k] + ratio[k];
    std::vector<double> smooth(bins);
    const double edge = std::pow(2.0, 1.0 / 6.0);
    for (size_t k = 1; k < bins; ++k) {
        const auto lo = std::max<size_t>(1, static_cast<size_t>(std::floor(static_cast<double>(k) / edge)));
        const auto hi = std::min(bins - 1, static_cast<size_t>(std::ceil(static_cast<double>(k) * edge)));
        smooth[k] = (prefix[hi + 1] - prefix[lo]) / static_cast<double>(hi + 1 - lo);
    }
    smooth[0] = bins > 1 ? smooth[1] : ratio[0];
    return smooth;
}

BinauralDesignResult Design(const BinauralDesignSettings& settings, const DirectionalResponse* responses, size_t count,
                            BinauralDesign& out)
{
    const int order = settings.order;
    const size_t channels = AmbisonicChannels(order);
    size_t frames = 0;
    for (size_t m = 0; m < count; ++m) frames = std::max(frames, responses[m].left.size());
    const size_t taps = BinauralDesignTaps(frames);
    const size_t fftSize = std::max(kMinDesignFft, NextPowerOfTwo(2 * taps));
    const size_t bins = fftSize / 2 + 1;
    // The spectra of the whole set are held at once; a set too large for that is refused
    // before anything is allocated, not left to the system's overcommitted memory.
    if (2 * count * bins > kMaxSpectrumValues) return BinauralDesignResult::OutOfMemory;

    // Directions, their harmonics and their quadrature weights.
    std::vector<double> unit(3 * count);
    Eigen::MatrixXd harmonics(static_cast<Eigen::Index>(count), static_cast<Eigen::Index>(channels));
    std::vector<double> y(channels);
    for (size_t m = 0; m < count; ++m) {
        const double az = responses[m].azimuthDeg * kRadiansPerDegree;
        const double el = std::clamp(responses[m].elevationDeg, -90.0, 90.0) * kRadiansPerDegree;
        UnitVector(az, el, &unit[3 * m]);
        EncodeSn3d(order, az, el, y.data());
        for (size_t c = 0; c < channels; ++c) harmonics(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(c)) = y[c];
    }
    const std::vector<double> weights = QuadratureWeights(unit, count);

    // The weighted, regularised least-squares solution: D = (Y'WY + lambda I)^-1 Y'W h, folded
    // into one channels x count matrix applied to every bin.
    Eigen::MatrixXd weighted = harmonics.transpose();
    for (size_t m = 0; m < count; ++m) weighted.col(static_cast<Eigen::Index>(m)) *= weights[m];
    Eigen::MatrixXd gram = weighted * harmonics;
    const double lambda = kRegularisation * gram.trace() / static_cast<double>(channels);
    gram.diagonal().array() += lambda;
    const Eigen::MatrixXd solver = gram.ldlt().solve(weighted);
    if (!solver.allFinite()) return BinauralDesignResult::BadResponses;

    // Spectra of every response: [ear][direction][bin].
    Eigen::FFT<double> fft;
    fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    std::vector<std::vector<Complex>> spectra(2 * count);
    std::vector<double> time(fftSize);
    for (size_t m = 0; m < count; ++m) {
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double>& h = ear == 0 ? responses[m].left : responses[m].right;
            std::fill(time.begin(), time.end(), 0.0);
            std::copy(h.begin(), h.end(), time.begin());
            fft.fwd(spectra[ear * count + m], time);
        }
    }

    // Where the responses' energy arrives, in frames: the mean over both ears and all
    // directions of each response's energy centroid. Above the cutoff each bin's phase follows
    // the previous bin's with this group delay, so the fitted part sits where the responses do
    // (held constant, it would sit at frame 0 and ring before it).
    double arrival = 0.0;
    for (size_t m = 0; m < count; ++m) {
        for (int ear = 0; ear < 2; ++ear) {
            const std::vector<double>& h = ear == 0 ? responses[m].left : responses[m].right;
            double energy = 0.0, moment = 0.0;
            for (size_t i = 0; i < h.size(); ++i) {
                energy += h[i] * h[i];
                moment += static_cast<double>(i) * h[i] * h[i];
            }
            arrival += energy > 0.0 ? moment / energy : 0.0;
        }
    }
    arrival /= 2.0 * static_cast<double>(count);
    const Complex advance = std::polar(1.0, -2.0 * kPi * arrival / static_cast<double>(fftSize));

    const double binHz = settings.sampleRate / static_cast<double>(fftSize);
    // Decode spectra [ear][channel][bin] and the powers over the sphere of decode and responses.
    std::vector<std::vector<Complex>> decode(2 * channels, std::vector<Complex>(bins));
    std::vector<double> decodedPower(bins, 0.0), measuredPower(bins, 0.0);
    std::vector<Complex> target(count), rendered(count), solution(channels);
    for (int ear = 0; ear < 2; ++ear) {
        const std::vector<Complex>* h = &spectra[ear * count];
        for (size_t k = 0; k < bins; ++k) {
            const double f = static_cast<double>(k) * binHz;
            for (size_t m = 0; m < count; ++m) {
                const Complex measured = h[m][k];
                if (k == 0 || f < settings.cutoffHz) {
                    target[m] = measured;
                } else {
                    // The measured magnitude with the phase the previous bin's decode gives,
                    // advanced by one bin's worth of the arrival delay.
                    const double r = std::abs(rendered[m]);
                    target[m] = std::abs(measured) * (r > 0.0 ? rendered[m] / r : Complex(1.0, 0.0)) * advance;
                }
                measuredPower[k] += weights[m] * std::norm(measured);
            }
            for (size_t c = 0; c < channels; ++c) {
                Complex sum = 0.0;
                for (size_t m = 0; m < count; ++m) sum += solver(static_cast<Eigen::Index>(c), static_cast<Eigen::Index>(m)) * target[m];
                // The highest bin of a real signal's spectrum is real.
                solution[c] = k == bins - 1 ? Complex(sum.real(), 0.0) : sum;
                decode[ear * channels + c][k] = solution[c];
            }
            for (size_t m = 0; m < count; ++m) {
                Complex sum = 0.0;
                for (size_t c = 0; c < channels; ++c) sum += harmonics(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(c)) * solution[c];
                rendered[m] = sum;
                decodedPower[k] += weights[m] * std::norm(sum);
            }
        }
    }

    // Diffuse-field equalisation: one smoothed, limited gain per bin for both ears, so that the
    // ears keep their level differences.
    std::vector<double> ratio(bins);
    for (size_t k = 0; k < bins; ++k) ratio[k] = decodedPower[k] > 0.0 ? measuredPower[k] / decodedPower[k] : 1.0;
    const std::vector<double> smooth = SmoothThirdOctave(ratio);
    const double maxGain = std::pow(10.0, kBinauralDesignMaxBoostDb / 20.0);
    const double minGain = std::pow(10.0, -kMaxCutDb / 20.0);

    BinauralDesign design;
    design.order = order;
    design.channels = channels;
    design.taps = taps;
    design.filters.assign(channels, std::vector<std::vector<double>>(2));
    // The filters keep their first `taps` frames and fade out over the last fifth of them.
    const size_t fade = taps / 5;
    for (size_t c = 0; c < channels; ++c) {
        for (int ear = 0; ear < 2; ++ear) {
            std::vector<Complex>& spectrum = decode[ear * channels + c];
            for (size_t k = 0; k < bins; ++k) spectrum[k] *= std::clamp(std::sqrt(smooth[k]), minGain, maxGain);
            fft.inv(time, spectrum, static_cast<Eigen::Index>(fftSize));
            std::vector<double>& f = design.filters[c][ear];
            f.assign(time.begin(), time.begin() + static_cast<std::ptrdiff_t>(taps));
            for (size_t i = 0; i < fade; ++i) {
                const double x = (static_cast<double>(i) + 0.5) / static_cast<double>(fade);
                f[taps - fade + i] *= 0.5 + 0.5 * std::cos(kPi * x);
            }
        }
    }
    for (const auto& channel : design.filters)
        for (const auto& f : channel)
            for (double v : f)
                if (!std::isfinite(v)) return BinauralDesignResult::BadResponses;
    out = std::move(design);
    return BinauralDesignResult::Ok;
}

}  // namespace

size_t BinauralDesignTaps(size_t responseFrames)
{
    const size_t rounded = (std::max<size_t>(responseFrames, 1) + 63) / 64 * 64;
    return rounded + rounded / 4;
}

std::vector<DirectionalResponse> SampleSphericalHead(double sampleRate)
{
    std::vector<DirectionalResponse> set;
    for (int el = -90; el <= 90; el += 5) {
        const int azimuths = std::abs(el) == 90 ? 1 : 4 * std::max(1, static_cast<int>(std::lround(18.0 * std::cos(el * kRadiansPerDegree))));
        for (int a = 0; a < azimuths; ++a) {
            DirectionalResponse r;
            r.azimuthDeg = 360.0 * a / azimuths;
            if (r.azimuthDeg > 180.0) r.azimuthDeg -= 360.0;
            r.elevationDeg = el;
            RenderSphericalHead(r.azimuthDeg, r.elevationDeg, sampleRate, r.left, r.right);
            set.push_back(std::move(r));
        }
    }
    return set;
}

BinauralDesignResult DesignBinauralDecoder(const BinauralDesignSettings& settings, BinauralDesign& out)
{
    if (!std::isfinite(settings.sampleRate) || settings.sampleRate < kMinBinauralRate ||
        settings.sampleRate > kMaxBinauralRate)
        return BinauralDesignResult::BadSampleRate;
    if (!(settings.cutoffHz >= 0.0) || !std::isfinite(settings.cutoffHz)) return BinauralDesignResult::BadCutoff;
    if (settings.order < 1 || settings.order > kMaxAmbisonicOrder) return BinauralDesignResult::BadOrder;
    if (settings.responseCount > kMaxDesignResponses || (settings.responseCount > 0 && settings.responses == nullptr))
        return BinauralDesignResult::BadResponses;
    for (size_t i = 0; i < settings.responseCount; ++i)
        if (!ResponseUsable(settings.responses[i])) return BinauralDesignResult::BadResponses;
    try {
        if (settings.responseCount == 0) {
            const std::vector<DirectionalResponse> head = SampleSphericalHead(settings.sampleRate);
            return Design(settings, head.data(), head.size(), out);
        }
        if (settings.responseCount < AmbisonicChannels(settings.order)) return BinauralDesignResult::TooFewResponses;
        return Design(settings, settings.responses, settings.responseCount, out);
    } catch (const std::bad_alloc&) {
        return BinauralDesignResult::OutOfMemory;
    }
}

}  // namespace decoder
