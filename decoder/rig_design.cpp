#include "decoder/rig_design.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <new>

#include "decoder/spherical_harmonics.h"

namespace decoder {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegree = kPi / 180.0;

using Vec3 = std::array<double, 3>;

Vec3 UnitVector(double azimuth, double elevation)
{
    return {std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth), std::sin(elevation)};
}

double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 Sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 Cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Norm(const Vec3& a) { return std::sqrt(Dot(a, a)); }

double AngleDeg(const Vec3& a, const Vec3& b)
{
    const double c = Dot(a, b) / (Norm(a) * Norm(b));
    return std::acos(std::max(-1.0, std::min(1.0, c))) / kDegree;
}

// Whether channel `c` is in the set `carried` (0: every channel).
bool Carries(uint64_t carried, size_t c) { return carried == 0 || (c < 64 && ((carried >> c) & 1) != 0); }

// The set of every channel of orders 0..order.
uint64_t ChannelsMask(int order)
{
    const size_t n = AmbisonicChannels(order);
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// A virtual speaker of the dense rig: its direction and its share of the sphere or circle.
struct VirtualSpeaker {
    double azimuth;
    double elevation;
    double weight;  // the weights add up to 1
};

// Panning onto the rig: gains of one direction over the real and imaginary speakers.
// `gains` has one entry per speaker of the panning set (real speakers first).
class Panner {
public:
    virtual ~Panner() = default;
    virtual void Pan(double azimuth, double elevation, double* gains) const = 0;
};

// Pairwise panning on the horizon between neighbours sorted by azimuth.
class HorizontalPanner final : public Panner {
public:
    // `azimuths` in radians, real speakers first; sorted internally.
    explicit HorizontalPanner(const std::vector<double>& azimuths)
    {
        for (size_t i = 0; i < azimuths.size(); ++i) {
            double a = std::fmod(azimuths[i], 2.0 * kPi);
            if (a < 0) a += 2.0 * kPi;
            m_Ring.push_back({a, i});
        }
        std::sort(m_Ring.begin(), m_Ring.end());
    }

    void Pan(double azimuth, double /*elevation*/, double* gains) const override
    {
        double a = std::fmod(azimuth, 2.0 * kPi);
        if (a < 0) a += 2.0 * kPi;
        const size_t n = m_Ring.size();
        size_t lo = n - 1;  // the speaker at or before a, cyclically
        for (size_t i = 0; i < n; ++i)
            if (m_Ring[i].first <= a) lo = i;
        const size_t hi = (lo + 1) % n;
        const double a0 = m_Ring[lo].first, a1 = m_Ring[hi].first;
        // Solve [u0 u1] g = p on the plane; the pair spans less than 180 degrees.
        const double det = std::cos(a0) * std::sin(a1) - std::sin(a0) * std::cos(a1);
        double g0 = (std::cos(a) * std::sin(a1) - std::sin(a) * std::cos(a1)) / det;
        double g1 = (std::cos(a0) * std::sin(a) - std::sin(a0) * std::cos(a)) / det;
        g0 = std::max(g0, 0.0);
        g1 = std::max(g1, 0.0);
        const double norm = std::sqrt(g0 * g0 + g1 * g1);
        gains[m_Ring[lo].second] += g0 / norm;
        gains[m_Ring[hi].second] += g1 / norm;
    }

private:
    std::vector<std::pair<double, size_t>> m_Ring;  // (azimuth in [0, 2 pi), speaker)
};

// Panning over the triangles of the convex hull of the speakers' directions.
class SpherePanner final : public Panner {
public:
    // Builds the hull of `points` (unit vectors). False when it cannot be built or does not
    // enclose the origin.
    bool Build(const std::vector<Vec3>& points)
    {
        constexpr double kPlanar = 1e-9;
        const size_t n = points.size();
        std::vector<std::vector<size_t>> faces;  // each a sorted set of coplanar points
        for (size_t i = 0; i < n; ++i)
            for (size_t j = i + 1; j < n; ++j)
                for (size_t k = j + 1; k < n; ++k) {
                    Vec3 normal = Cross(Sub(points[j], points[i]), Sub(points[k], points[i]));
                    const double length = Norm(normal);
                    if (length < 1e-12) continue;
                    for (double& v : normal) v /= length;
                    const double d = Dot(normal, points[i]);
                    bool above = false, below = false;
                    for (size_t p = 0; p < n && !(above && below); ++p) {
                        const double side = Dot(normal, points[p]) - d;
                        if (side > kPlanar) above = true;
                        if (side < -kPlanar) below = true;
                    }
                    if (above && below) continue;
                    std::vector<size_t> face;
                    for (size_t p = 0; p < n; ++p)
                        if (std::fabs(Dot(normal, points[p]) - d) <= kPlanar) face.push_back(p);
                    if (std::find(faces.begin(), faces.end(), face) == faces.end()) faces.push_back(face);
                }
        if (faces.size() < 4) return false;
        for (const std::vector<size_t>& face : faces)
            if (!AddFace(points, face)) return false;
        return true;
    }

    void Pan(double azimuth, double elevation, double* gains) const override
    {
        const Vec3 p = UnitVector(azimuth, elevation);
        // The triangle whose gains are all non-negative; of several (on an edge) the first,
        // and with round-off the one whose smallest gain is largest.
        size_t best = 0;
        double bestMin = -1e300;
        Vec3 bestGains{};
        for (size_t t = 0; t < m_Triangles.size(); ++t) {
            const Triangle& tri = m_Triangles[t];
            Vec3 g;
            for (int r = 0; r < 3; ++r) g[r] = Dot(tri.inverse[r], p);
            const double smallest = std::min({g[0], g[1], g[2]});
            if (smallest > bestMin) {
                bestMin = smallest;
                best = t;
                bestGains = g;
                if (smallest >= 0) break;
            }
        }
        double norm = 0;
        for (double& g : bestGains) {
            g = std::max(g, 0.0);
            norm += g * g;
        }
        norm = std::sqrt(norm);
        for (int r = 0; r < 3; ++r) gains[m_Triangles[best].corner[r]] += bestGains[r] / norm;
    }
private:
    struct Triangle {
        std::array<size_t, 3> corner;
        std::array<Vec3, 3> inverse;  // rows of the inverse of the matrix whose columns are the corners
    };

    // Splits a face (three or more coplanar points) into a fan of triangles around it.
    bool AddFace(const std::vector<Vec3>& points, const std::vector<size_t>& face)
    {
        Vec3 centre{};
        for (size_t p : face)
            for (int r = 0; r < 3; ++r) centre[r] += points[p][r] / static_cast<double>(face.size());
        // The face must keep the origin strictly on its inner side.
        const Vec3 normal = Cross(Sub(points[face[1]], points[face[0]]), Sub(points[face[2]], points[face[0]]));
        if (std::fabs(Dot(normal, points[face[0]])) / Norm(normal) < 1e-6) return false;
        const Vec3 axisU = Sub(points[face[0]], centre);
        const Vec3 axisV = Cross(normal, axisU);
        std::vector<std::pair<double, size_t>> around;
        for (size_t p : face) {
            const Vec3 d = Sub(points[p], centre);
            around.push_back({std::atan2(Dot(d, axisV), Dot(d, axisU)), p});
        }
        std::sort(around.begin(), around.end());
        for (size_t i = 1; i + 1 < around.size(); ++i)
            if (!AddTriangle(points, {around[0].second, around[i].second, around[i + 1].second})) return false;
        return true;
    }

    bool AddTriangle(const std::vector<Vec3>& points, std::array<size_t, 3> corner)
    {
        const Vec3 &a = points[corner[0]], &b = points[corner[1]], &c = points[corner[2]];
        // Inverse of [a b c] by the adjugate: rows b x c, c x a, a x b over the determinant.
        const Vec3 r0 = Cross(b, c), r1 = Cross(c, a), r2 = Cross(a, b);
        const double det = Dot(a, r0);
        if (std::fabs(det) < 1e-12) return false;
        Triangle t{corner, {}};
        for (int k = 0; k < 3; ++k) {
            t.inverse[0][k] = r0[k] / det;
            t.inverse[1][k] = r1[k] / det;
            t.inverse[2][k] = r2[k] / det;
        }
        m_Triangles.push_back(t);
        return true;
    }

    std::vector<Triangle> m_Triangles;
};

// Gauss-Legendre nodes and weights on -1..1 (the weights add up to 2).
void GaussLegendre(int n, std::vector<double>& nodes, std::vector<double>& weights)
{
    nodes.resize(n);
    weights.resize(n);
    for (int i = 0; i < n; ++i) {
        double x = std::cos(kPi * (i + 0.75) / (n + 0.5));
        double derivative = 1.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            const double p = Legendre(n, x);
            derivative = n * (x * p - Legendre(n - 1, x)) / (x * x - 1.0);
            const double step = p / derivative;
            x -= step;
            if (std::fabs(step) < 1e-16) break;
        }
        nodes[i] = x;
        weights[i] = 2.0 / ((1.0 - x * x) * derivative * derivative);
    }
}

