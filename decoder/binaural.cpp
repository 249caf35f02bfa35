#include "decoder/binaural.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "decoder/head_model.h"

namespace decoder {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRadiansPerDegree = kPi / 180.0;

// Partition of the block convolution, in frames: the block its FFTs work on, and so the lag.
constexpr size_t kPartitionFrames = static_cast<size_t>(kBinauralLatencyFrames);

constexpr size_t kMaxResponses = size_t{1} << 20;
constexpr int32_t kMaxBlockFrames = int32_t{1} << 24;

void UnitVector(const Direction& d, double v[3])
{
    const double az = d.azimuthDeg * kRadiansPerDegree, el = d.elevationDeg * kRadiansPerDegree;
    v[0] = std::cos(el) * std::cos(az);
    v[1] = std::cos(el) * std::sin(az);
    v[2] = std::sin(el);
}

}  // namespace

bool ResponseUsable(const DirectionalResponse& r)
{
    if (!std::isfinite(r.azimuthDeg) || !std::isfinite(r.elevationDeg)) return false;
    if (r.left.empty() || r.left.size() != r.right.size() || r.left.size() > kMaxResponseFrames) return false;
    for (size_t i = 0; i < r.left.size(); ++i)
        if (!std::isfinite(r.left[i]) || !std::isfinite(r.right[i])) return false;
    return true;
}


std::vector<Direction> SpeakerDirections(const Rig& rig)
{
    std::vector<Direction> d;
    for (const Speaker& s : rig.speakers) d.push_back({s.azimuth, s.elevation});
    return d;
}

size_t NearestDirection(const Direction& target, const Direction* candidates, size_t count)
{
    double t[3];
    UnitVector(target, t);
    size_t best = 0;
    double bestDot = -2.0;
    for (size_t i = 0; i < count; ++i) {
        double c[3];
        UnitVector(candidates[i], c);
        const double dot = t[0] * c[0] + t[1] * c[1] + t[2] * c[2];
        if (dot > bestDot) {
            bestDot = dot;
            best = i;
        }
    }
    return best;
}

PrepareResult PrepareVirtualSpeakers(const StreamDescription& stream, const BinauralSettings& settings,
                                     VirtualSpeakers& out)
{
    if (!std::isfinite(stream.sampleRate) || stream.sampleRate < kMinBinauralRate ||
        stream.sampleRate > kMaxBinauralRate)
        return PrepareResult::BadSampleRate;
    if (stream.inChannels != 3 && stream.inChannels != 4) return PrepareResult::BadChannels;
    if (stream.maxBlockFrames < 1 || stream.maxBlockFrames > kMaxBlockFrames) return PrepareResult::BadBlockFrames;
    const Rig& rig = settings.rig ? *settings.rig : BuiltInRig(kDefaultHeadphoneLayout);
    const std::vector<Direction> directions = SpeakerDirections(rig);
    if (directions.empty() || directions.size() > 8) return PrepareResult::BadRig;
    if (settings.responseCount > kMaxResponses || (settings.responseCount > 0 && settings.responses == nullptr))
        return PrepareResult::BadResponses;
    for (size_t i = 0; i < settings.responseCount; ++i)
        if (!ResponseUsable(settings.responses[i])) return PrepareResult::BadResponses;

    VirtualSpeakers v;
    v.coefficients = rig.table;
    v.speakers = rig.Channels();
    v.left.resize(v.speakers);
    v.right.resize(v.speakers);
    std::vector<Direction> measured;
    for (size_t i = 0; i < settings.responseCount; ++i)
        measured.push_back({settings.responses[i].azimuthDeg, settings.responses[i].elevationDeg});
    size_t longest = 0;
    for (uint32_t s = 0; s < v.speakers; ++s) {
        if (measured.empty()) {
            RenderSphericalHead(directions[s].azimuthDeg, directions[s].elevationDeg, stream.sampleRate, v.left[s],
                                v.right[s]);
        } else {
            const DirectionalResponse& r = settings.responses[NearestDirection(directions[s], measured.data(), measured.size())];
            v.left[s] = r.left;
            v.right[s] = r.right;
        }
        longest = std::max(longest, v.left[s].size());
    }
    for (uint32_t s = 0; s < v.speakers; ++s) {
        v.left[s].resize(longest, 0.0);
        v.right[s].resize(longest, 0.0);
    }
    // A source of level 1 has W = 1/sqrt(2); at 0 Hz W is shelved by 2 - LowGain and reaches
    // every speaker with its W gain, while X, Y and Z cancel over a balanced layout.
    double wSum = 0.0;
    for (uint32_t s = 0; s < v.speakers; ++s) wSum += v.coefficients.Gains[0][s];
    v.normalisation = std::sqrt(2.0) / ((2.0 - v.coefficients.LowGain) * wSum);
    out = std::move(v);
    return PrepareResult::Ok;
}

