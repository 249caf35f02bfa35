#include "tools/bformat-decode/level_meter.h"

#include <algorithm>
#include <limits>

#if defined(__SSE2__) && !defined(DURAZODO_NO_X86_VECTOR)
#include <emmintrin.h>
#endif

namespace bformat {

namespace {

// Samples of channel `c` at or beyond either end of the range, over `frames` frames.
template <typename Sample>
uint64_t CountAtEnds(const Sample* s, size_t frames, size_t channels, size_t c, Sample low, Sample high)
{
    uint64_t hits = 0;
    for (size_t f = 0; f < frames; ++f) hits += (s[f * channels + c] <= low) | (s[f * channels + c] >= high);
    return hits;
}

// Extremes per channel over whole frames; the raw values are compared and divided once at the
// end. Full-scale hits are counted only in channels whose extremes reach an end, which is
// rare, so the common loop does nothing but compare. With the channel count fixed at compile
// time (4, the decoder's speakers) that loop runs as straight vector code.
template <size_t Channels, typename Sample>
void ScanFixed(const Sample* s, size_t frames, size_t channels, Sample low, Sample high, double fullScale,
               bool countClips, std::vector<double>& peaks, std::vector<uint64_t>& clipped)
{
    const size_t n = Channels ? Channels : channels;
    for (size_t c0 = 0; c0 < n; c0 += 4) {
        Sample lows[4] = {0, 0, 0, 0}, highs[4] = {0, 0, 0, 0};
        const size_t width = n - c0 < 4 ? n - c0 : 4;
        if (Channels == 4) {
            for (size_t f = 0; f < frames; ++f) {
                for (size_t c = 0; c < 4; ++c) {
                    const Sample v = s[f * 4 + c];
                    lows[c] = v < lows[c] ? v : lows[c];
                    highs[c] = v > highs[c] ? v : highs[c];
                }
            }
        } else {
            for (size_t f = 0; f < frames; ++f) {
                for (size_t c = 0; c < width; ++c) {
                    const Sample v = s[f * n + c0 + c];
                    lows[c] = v < lows[c] ? v : lows[c];
                    highs[c] = v > highs[c] ? v : highs[c];
                }
            }
        }
        for (size_t c = 0; c < width; ++c) {
            const double m = std::max(-static_cast<double>(lows[c]), static_cast<double>(highs[c])) / fullScale;
            peaks[c0 + c] = std::max(peaks[c0 + c], m);
            if (countClips && (lows[c] <= low || highs[c] >= high)) {
                clipped[c0 + c] += CountAtEnds(s, frames, n, c0 + c, low, high);
            }
        }
    }
}

template <typename Sample>
void Scan(const Sample* s, size_t frames, Sample low, Sample high, double fullScale, bool countClips,
          std::vector<double>& peaks, std::vector<uint64_t>& clipped)
{
    if (peaks.size() == 4) return ScanFixed<4>(s, frames, 4, low, high, fullScale, countClips, peaks, clipped);
    ScanFixed<0>(s, frames, peaks.size(), low, high, fullScale, countClips, peaks, clipped);
}

#if defined(__SSE2__) && !defined(DURAZODO_NO_X86_VECTOR)
// Four channels of 16-bit samples, two frames per 128-bit step: lanes 0-3 and 4-7 hold the
// same channels and are folded together at the end; an odd last frame goes through the
// plain loop.
void Scan16Quad(const int16_t* s, size_t frames, std::vector<double>& peaks, std::vector<uint64_t>& clipped)
{
    const size_t pairs = frames / 2;
    __m128i low = _mm_setzero_si128(), high = _mm_setzero_si128();
    for (size_t i = 0; i < pairs; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i * 8));
        low = _mm_min_epi16(low, v);
        high = _mm_max_epi16(high, v);
    }
    int16_t lows[8], highs[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lows), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(highs), high);
    for (size_t c = 0; c < 4; ++c) {
        const int16_t lowest = std::min(lows[c], lows[c + 4]), highest = std::max(highs[c], highs[c + 4]);
        peaks[c] = std::max(peaks[c], std::max(-double(lowest), double(highest)) / 32768.0);
        if (lowest == INT16_MIN || highest == INT16_MAX) {
            clipped[c] += CountAtEnds<int16_t>(s, pairs * 2, 4, c, INT16_MIN, INT16_MAX);
        }
    }
    if (frames % 2) ScanFixed<4, int16_t>(s + pairs * 8, 1, 4, INT16_MIN, INT16_MAX, 32768.0, true, peaks, clipped);
}
#endif

}  // namespace

void LevelMeter::Reset(unsigned channels)
{
    m_peaks.assign(channels, 0.0);
    m_clipped.assign(channels, 0);
}

void LevelMeter::Add(const int16_t* samples, size_t frames)
{
#if defined(__SSE2__) && !defined(DURAZODO_NO_X86_VECTOR)
    if (m_peaks.size() == 4) return Scan16Quad(samples, frames, m_peaks, m_clipped);
#endif
    AddPlain(samples, frames);
}

void LevelMeter::AddPlain(const int16_t* samples, size_t frames)
{
    Scan<int16_t>(samples, frames, INT16_MIN, INT16_MAX, 32768.0, true, m_peaks, m_clipped);
}

void LevelMeter::Add(const int32_t* samples, size_t frames, int32_t top)
{
    Scan<int32_t>(samples, frames, INT32_MIN, top, 2147483648.0, true, m_peaks, m_clipped);
}

void LevelMeter::Add(const float* samples, size_t frames)
{
    const float infinity = std::numeric_limits<float>::infinity();
    Scan<float>(samples, frames, -infinity, infinity, 1.0, false, m_peaks, m_clipped);
}

}  // namespace bformat
