#include "decoder/decoder_state.h"

#include "decoder/avx2_kernel.h"

#include <cmath>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace decoder {

DecoderState::AllocateResult DecoderState::Allocate(uint32_t inChannels, uint32_t speakers, int32_t capacity,
                                                    double sampleRate, double crossoverHz)
{
    if ((inChannels != 3 && inChannels != 4) || speakers == 0 || speakers > SamplePlanes::kMaxChannels ||
        capacity <= 0)
        return AllocateResult::BadLayout;
    if (!std::isfinite(AllPass::CoefficientFor(crossoverHz, sampleRate))) return AllocateResult::BadSampleRate;

    std::unique_ptr<AllPass> shelves[3];
    for (auto& shelf : shelves) {
        shelf.reset(new (std::nothrow) AllPass(capacity));
        if (!shelf || shelf->Capacity() != capacity) return AllocateResult::OutOfMemory;
        shelf->SetFrequency(crossoverHz, sampleRate);
    }
    SamplePlanes in, out;
    if (!in.Allocate(inChannels, capacity) || !out.Allocate(speakers, capacity)) return AllocateResult::OutOfMemory;

    m_nInChannels = inChannels;
    m_nSpeakers = speakers;
    m_pShelfW = std::move(shelves[0]);
    m_pShelfX = std::move(shelves[1]);
    m_pShelfY = std::move(shelves[2]);
    m_InPlanes.Swap(in);
    m_OutPlanes.Swap(out);
    return AllocateResult::Ok;
}

bool DecoderState::IsReady() const
{
    return m_pShelfW && m_pShelfX && m_pShelfY && (m_nInChannels == 3 || m_nInChannels == 4) &&
           m_InPlanes.Channels() == m_nInChannels && m_nSpeakers >= 1 &&
           m_OutPlanes.Channels() == m_nSpeakers && m_InPlanes.Capacity() == m_OutPlanes.Capacity();
}

// ---- The block decode -------------------------------------------------------------------

namespace {

// Frames first..n-1 of the gain matrix: each output accumulated from 0.0 in channel order.
void MixPlain(const DecoderCoefficients& c, uint32_t inChannels, uint32_t speakers, double* const* in,
              double* const* out, int32_t first, int32_t n)
{
    for (int32_t f = first; f < n; ++f) {
        for (uint32_t s = 0; s < speakers; ++s) {
            double sum = 0.0;
            for (uint32_t ch = 0; ch < inChannels; ++ch) sum = c.Gains[ch][s] * in[ch][f] + sum;
            out[s][f] = sum;
        }
    }
}

#if defined(__SSE2__)

// The gain matrix with two frames per vector, for NIN inputs and NS speakers known at compile
// time. Each output is accumulated from 0.0 in channel order, as in the plain loop.
template <uint32_t NIN, uint32_t NS>
void MixFast(const DecoderCoefficients& c, double* const* in, double* const* out, int32_t n)
{
    __m128d g[NIN][NS];
    for (uint32_t ch = 0; ch < NIN; ++ch)
        for (uint32_t s = 0; s < NS; ++s) g[ch][s] = _mm_set1_pd(c.Gains[ch][s]);
    const __m128d zero = _mm_setzero_pd();
    int32_t f = 0;
    for (; f + 2 <= n; f += 2) {
        __m128d x[NIN];
        for (uint32_t ch = 0; ch < NIN; ++ch) x[ch] = _mm_loadu_pd(in[ch] + f);
        for (uint32_t s = 0; s < NS; ++s) {
            __m128d sum = _mm_add_pd(_mm_mul_pd(g[0][s], x[0]), zero);
            for (uint32_t ch = 1; ch < NIN; ++ch) sum = _mm_add_pd(_mm_mul_pd(g[ch][s], x[ch]), sum);
            _mm_storeu_pd(out[s] + f, sum);
        }
    }
    MixPlain(c, NIN, NS, in, out, f, n);
}

template <uint32_t NIN>
bool MixFastFor(uint32_t speakers, const DecoderCoefficients& c, double* const* in, double* const* out, int32_t n)
{
    switch (speakers) {
    case 4: MixFast<NIN, 4>(c, in, out, n); return true;
    case 6: MixFast<NIN, 6>(c, in, out, n); return true;
    case 8: MixFast<NIN, 8>(c, in, out, n); return true;
    default: return false;
    }
}

#endif

}  // namespace