// The dense virtual rig: on the horizon, 720 speakers half a degree apart; on the sphere, a
// Gauss-Legendre product grid, exact for the products of harmonics of every order designed.
std::vector<VirtualSpeaker> VirtualRig(DesignShape shape)
{
    std::vector<VirtualSpeaker> rig;
    if (shape == DesignShape::Horizontal) {
        constexpr int kRing = 720;
        for (int i = 0; i < kRing; ++i) rig.push_back({2.0 * kPi * i / kRing, 0.0, 1.0 / kRing});
        return rig;
    }
    constexpr int kRings = 40, kPerRing = 80;
    std::vector<double> nodes, weights;
    GaussLegendre(kRings, nodes, weights);
    for (int r = 0; r < kRings; ++r)
        for (int i = 0; i < kPerRing; ++i)
            rig.push_back({2.0 * kPi * (i + 0.5 * (r % 2)) / kPerRing, std::asin(nodes[r]), weights[r] / (2.0 * kPerRing)});
    return rig;
}

// Scale of each channel in the sampling decode, so that sum over channels of
// scale * Y_c(a) * Y_c(b) is the sum over orders of (2n + 1) P_n(cos angle) on the sphere and
// 1 + 2 sum cos(n angle) on the horizon (where only sectoral channels count).
std::vector<double> ChannelScales(DesignShape shape, int order)
{
    const size_t channels = AmbisonicChannels(order);
    std::vector<double> scale(channels, 0.0);
    std::vector<double> onAxis(channels);
    EncodeSn3d(order, 0.0, 0.0, onAxis.data());
    for (size_t c = 0; c < channels; ++c) {
        const int n = OrderOfChannel(c);
        if (shape == DesignShape::Sphere) {
            scale[c] = 2.0 * n + 1.0;
        } else if (IsSectoralChannel(c)) {
            // The sectoral harmonics are s_n cos(n az) and s_n sin(n az) on the horizon; s_n is
            // the cosine one's value straight ahead.
            const double s = onAxis[static_cast<size_t>(n) * n + 2 * n];
            scale[c] = n == 0 ? 1.0 : 2.0 / (s * s);
        }
    }
    return scale;
}


