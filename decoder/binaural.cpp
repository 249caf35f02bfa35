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

bool ResponseUsable(const DirectionalResponse& r)
{
    if (!std::isfinite(r.azimuthDeg) || !std::isfinite(r.elevationDeg)) return false;
    if (r.left.empty() || r.left.size() != r.right.size() || r.left.size() > kMaxResponseFrames) return false;
    for (size_t i = 0; i < r.left.size(); ++i)
        if (!std::isfinite(r.left[i]) || !std::isfinite(r.right[i])) return false;
    return true;
}

void UnitVector(const Direction& d, double v[3])
{
    const double az = d.azimuthDeg * kRadiansPerDegree, el = d.elevationDeg * kRadiansPerDegree;
    v[0] = std::cos(el) * std::cos(az);
    v[1] = std::cos(el) * std::sin(az);
    v[2] = std::sin(el);
}

}  // namespace

std::vector<Direction> SpeakerDirections(int8_t decodeType)
{
    std::vector<Direction> d;
    switch (decodeType) {
    case 0:
        d = {{45, 0}, {-45, 0}, {135, 0}, {-135, 0}};
        break;
    case 1: {
        DecoderCoefficients c{};
        SetupDecoderCoefficients(c, 1);
        for (int s = 0; s < 4; ++s) d.push_back({std::atan2(c.Gains[2][s], c.Gains[1][s]) / kRadiansPerDegree, 0});
        break;
    }
    case 2: case 3: case 4: case 5: {
        const int n = decodeType <= 3 ? 6 : 8;
        const double offset = decodeType == 3 ? 30.0 : decodeType == 5 ? 22.5 : 0.0;
        for (int i = 0; i < n; ++i) d.push_back({i * 360.0 / n + offset, 0});
        break;
    }
    case 6:
        for (int i = 0; i < 8; ++i) d.push_back({(i % 4) * 90.0, i < 4 ? 45.0 : -45.0});
        break;
    default:
        break;
    }
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

BinauralSetupResult PrepareVirtualSpeakers(const BinauralSettings& settings, VirtualSpeakers& out)
{
    if (!std::isfinite(settings.sampleRate) || settings.sampleRate < kMinBinauralRate ||
        settings.sampleRate > kMaxBinauralRate)
        return BinauralSetupResult::BadSampleRate;
    if (settings.inChannels != 3 && settings.inChannels != 4) return BinauralSetupResult::BadChannels;
    if (settings.maxBlockFrames < 1 || settings.maxBlockFrames > kMaxBlockFrames)
        return BinauralSetupResult::BadBlockFrames;
    const std::vector<Direction> directions = SpeakerDirections(settings.decodeType);
    if (directions.empty()) return BinauralSetupResult::BadLayout;
    if (settings.responseCount > kMaxResponses || (settings.responseCount > 0 && settings.responses == nullptr))
        return BinauralSetupResult::BadResponses;
    for (size_t i = 0; i < settings.responseCount; ++i)
        if (!ResponseUsable(settings.responses[i])) return BinauralSetupResult::BadResponses;

    VirtualSpeakers v;
    SetupDecoderCoefficients(v.coefficients, settings.decodeType);
    v.speakers = SpeakerCount(settings.decodeType);
    v.left.resize(v.speakers);
    v.right.resize(v.speakers);
    std::vector<Direction> measured;
    for (size_t i = 0; i < settings.responseCount; ++i)
        measured.push_back({settings.responses[i].azimuthDeg, settings.responses[i].elevationDeg});
    size_t longest = 0;
    for (uint32_t s = 0; s < v.speakers; ++s) {
        if (measured.empty()) {
            RenderSphericalHead(directions[s].azimuthDeg, directions[s].elevationDeg, settings.sampleRate, v.left[s],
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
    return BinauralSetupResult::Ok;
}

BinauralSetupResult BinauralDecoder::Setup(const BinauralSettings& settings)
{
    try {
        VirtualSpeakers v;
        const BinauralSetupResult prepared = PrepareVirtualSpeakers(settings, v);
        if (prepared != BinauralSetupResult::Ok) return prepared;

        bool usesZ = false;
        for (uint32_t s = 0; s < v.speakers; ++s) usesZ = usesZ || v.coefficients.Gains[3][s] != 0.0;
        const size_t channels = settings.inChannels == 4 && usesZ ? 4 : 3;
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

        auto shelfW = std::make_unique<AllPass>(0);
        auto shelfX = std::make_unique<AllPass>(0);
        auto shelfY = std::make_unique<AllPass>(0);
        if (!shelfW->SetFrequency(kCrossoverHz, settings.sampleRate) ||
            !shelfX->SetFrequency(kCrossoverHz, settings.sampleRate) ||
            !shelfY->SetFrequency(kCrossoverHz, settings.sampleRate))
            return BinauralSetupResult::BadSampleRate;
        std::vector<double> shelved(channels * static_cast<size_t>(settings.maxBlockFrames));
        // Last, as it keeps its previous set-up when it fails.
        if (!m_Convolver.Setup(filters, kPartitionFrames)) return BinauralSetupResult::OutOfMemory;

        m_pShelfW = std::move(shelfW);
        m_pShelfX = std::move(shelfX);
        m_pShelfY = std::move(shelfY);
        m_Shelved.swap(shelved);
        m_Capacity = settings.maxBlockFrames;
        m_InChannels = settings.inChannels;
        m_LowGain = v.coefficients.LowGain;
        m_HighGain = v.coefficients.HighGain;
        m_Ready = true;
        return BinauralSetupResult::Ok;
    } catch (const std::bad_alloc&) {
        return BinauralSetupResult::OutOfMemory;
    }
}

void BinauralDecoder::Reset()
{
    if (!m_Ready) return;
    m_pShelfW->SetMemory(0.0, 0.0);
    m_pShelfX->SetMemory(0.0, 0.0);
    m_pShelfY->SetMemory(0.0, 0.0);
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
        ShelfThree(*m_pShelfW, *m_pShelfX, *m_pShelfY, planes[0], planes[1], planes[2], take, 2.0 - m_LowGain,
                   2.0 - m_HighGain, m_LowGain, m_HighGain);
        double* ears[2] = {out[0] + done, out[1] + done};
        m_Convolver.Process(planes, ears, static_cast<size_t>(take));
        done += take;
    }
}

BinauralSetupResult BinauralReference::Setup(const BinauralSettings& settings)
{
    try {
        VirtualSpeakers v;
        const BinauralSetupResult prepared = PrepareVirtualSpeakers(settings, v);
        if (prepared != BinauralSetupResult::Ok) return prepared;
        const size_t taps = v.left[0].size();
        std::vector<std::vector<double>> history(v.speakers,
                                                 std::vector<double>(taps - 1 + static_cast<size_t>(settings.maxBlockFrames)));
        DecoderState state;
        state.m_Coefficients = v.coefficients;
        switch (state.Allocate(settings.inChannels, v.speakers, settings.maxBlockFrames, settings.sampleRate)) {
        case DecoderState::AllocateResult::Ok: break;
        case DecoderState::AllocateResult::BadSampleRate: return BinauralSetupResult::BadSampleRate;
        case DecoderState::AllocateResult::BadLayout: return BinauralSetupResult::BadLayout;
        default: return BinauralSetupResult::OutOfMemory;
        }
        m_State = std::move(state);
        m_Speakers = std::move(v);
        m_History.swap(history);
        m_Taps = taps;
        m_Capacity = settings.maxBlockFrames;
        return BinauralSetupResult::Ok;
    } catch (const std::bad_alloc&) {
        return BinauralSetupResult::OutOfMemory;
    }
}

void BinauralReference::Process(const double* const* in, double* const* out, int32_t n)
{
    if (m_Capacity == 0) return;
    for (int32_t done = 0; done < n;) {
        const int32_t take = std::min(n - done, m_Capacity);
        const auto frames = static_cast<size_t>(take);
        for (uint32_t ch = 0; ch < m_State.m_nInChannels; ++ch)
            std::memcpy(m_State.m_InPlanes[ch], in[ch] + done, frames * sizeof(double));
        m_State.DecodeBlock(m_State.m_InPlanes.data(), m_State.m_OutPlanes.data(), take);
        for (uint32_t s = 0; s < m_Speakers.speakers; ++s)
            std::memcpy(&m_History[s][m_Taps - 1], m_State.m_OutPlanes[s], frames * sizeof(double));
        for (size_t f = 0; f < frames; ++f) {
            double left = 0.0, right = 0.0;
            for (uint32_t s = 0; s < m_Speakers.speakers; ++s) {
                const double* feed = &m_History[s][m_Taps - 1 + f];
                for (size_t k = 0; k < m_Taps; ++k) {
                    left += m_Speakers.left[s][k] * feed[-static_cast<ptrdiff_t>(k)];
                    right += m_Speakers.right[s][k] * feed[-static_cast<ptrdiff_t>(k)];
                }
            }
            out[0][done + f] = left * m_Speakers.normalisation;
            out[1][done + f] = right * m_Speakers.normalisation;
        }
        for (uint32_t s = 0; s < m_Speakers.speakers; ++s)
            std::memmove(m_History[s].data(), &m_History[s][frames], (m_Taps - 1) * sizeof(double));
        done += take;
    }
}

}  // namespace decoder