PrepareResult BinauralDecoder::Prepare(const StreamDescription& stream, const BinauralSettings& settings)
{
    try {
        VirtualSpeakers v;
        const PrepareResult prepared = PrepareVirtualSpeakers(stream, settings, v);
        if (prepared != PrepareResult::Ok) return prepared;

        bool usesZ = false;
        for (uint32_t s = 0; s < v.speakers; ++s) usesZ = usesZ || v.coefficients.Gains[3][s] != 0.0;
        const size_t channels = stream.inChannels == 4 && usesZ ? 4 : 3;
        const size_t taps = v.left[0].size();
        // Ear filter of each input channel: the sum over speakers of gain × speaker response.
        std::vector<std::vector<std::vector<double>>> filters(channels, std::vector<std::vector<double>>(2));
        for (size_t ch = 0; ch < channels; ++ch) {
            for (int ear = 0; ear < 2; ++ear) {
                std::vector<double>& f = filters[ch][ear];
                f.assign(taps, 0.0);
                for (uint32_t s = 0; s < v.speakers; ++s) {
                    const double gain = v.coefficients.Gains[ch][s] * v.normalisation;
                    const std::vector<double>& h = ear == 0 ? v.left[s] : v.right[s];
                    for (size_t k = 0; k < taps; ++k) f[k] += gain * h[k];
                }
            }
        }

        // W with 2 - LowGain / 2 - HighGain, X and Y with LowGain / HighGain, memory cleared.
        const double a = AllPass::CoefficientFor(kCrossoverHz, stream.sampleRate);
        if (!std::isfinite(a)) return PrepareResult::BadSampleRate;
        kernels::ShelfBank bank{};
        for (int k = 0; k < 3; ++k) {
            bank.coefficient[k] = a;
            bank.lowGain[k] = k == 0 ? 2.0 - v.coefficients.LowGain : v.coefficients.LowGain;
            bank.highGain[k] = k == 0 ? 2.0 - v.coefficients.HighGain : v.coefficients.HighGain;
        }
        std::vector<double> shelved(channels * static_cast<size_t>(stream.maxBlockFrames));
        // Last, as it keeps its previous preparation when it fails.
        if (!m_Convolver.Setup(filters, kPartitionFrames)) return PrepareResult::OutOfMemory;

        m_Shelves = bank;
        m_ShelfKernel = kernels::FastestShelfKernel();
        m_Shelved.swap(shelved);
        m_Capacity = stream.maxBlockFrames;
        m_Ready = true;
        return PrepareResult::Ok;
    } catch (const std::bad_alloc&) {
        return PrepareResult::OutOfMemory;
    }
}

void BinauralDecoder::Reset()
{
    if (!m_Ready) return;
    for (int k = 0; k < 3; ++k) m_Shelves.prevIn[k] = m_Shelves.prevOut[k] = 0.0;
    m_Convolver.Reset();
}

void BinauralDecoder::Process(const double* const* in, double* const* out, int32_t n)
{
    if (!m_Ready) return;
    const size_t channels = m_Convolver.Inputs();
    const auto capacity = static_cast<size_t>(m_Capacity);
    double* planes[4] = {};
    for (size_t ch = 0; ch < channels; ++ch) planes[ch] = &m_Shelved[ch * capacity];
    for (int32_t done = 0; done < n;) {
        const int32_t take = std::min(n - done, m_Capacity);
        for (size_t ch = 0; ch < channels; ++ch)
            std::memcpy(planes[ch], in[ch] + done, static_cast<size_t>(take) * sizeof(double));
        m_ShelfKernel(m_Shelves, planes[0], planes[1], planes[2], take);
        double* ears[2] = {out[0] + done, out[1] + done};
        m_Convolver.Process(planes, ears, static_cast<size_t>(take));
        done += take;
    }
}

}  // namespace decoder