// The directions a refinement weighs, with their weights: the horizon every 2.5 degrees, or
// the virtual rig's directions on the side of the sphere the rig covers.
struct Refinement {
    std::vector<Vec3> directions;
    std::vector<double> weights;       // add up to 1
    std::vector<double> targetDb;      // the energy each direction should have (0 dB but where a given imaginary speaker takes a share)
    std::vector<double> harmonics;     // [direction][channel]
};

// Cost of a high-band matrix over the refinement's directions, and its gradient when `gradient`
// is given: per direction, the distance between the unit energy vector and the source (2 - 2
// cos of the angle between them), the energy's distance from 1 in decibels and the energy
// vector's shortfall from the length max-rE gives, weighted.
double RefinementCost(const Refinement& r, const std::vector<double>& high, const std::vector<Vec3>& units,
                      size_t channels, double targetLength, std::vector<double>* gradient)
{
    constexpr double kEnergyWeight = 0.004;  // 1 dB weighs as much as about 5 degrees
    constexpr double kLengthWeight = 1.0;
    const double kDb = 10.0 / std::log(10.0);
    const size_t speakers = units.size();
    std::vector<double> g(speakers), dg(speakers);
    if (gradient) gradient->assign(high.size(), 0.0);
    double cost = 0.0;
    for (size_t d = 0; d < r.directions.size(); ++d) {
        const double* y = &r.harmonics[d * channels];
        const Vec3& source = r.directions[d];
        double energy = 0.0;
        Vec3 v{};
        for (size_t s = 0; s < speakers; ++s) {
            double sum = 0.0;
            for (size_t c = 0; c < channels; ++c) sum += high[s * channels + c] * y[c];
            g[s] = sum;
            energy += sum * sum;
            for (int k = 0; k < 3; ++k) v[k] += sum * sum * units[s][k];
        }
        if (energy <= 0.0) continue;
        const double length = Norm(v);
        if (length <= 0.0) continue;
        const double along = Dot(v, source);
        const double db = kDb * std::log(energy) - r.targetDb[d];
        const double shortfall = std::max(0.0, targetLength - length / energy);
        const double w = r.weights[d];
        cost += w * ((2.0 - 2.0 * along / length) + kEnergyWeight * db * db + kLengthWeight * shortfall * shortfall);
        if (!gradient) continue;
        // Derivatives with respect to V and E, then to each speaker's gain.
        Vec3 dV;
        for (int k = 0; k < 3; ++k)
            dV[k] = -2.0 * (source[k] / length - along * v[k] / (length * length * length))
                    - 2.0 * kLengthWeight * shortfall * v[k] / (length * energy);
        const double dE = 2.0 * kEnergyWeight * db * kDb / energy + 2.0 * kLengthWeight * shortfall * length / (energy * energy);
        for (size_t s = 0; s < speakers; ++s) {
            const double dgs = w * 2.0 * g[s] * (Dot(dV, units[s]) + dE);
            double* row = &(*gradient)[s * channels];
            for (size_t c = 0; c < channels; ++c) row[c] += dgs * y[c];
        }
    }
    return cost;
}

