// How close a headphone decode comes to the head-related responses it was made from: the
// measures shared by the design tests and the measurement program.
//
// Every measure compares ear responses: a decode's response to a source at a direction (an
// impulse encoded there and decoded) against the ground truth, the source rendered directly
// through the measured pair nearest that direction.
//   - interaural level difference per octave, 125 Hz to 16 kHz (band energies);
//   - interaural time difference below 1.5 kHz: the lag of the peak of the ears' cross-
//     correlation within +-1 ms, both low-passed at 1.5 kHz, refined by a parabola;
//   - per-ear level in third-octave bands, 200 Hz to 16 kHz, compared after one level
//     offset common to all directions and ears (the decode's overall level error).
#pragma once

#include <unsupported/Eigen/FFT>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/binaural_design.h"
#include "decoder/block_convolver.h"
#include "decoder/spherical_harmonics.h"

namespace binaural_quality {

constexpr double kPi = 3.141592653589793;
constexpr size_t kFftSize = 8192;
constexpr double kItdCutoffHz = 1500.0;
constexpr double kMaxItdSeconds = 0.001;

struct Ears {
    std::vector<double> left, right;
};

// Levels and time difference of one pair of ear responses.
struct Analysis {
    std::vector<double> ildDb;         // per octave, 125 Hz..16 kHz
    double itdSeconds = 0.0;           // positive when the right ear lags
    std::vector<double> bandsDb[2];    // per ear, per third octave, 200 Hz..16 kHz
};

inline std::vector<std::complex<double>> Spectrum(const std::vector<double>& h)
{
    std::vector<double> time(kFftSize, 0.0);
    std::copy(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(std::min(h.size(), kFftSize)), time.begin());
    Eigen::FFT<double> fft;
    fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    std::vector<std::complex<double>> spectrum;
    fft.fwd(spectrum, time);
    return spectrum;
}

// Energy of the bins from lo to hi Hz (a floor keeps silent bands finite in decibels).
inline double BandEnergy(const std::vector<std::complex<double>>& s, double rate, double lo, double hi)
{
    const double binHz = rate / static_cast<double>(kFftSize);
    const auto first = static_cast<size_t>(std::ceil(lo / binHz));
    const auto last = std::min(s.size() - 1, static_cast<size_t>(std::floor(hi / binHz)));
    double e = 1e-30;
    for (size_t k = first; k <= last; ++k) e += std::norm(s[k]);
    return e;
}

inline std::vector<double> OctaveCentres()
{
    std::vector<double> c;
    for (double f = 125.0; f <= 16000.0; f *= 2.0) c.push_back(f);
    return c;
}

inline std::vector<double> ThirdOctaveCentres()
{
    std::vector<double> c;
    for (int n = -7; n <= 12; ++n) c.push_back(1000.0 * std::pow(2.0, n / 3.0));  // 198 Hz .. 16 kHz
    return c;
}

inline Analysis Analyse(const Ears& ears, double rate)
{
    const auto left = Spectrum(ears.left), right = Spectrum(ears.right);
    Analysis a;
    for (double f : OctaveCentres()) {
        const double lo = f / std::sqrt(2.0), hi = std::min(f * std::sqrt(2.0), rate / 2.0);
        a.ildDb.push_back(10.0 * std::log10(BandEnergy(left, rate, lo, hi) / BandEnergy(right, rate, lo, hi)));
    }
    for (int ear = 0; ear < 2; ++ear) {
        const auto& s = ear == 0 ? left : right;
        for (double f : ThirdOctaveCentres()) {
            const double edge = std::pow(2.0, 1.0 / 6.0);
            a.bandsDb[ear].push_back(10.0 * std::log10(BandEnergy(s, rate, f / edge, std::min(f * edge, rate / 2.0))));
        }
    }
    // Cross-correlation of the low-passed ears through the spectra.
    std::vector<std::complex<double>> cross(left.size());
    const double binHz = rate / static_cast<double>(kFftSize);
    for (size_t k = 0; k < cross.size(); ++k)
        cross[k] = static_cast<double>(k) * binHz < kItdCutoffHz ? left[k] * std::conj(right[k]) : 0.0;
    Eigen::FFT<double> fft;
    fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
    std::vector<double> xcorr;
    fft.inv(xcorr, cross, static_cast<Eigen::Index>(kFftSize));
    const auto maxLag = static_cast<long>(std::ceil(kMaxItdSeconds * rate));
    const auto n = static_cast<long>(kFftSize);
    auto at = [&](long lag) { return xcorr[static_cast<size_t>((lag % n + n) % n)]; };
    long best = 0;
    for (long lag = -maxLag; lag <= maxLag; ++lag)
        if (at(lag) > at(best)) best = lag;
    const double y0 = at(best - 1), y1 = at(best), y2 = at(best + 1);
    const double denominator = y0 - 2.0 * y1 + y2;
    const double fraction = denominator < 0.0 ? 0.5 * (y0 - y2) / denominator : 0.0;
    // xcorr[lag] = sum left[t + lag] right[t]: a positive lag means the left ear is later.
    a.itdSeconds = -(static_cast<double>(best) + fraction) / rate;
    return a;
}

// Mean absolute difference of the third-octave levels of two renderings, over both ears: how
// different two sources sound in spectrum.
inline double SpectralDifferenceDb(const Ears& a, const Ears& b, double rate)
{
    const Analysis x = Analyse(a, rate), y = Analyse(b, rate);
    double sum = 0.0;
    size_t n = 0;
    for (int ear = 0; ear < 2; ++ear)
        for (size_t i = 0; i < x.bandsDb[ear].size(); ++i, ++n) sum += std::fabs(x.bandsDb[ear][i] - y.bandsDb[ear][i]);
    return sum / static_cast<double>(n);
}

// The errors of one direction.
struct DirectionErrors {
    decoder::Direction direction{};
    double ildDb = 0.0;         // mean absolute ILD error over the octaves
    double itdMicroseconds = 0.0;
    double bandsDb[2] = {};     // per ear: mean absolute third-octave error after the offset
};

struct Quality {
    std::vector<DirectionErrors> directions;
    double levelOffsetDb = 0.0;  // decode minus truth, mean over directions, ears and bands
    double meanIldDb = 0.0, maxItdMicroseconds = 0.0, meanBandsDb = 0.0, worstBandsDb = 0.0;
};

// Compares decoded[i] with truth[i] for each of the directions.
inline Quality Compare(const std::vector<decoder::Direction>& directions, const std::vector<Ears>& decoded,
                       const std::vector<Ears>& truth, double rate)
{
    Quality q;
    std::vector<Analysis> d, t;
    double offset = 0.0;
    size_t bands = 0;
    for (size_t i = 0; i < directions.size(); ++i) {
        d.push_back(Analyse(decoded[i], rate));
        t.push_back(Analyse(truth[i], rate));
        for (int ear = 0; ear < 2; ++ear)
            for (size_t b = 0; b < d[i].bandsDb[ear].size(); ++b, ++bands) offset += d[i].bandsDb[ear][b] - t[i].bandsDb[ear][b];
    }
    q.levelOffsetDb = offset / static_cast<double>(bands);
    for (size_t i = 0; i < directions.size(); ++i) {
        DirectionErrors e;
        e.direction = directions[i];
        for (size_t o = 0; o < d[i].ildDb.size(); ++o) e.ildDb += std::fabs(d[i].ildDb[o] - t[i].ildDb[o]);
        e.ildDb /= static_cast<double>(d[i].ildDb.size());
        e.itdMicroseconds = 1e6 * std::fabs(d[i].itdSeconds - t[i].itdSeconds);
        for (int ear = 0; ear < 2; ++ear) {
            for (size_t b = 0; b < d[i].bandsDb[ear].size(); ++b)
                e.bandsDb[ear] += std::fabs(d[i].bandsDb[ear][b] - t[i].bandsDb[ear][b] - q.levelOffsetDb);
            e.bandsDb[ear] /= static_cast<double>(d[i].bandsDb[ear].size());
            q.meanBandsDb += e.bandsDb[ear] / (2.0 * static_cast<double>(directions.size()));
            q.worstBandsDb = std::max(q.worstBandsDb, e.bandsDb[ear]);
        }
        q.meanIldDb += e.ildDb / static_cast<double>(directions.size());
        q.maxItdMicroseconds = std::max(q.maxItdMicroseconds, e.itdMicroseconds);
        q.directions.push_back(e);
    }
    return q;
}

// The directions measured: every 30 degrees on the horizon, and elevations -30, 30, 60 and 90
// at azimuths 0 and 90 (the horizon's are already among the first).
inline std::vector<decoder::Direction> MeasuredDirections()
{
    std::vector<decoder::Direction> d;
    for (int az = 0; az < 360; az += 30) d.push_back({az > 180 ? az - 360.0 : double(az), 0.0});
    for (double az : {0.0, 90.0})
        for (double el : {-30.0, 30.0, 60.0}) d.push_back({az, el});
    d.push_back({0.0, 90.0});
    return d;
}

// The truth for a direction: the measured pair nearest it.
inline Ears Nearest(const std::vector<decoder::DirectionalResponse>& set, const decoder::Direction& target)
{
    std::vector<decoder::Direction> measured;
    for (const auto& r : set) measured.push_back({r.azimuthDeg, r.elevationDeg});
    const auto& r = set[decoder::NearestDirection(target, measured.data(), measured.size())];
    return {r.left, r.right};
}

// A designed decode's ears for a unit impulse with the given ambiX channel gains, run through
// the block convolution the headphone decode uses, its latency removed.
inline Ears RenderDesign(const decoder::BinauralDesign& design, const std::vector<double>& gains)
{
    decoder::BlockConvolver convolver;
    convolver.Setup(design.filters, 256);
    const size_t frames = design.taps + convolver.Latency();
    std::vector<std::vector<double>> in(design.channels, std::vector<double>(frames, 0.0));
    for (size_t c = 0; c < design.channels; ++c) in[c][0] = gains[c];
    Ears ears{std::vector<double>(frames), std::vector<double>(frames)};
    std::vector<const double*> inPlanes;
    for (const auto& plane : in) inPlanes.push_back(plane.data());
    double* outPlanes[2] = {ears.left.data(), ears.right.data()};
    convolver.Process(inPlanes.data(), outPlanes, frames);
    ears.left.erase(ears.left.begin(), ears.left.begin() + static_cast<std::ptrdiff_t>(convolver.Latency()));
    ears.right.erase(ears.right.begin(), ears.right.begin() + static_cast<std::ptrdiff_t>(convolver.Latency()));
    return ears;
}

// ambiX gains of a source of level 1 at a direction (degrees), for `order`.
inline std::vector<double> EncodeAt(int order, const decoder::Direction& d)
{
    std::vector<double> gains(decoder::AmbisonicChannels(order));
    decoder::EncodeSn3d(order, d.azimuthDeg * kPi / 180.0, d.elevationDeg * kPi / 180.0, gains.data());
    return gains;
}

// A designed decode measured at `directions` against the set it was made from.
inline Quality MeasureDesign(const decoder::BinauralDesign& design, const std::vector<decoder::DirectionalResponse>& set,
                             const std::vector<decoder::Direction>& directions, double rate)
{
    std::vector<Ears> decoded, truth;
    for (const auto& d : directions) {
        decoded.push_back(RenderDesign(design, EncodeAt(design.order, d)));
        truth.push_back(Nearest(set, d));
    }
    return Compare(directions, decoded, truth, rate);
}

}  // namespace binaural_quality