bool PathAvailable(DecodePath path)
{
    switch (path) {
    case DecodePath::Scalar: return true;
#if defined(__SSE2__)
    case DecodePath::Sse2: return true;
#else
    case DecodePath::Sse2: return false;
#endif
    case DecodePath::Avx2: return avx2::Supported();
    case DecodePath::Fast: return true;
    }
    return false;
}

void DecoderState::DecodeBlock(double* const* in, double* const* out, int32_t n, DecodePath path)
{
    if (n <= 0 || !IsReady()) return;
    const DecoderCoefficients& c = m_Coefficients;
    if ((path == DecodePath::Avx2 || path == DecodePath::Fast) && avx2::DecodeBlock(*this, in, out, n)) return;
#if defined(__SSE2__)
    if (path != DecodePath::Scalar) {
        ShelfThree(*m_pShelfW, *m_pShelfX, *m_pShelfY, in[0], in[1], in[2], n, 2.0 - c.LowGain,
                   2.0 - c.HighGain, c.LowGain, c.HighGain);
        if (m_nInChannels == 4 && MixFastFor<4>(m_nSpeakers, c, in, out, n)) return;
        if (m_nInChannels == 3 && MixFastFor<3>(m_nSpeakers, c, in, out, n)) return;
        return MixPlain(c, m_nInChannels, m_nSpeakers, in, out, 0, n);
    }
#endif
    m_pShelfW->Shelf(in[0], n, 2.0 - c.LowGain, 2.0 - c.HighGain);
    m_pShelfX->Shelf(in[1], n, c.LowGain, c.HighGain);
    m_pShelfY->Shelf(in[2], n, c.LowGain, c.HighGain);
    MixPlain(c, m_nInChannels, m_nSpeakers, in, out, 0, n);
}

// ---- The whole interleaved path --------------------------------------------------------

void DecoderState::DecodeFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames,
                                DecodePath path)
{
    const size_t bytes = BytesPerSample(format);
    if (bytes == 0 || frames == 0 || !IsReady()) return;
    const size_t inFrameBytes = bytes * m_nInChannels;
    const size_t outFrameBytes = bytes * m_nSpeakers;
    double* const* in = m_InPlanes.data();
    double* const* out = m_OutPlanes.data();

    if ((path == DecodePath::Avx2 || path == DecodePath::Fast) &&
        avx2::DecodeFrames(*this, format, src, dst, frames))
        return;
#if defined(__SSE2__)
    const bool vector = path != DecodePath::Scalar;
#else
    const bool vector = false;
#endif

    // The 128-bit loops work through short runs that stay in the first-level cache from
    // conversion to decode to conversion; blocks split anywhere decode the same.
    constexpr size_t kVectorRun = 256;
    size_t block = static_cast<size_t>(Capacity());
    if (vector && block > kVectorRun) block = kVectorRun;

    while (frames > 0) {
        const int32_t n = static_cast<int32_t>(frames < block ? frames : block);
        if (vector) {
            DeinterleaveBlock(src, n, format, m_nInChannels, in);
            DecodeBlock(in, out, n, DecodePath::Sse2);
            InterleaveBlock(out, m_nSpeakers, n, format, dst);
        } else {
            DeinterleaveBlockScalar(src, n, format, m_nInChannels, in);
            DecodeBlock(in, out, n, DecodePath::Scalar);
            InterleaveBlockScalar(out, m_nSpeakers, n, format, dst);
        }
        src += static_cast<size_t>(n) * inFrameBytes;
        dst += static_cast<size_t>(n) * outFrameBytes;
        frames -= static_cast<size_t>(n);
    }
}

}  // namespace decoder