// The directions the refinement weighs: the horizon every 2.5 degrees for a horizontal rig,
// else the virtual rig's directions on the side of the sphere the rig covers; the front (where
// images matter most and a rig's speakers stand closest) weighs up to six times as much.
Refinement RefinementDirections(DesignShape shape, int order, bool nadirAdded, bool zenithAdded, uint64_t carried,
                                const std::function<double(double, double)>& realShare)
{
    constexpr double kFrontEmphasis = 5.0;
    constexpr double kLeastShare = 1e-3;  // below it (-30 dB) a direction is left to its imaginary speaker
    Refinement r;
    const auto add = [&r, &realShare](double azimuth, double elevation, double weight) {
        const double share = realShare(azimuth, elevation);
        if (share < kLeastShare) return;
        r.targetDb.push_back(share == 1.0 ? 0.0 : 10.0 * std::log10(share));
        const Vec3 u = UnitVector(azimuth, elevation);
        r.directions.push_back(u);
        r.weights.push_back(weight * (1.0 + kFrontEmphasis * std::pow((1.0 + u[0]) / 2.0, 4)));
    };
    if (shape == DesignShape::Horizontal) {
        for (int i = 0; i < 144; ++i) add(2.0 * kPi * i / 144, 0.0, 1.0);
    } else {
        for (const VirtualSpeaker& v : VirtualRig(DesignShape::Sphere))
            if (!(nadirAdded && v.elevation < 0) && !(zenithAdded && v.elevation > 0)) add(v.azimuth, v.elevation, v.weight);
        // A mixed-order set images best on the horizon: it weighs as much as the rest.
        if (carried != 0)
            for (int i = 0; i < 144; ++i) add(2.0 * kPi * i / 144, 0.0, 1.0 / 144);
    }
    double total = 0.0;
    for (double w : r.weights) total += w;
    for (double& w : r.weights) w /= total;
    const size_t channels = AmbisonicChannels(order);
    r.harmonics.resize(r.directions.size() * channels);
    for (size_t d = 0; d < r.directions.size(); ++d) {
        const Vec3& u = r.directions[d];
        double* y = &r.harmonics[d * channels];
        EncodeSn3d(order, std::atan2(u[1], u[0]), std::asin(std::max(-1.0, std::min(1.0, u[2]))), y);
        // A source reaches the decoder through the carried channels only, and the gradient of a
        // channel it does not carry is then 0: those gains stay 0.
        for (size_t c = 0; c < channels; ++c)
            if (!Carries(carried, c)) y[c] = 0.0;
    }
    return r;
}

