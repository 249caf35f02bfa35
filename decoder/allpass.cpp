#include "decoder/allpass.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace decoder {

AllPass::AllPass(int32_t capacity)
    : m_SampleRate(0.0), m_Frequency(0.0), m_Coefficient(0.0), m_pScratch(nullptr),
      m_PrevIn(0.0), m_PrevOut(0.0), m_Capacity(0)
{
    SetFrequency(700.0, 44100.0);
    if (capacity > 0) {
        m_pScratch = new (std::nothrow) double[static_cast<size_t>(capacity)];
        if (m_pScratch) m_Capacity = capacity;
    }
}

AllPass::~AllPass()
{
    delete[] m_pScratch;
}

double AllPass::CoefficientFor(double frequency, double sampleRate)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (!std::isfinite(sampleRate) || !(sampleRate > 0.0) || !std::isfinite(frequency)) return nan;
    const double w = frequency / sampleRate;
    const double c = std::cos(6.283185307179586 * w);
    // The smaller root of c*a^2 - 2*a + c = 0.
    const double a = (2.0 - std::sqrt((-2.0) * (-2.0) - 4.0 * c * c)) / (2.0 * c);
    return std::isfinite(a) ? a : nan;
}

bool AllPass::SetFrequency(double frequency, double sampleRate)
{
    const double a = CoefficientFor(frequency, sampleRate);
    if (!std::isfinite(a)) return false;
    m_SampleRate = sampleRate;
    m_Frequency = frequency;
    m_Coefficient = a;
    return true;
}

void AllPass::Filter(double* buffer, int32_t count, double a)
{
    double prevIn = m_PrevIn;
    double prevOut = m_PrevOut;
    for (int32_t i = 0; i < count; ++i) {
        const double x = buffer[i];
        const double y = a * x - prevIn + a * prevOut;
        prevOut = y;
        prevIn = x;
        buffer[i] = y;
    }
    m_PrevIn = prevIn;
    m_PrevOut = prevOut;
}

void AllPass::Shelf(double* samples, int32_t count, double lowGain, double highGain)
{
    // A block longer than the scratch buffer is shelved in pieces; since the memory carries
    // over, that gives the same result as one pass.
    while (count > 0 && m_Capacity > 0) {
        const int32_t piece = count < m_Capacity ? count : m_Capacity;
        std::memcpy(m_pScratch, samples, static_cast<size_t>(piece) * sizeof(double));
        Filter(m_pScratch, piece, m_Coefficient);
        for (int32_t i = 0; i < piece; ++i) {
            const double x = samples[i];
            const double p = m_pScratch[i];
            const double high = (x + p) * 0.5;
            const double low = (x - p) * 0.5;
            samples[i] = low * lowGain + high * highGain;
        }
        samples += piece;
        count -= piece;
    }
}

#if defined(__SSE2__)

// W and X share one register (W in the low lane, X in the high lane); Y runs in the low lane
// of a second. The three recurrences are independent, so their latency chains overlap. Every
// lane performs exactly the scalar operations in the scalar order.
void ShelfThree(AllPass& w, AllPass& x, AllPass& y, double* pw, double* px, double* py,
                int32_t count, double lowW, double highW, double lowXY, double highXY)
{
    if (count <= 0) return;
    const __m128d aWX = _mm_set_pd(x.Coefficient(), w.Coefficient());
    const __m128d lowWX = _mm_set_pd(lowXY, lowW);
    const __m128d highWX = _mm_set_pd(highXY, highW);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d aY = _mm_set_sd(y.Coefficient());
    const __m128d lowY = _mm_set_sd(lowXY);
    const __m128d highY = _mm_set_sd(highXY);
    __m128d inWX = _mm_set_pd(x.PrevIn(), w.PrevIn());
    __m128d outWX = _mm_set_pd(x.PrevOut(), w.PrevOut());
    __m128d inY = _mm_set_sd(y.PrevIn());
    __m128d outY = _mm_set_sd(y.PrevOut());

    for (int32_t i = 0; i < count; ++i) {
        const __m128d sWX = _mm_loadh_pd(_mm_load_sd(pw + i), px + i);
        const __m128d pWX = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(aWX, sWX), inWX), _mm_mul_pd(aWX, outWX));
        inWX = sWX;
        outWX = pWX;
        const __m128d highBandWX = _mm_mul_pd(_mm_add_pd(sWX, pWX), half);
        const __m128d lowBandWX = _mm_mul_pd(_mm_sub_pd(sWX, pWX), half);
        const __m128d rWX = _mm_add_pd(_mm_mul_pd(lowBandWX, lowWX), _mm_mul_pd(highBandWX, highWX));
        _mm_store_sd(pw + i, rWX);
        _mm_storeh_pd(px + i, rWX);

        const __m128d sY = _mm_load_sd(py + i);
        const __m128d pY = _mm_add_sd(_mm_sub_sd(_mm_mul_sd(aY, sY), inY), _mm_mul_sd(aY, outY));
        inY = sY;
        outY = pY;
        const __m128d highBandY = _mm_mul_sd(_mm_add_sd(sY, pY), half);
        const __m128d lowBandY = _mm_mul_sd(_mm_sub_sd(sY, pY), half);
        _mm_store_sd(py + i, _mm_add_sd(_mm_mul_sd(lowBandY, lowY), _mm_mul_sd(highBandY, highY)));
    }

    w.SetMemory(_mm_cvtsd_f64(inWX), _mm_cvtsd_f64(outWX));
    x.SetMemory(_mm_cvtsd_f64(_mm_unpackhi_pd(inWX, inWX)), _mm_cvtsd_f64(_mm_unpackhi_pd(outWX, outWX)));
    y.SetMemory(_mm_cvtsd_f64(inY), _mm_cvtsd_f64(outY));
}

#else

// Without SSE2 the three recurrences still share one loop, in plain arithmetic.
void ShelfThree(AllPass& w, AllPass& x, AllPass& y, double* pw, double* px, double* py,
                int32_t count, double lowW, double highW, double lowXY, double highXY)
{
    struct Lane { AllPass* f; double* p; double lo, hi, a, in, out; };
    Lane lanes[3] = {{&w, pw, lowW, highW, 0, 0, 0}, {&x, px, lowXY, highXY, 0, 0, 0},
                     {&y, py, lowXY, highXY, 0, 0, 0}};
    for (Lane& l : lanes) { l.a = l.f->Coefficient(); l.in = l.f->PrevIn(); l.out = l.f->PrevOut(); }
    for (int32_t i = 0; i < count; ++i) {
        for (Lane& l : lanes) {
            const double s = l.p[i];
            const double p = l.a * s - l.in + l.a * l.out;
            l.in = s;
            l.out = p;
            const double high = (s + p) * 0.5;
            const double low = (s - p) * 0.5;
            l.p[i] = low * l.lo + high * l.hi;
        }
    }
    for (Lane& l : lanes) l.f->SetMemory(l.in, l.out);
}

#endif

}  // namespace decoder