// Gradient descent on RefinementCost with a step that grows while it pays and halves when it
// does not; at most 300 steps, fewer for large rigs and orders so that design stays quick.
void RefineHighBand(const Refinement& r, std::vector<double>& high, const std::vector<Vec3>& units, size_t channels,
                    double targetLength)
{
    constexpr double kWorkBudget = 2e7;  // multiply-adds of cost evaluations
    const double perIteration = 2.0 * static_cast<double>(r.directions.size() * high.size());
    const int iterations = static_cast<int>(std::min(300.0, kWorkBudget / perIteration));
    std::vector<double> gradient, trial(high.size());
    double cost = RefinementCost(r, high, units, channels, targetLength, &gradient);
    double step = 0.05;
    for (int i = 0; i < iterations && step > 1e-9; ++i) {
        for (size_t k = 0; k < high.size(); ++k) trial[k] = high[k] - step * gradient[k];
        const double trialCost = RefinementCost(r, trial, units, channels, targetLength, nullptr);
        if (trialCost < cost) {
            high.swap(trial);
            cost = RefinementCost(r, high, units, channels, targetLength, &gradient);
            step *= 1.5;
        } else {
            step *= 0.5;
        }
    }
}

void ValidateAndPlace(const SpeakerDirection* speakers, size_t count, std::vector<Vec3>& units, DesignResult& result,
                      size_t* clash)
{
    result = DesignResult::Ok;
    if (count < 2) {
        result = DesignResult::TooFewSpeakers;
        return;
    }
    if (count > kMaxRigSpeakers) {
        result = DesignResult::TooManySpeakers;
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const SpeakerDirection& s = speakers[i];
        if (!std::isfinite(s.azimuthDeg) || !std::isfinite(s.elevationDeg) || std::fabs(s.elevationDeg) > 90.0) {
            result = DesignResult::BadDirection;
            if (clash) clash[0] = i;
            return;
        }
        units.push_back(UnitVector(s.azimuthDeg * kDegree, s.elevationDeg * kDegree));
    }
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j)
            if (AngleDeg(units[i], units[j]) < kMinSpeakerSeparationDeg) {
                result = DesignResult::SameDirection;
                if (clash) {
                    clash[0] = i;
                    clash[1] = j;
                }
                return;
            }
}

DesignResult Design(const SpeakerDirection* speakers, size_t count, int order, DesignedDecoder& out, size_t* clash,
                    const DesignOptions& options)
{
    if (order < 1 || order > kMaxAmbisonicOrder) return DesignResult::BadOrder;
    std::vector<Vec3> units;
    DesignResult result;
    ValidateAndPlace(speakers, count, units, result, clash);
    if (result != DesignResult::Ok) return result;
    // The given imaginary speakers, checked as the real ones and against them.
    const std::vector<SpeakerDirection>& given = options.imaginary;
    std::vector<SpeakerDirection> all(speakers, speakers + count);
    all.insert(all.end(), given.begin(), given.end());
    std::vector<Vec3> allUnits;
    if (!given.empty()) {
        ValidateAndPlace(all.data(), all.size(), allUnits, result, clash);
        if (result != DesignResult::Ok) return result;
    }
    // The carried set must hold W and the first-order channels for the design to mean anything.
    const uint64_t carried = options.carried;
    if (carried != 0 && (carried & 0xF) != 0xF) return DesignResult::BadOrder;

    double lowest = 90.0, highest = -90.0;
    for (size_t i = 0; i < count; ++i) {
        lowest = std::min(lowest, speakers[i].elevationDeg);
        highest = std::max(highest, speakers[i].elevationDeg);
    }
    const DesignShape shape = std::max(std::fabs(lowest), std::fabs(highest)) <= kHorizontalRigToleranceDeg
                                  ? DesignShape::Horizontal
                                  : DesignShape::Sphere;
    // How far the panning set reaches towards the poles, the given imaginary speakers included.
    double lowestPanned = lowest, highestPanned = highest;
    for (const SpeakerDirection& g : given) {
        lowestPanned = std::min(lowestPanned, g.elevationDeg);
        highestPanned = std::max(highestPanned, g.elevationDeg);
    }

    // The panning set: the real speakers, then imaginary ones where the rig leaves a hole.
    std::unique_ptr<Panner> panner;
    size_t imaginary = 0, givenPanned = 0;  // imaginary speakers in all, and the given ones among them
    bool nadirAdded = false, zenithAdded = false;
    if (shape == DesignShape::Horizontal) {
        std::vector<double> azimuths;
        for (size_t i = 0; i < count; ++i) azimuths.push_back(speakers[i].azimuthDeg * kDegree);
        for (const SpeakerDirection& g : given)
            if (std::fabs(g.elevationDeg) <= kHorizontalRigToleranceDeg) {
                azimuths.push_back(g.azimuthDeg * kDegree);
                ++imaginary;
            }
        givenPanned = imaginary;
        std::vector<double> sorted;
        for (double a : azimuths) sorted.push_back(std::fmod(std::fmod(a, 2.0 * kPi) + 2.0 * kPi, 2.0 * kPi));
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < sorted.size(); ++i) {
            const double from = sorted[i];
            const double gap = (i + 1 < sorted.size() ? sorted[i + 1] : sorted[0] + 2.0 * kPi) - from;
            const int pieces = static_cast<int>(std::ceil(gap / (kMaxHorizontalGapDeg * kDegree) - 1e-9));
            for (int p = 1; p < pieces; ++p) {
                azimuths.push_back(from + gap * p / pieces);
                ++imaginary;
            }
        }
        panner = std::make_unique<HorizontalPanner>(azimuths);
    } else {
        std::vector<Vec3> points = given.empty() ? units : allUnits;
        givenPanned = given.size();
        // A pole more than 60 degrees from every speaker gets an imaginary speaker, unless one
        // was given near it. Either way the hemisphere towards it is not the rig's to cover.
        if (lowest > -30.0) {
            if (lowestPanned > -30.0) points.push_back({0.0, 0.0, -1.0});
            nadirAdded = true;
        }
        if (highest < 30.0) {
            if (highestPanned < 30.0) points.push_back({0.0, 0.0, 1.0});
            zenithAdded = true;
        }
        imaginary = points.size() - count;
        auto sphere = std::make_unique<SpherePanner>();
        if (!sphere->Build(points)) return DesignResult::NotSurrounding;
        panner = std::move(sphere);
    }

    // The share of a direction's energy that panning leaves outside the given imaginary
    // speakers: what they take is dropped, so neither the energy normalisation nor the
    // refinement asks the real speakers to make it up. 1 without given ones.
    const size_t givenFrom = count, givenTo = count + givenPanned;
    std::vector<double> panGains(count + imaginary);
    const std::function<double(double, double)> realShare = [&](double azimuth, double elevation) {
        if (givenTo == givenFrom) return 1.0;
        std::fill(panGains.begin(), panGains.end(), 0.0);
        panner->Pan(azimuth, elevation, panGains.data());
        double all = 0.0, lost = 0.0;
        for (size_t i = 0; i < panGains.size(); ++i) {
            all += panGains[i] * panGains[i];
            if (i >= givenFrom && i < givenTo) lost += panGains[i] * panGains[i];
        }
        return all > 0.0 ? 1.0 - lost / all : 1.0;
    };

    // Sampling decode to the virtual rig, panned onto the real speakers: one matrix
    // M[s][c] = sum over virtual speakers v of weight_v * gain_s(v) * scale_c * Y_c(v).
    const size_t channels = AmbisonicChannels(order);
    const size_t panned = count + imaginary;
    std::vector<double> scale = ChannelScales(shape, order);
    for (size_t c = 0; c < channels; ++c)
        if (!Carries(carried, c)) scale[c] = 0.0;
    std::vector<double> matrix(count * channels, 0.0);
    std::vector<double> harmonics(channels), gains(panned);
    const std::vector<VirtualSpeaker> virtualRig = VirtualRig(shape);
    for (const VirtualSpeaker& v : virtualRig) {
        std::fill(gains.begin(), gains.end(), 0.0);
        panner->Pan(v.azimuth, v.elevation, gains.data());
        EncodeSn3d(order, v.azimuth, v.elevation, harmonics.data());
        for (size_t c = 0; c < channels; ++c) harmonics[c] *= scale[c] * v.weight;
        for (size_t s = 0; s < count; ++s) {
            if (gains[s] == 0.0) continue;
            double* row = &matrix[s * channels];
            for (size_t c = 0; c < channels; ++c) row[c] += gains[s] * harmonics[c];
        }
    }

    // The high band is then refined towards images in the direction of their source and an even
    // energy (see RefinementCost), from the all-round design as its starting point.
    constexpr double kRefinedLengthShare = 0.9;

    // The two bands: per-order weights, then each band scaled to a mean energy of 1 over the
    // directions the rig covers (the horizon; or the sphere, less the hemisphere towards an
    // imaginary pole).
    std::vector<double> high(order + 1), low(order + 1, 1.0);
    if (shape == DesignShape::Sphere)
        MaxReWeightsSphere(order, high.data());
    else
        MaxReWeightsHorizon(order, high.data());
    // Per channel: a mixed-order set weighs its sectoral channels as a decode of its order and
    // the others as one of the highest order it carries in full.
    std::vector<double> channelHigh(channels);
    for (size_t c = 0; c < channels; ++c) channelHigh[c] = high[OrderOfChannel(c)];
    const double targetLength = kRefinedLengthShare * high[1];
    if (carried != 0 && shape == DesignShape::Sphere) {
        int full = 1;
        while (full < order && (carried & ChannelsMask(full + 1)) == ChannelsMask(full + 1)) ++full;
        std::vector<double> full3d(full + 1);
        MaxReWeightsSphere(full, full3d.data());
        for (size_t c = 0; c < channels; ++c) {
            const int n = OrderOfChannel(c);
            channelHigh[c] = !Carries(carried, c) ? 0.0 : IsSectoralChannel(c) ? high[n] : n <= full ? full3d[n] : 0.0;
        }
    }
    DesignedDecoder designed;
    designed.order = order;
    designed.shape = shape;
    designed.speakers = count;
    designed.channels = channels;
    designed.imaginarySpeakers = imaginary;
    // A mixed-order set is there for the horizon: its energy is made even there, where it
    // images best, so that its sources on the horizon come as loud as a full set's.
    const bool mixed = carried != 0 && shape == DesignShape::Sphere;
    const std::vector<VirtualSpeaker> normalisedOver = mixed ? VirtualRig(DesignShape::Horizontal) : virtualRig;
    for (int band = 0; band < 2; ++band) {
        const std::vector<double>& weights = band == 0 ? low : high;
        std::vector<double>& gainsOut = band == 0 ? designed.low : designed.high;
        gainsOut.resize(count * channels);
        for (size_t s = 0; s < count; ++s)
            for (size_t c = 0; c < channels; ++c)
                gainsOut[s * channels + c] =
                    matrix[s * channels + c] * (band == 0 ? weights[OrderOfChannel(c)] : channelHigh[c]);
        double energy = 0.0, covered = 0.0;
        for (const VirtualSpeaker& v : normalisedOver) {
            if ((nadirAdded && v.elevation < 0) || (zenithAdded && v.elevation > 0)) continue;
            EncodeSn3d(order, v.azimuth, v.elevation, harmonics.data());
            for (size_t s = 0; s < count; ++s) {
                double g = 0;
                for (size_t c = 0; c < channels; ++c) g += gainsOut[s * channels + c] * harmonics[c];
                energy += v.weight * g * g;
            }
            covered += v.weight * realShare(v.azimuth, v.elevation);
        }
        const double factor = energy > 0 ? std::sqrt(covered / energy) : 1.0;
        for (double& g : gainsOut) g *= factor;
    }
    RefineHighBand(RefinementDirections(shape, order, nadirAdded, zenithAdded, carried, realShare), designed.high, units,
                   channels, targetLength);
    out = std::move(designed);
    return DesignResult::Ok;
}

}  // namespace

const char* DescribeDesignResult(DesignResult result)
{
    switch (result) {
        case DesignResult::Ok: return "the decoder was designed";
        case DesignResult::TooFewSpeakers: return "a rig needs at least two speakers";
        case DesignResult::TooManySpeakers: return "a rig has at most 64 speakers";
        case DesignResult::BadDirection: return "a speaker's azimuth or elevation is not a number of degrees in range (elevation -90 to 90)";
        case DesignResult::SameDirection: return "two speakers stand in the same place";
        case DesignResult::NotSurrounding: return "the speakers do not surround the listener, so no decoder can be designed for them";
        case DesignResult::BadOrder: return "the order is outside 1 to 7";
        case DesignResult::OutOfMemory: return "out of memory";
    }
    return "unknown result";
}

DesignResult DesignAllRound(const SpeakerDirection* speakers, size_t count, int order, DesignedDecoder& out,
                            size_t* firstClash, const DesignOptions& options)
{
    if (!speakers && count > 0) return DesignResult::TooFewSpeakers;
    try {
        return Design(speakers, count, order, out, firstClash, options);
    } catch (const std::bad_alloc&) {
        return DesignResult::OutOfMemory;
    }
}

DecodeMeasure MeasureDecode(const DesignedDecoder& decoder, const SpeakerDirection* speakers, double azimuthDeg,
                            double elevationDeg)
{
    std::vector<double> harmonics(decoder.channels);
    EncodeSn3d(decoder.order, azimuthDeg * kDegree, elevationDeg * kDegree, harmonics.data());
    const Vec3 source = UnitVector(azimuthDeg * kDegree, elevationDeg * kDegree);
    double energy = 0, amplitude = 0;
    Vec3 re{}, rv{};
    for (size_t s = 0; s < decoder.speakers; ++s) {
        double high = 0, low = 0;
        for (size_t c = 0; c < decoder.channels; ++c) {
            high += decoder.high[s * decoder.channels + c] * harmonics[c];
            low += decoder.low[s * decoder.channels + c] * harmonics[c];
        }
        const Vec3 u = UnitVector(speakers[s].azimuthDeg * kDegree, speakers[s].elevationDeg * kDegree);
        energy += high * high;
        amplitude += low;
        for (int r = 0; r < 3; ++r) {
            re[r] += high * high * u[r];
            rv[r] += low * u[r];
        }
    }
    DecodeMeasure m;
    m.energy = energy;
    if (energy > 0) {
        for (double& v : re) v /= energy;
        m.reLength = Norm(re);
        m.reErrorDeg = m.reLength > 0 ? AngleDeg(re, source) : 180.0;
    }
    if (amplitude != 0) {
        for (double& v : rv) v /= amplitude;
        m.rvLength = Norm(rv);
        m.rvErrorDeg = m.rvLength > 0 ? AngleDeg(rv, source) : 180.0;
    }
    return m;
}

}  // namespace decoder
