// The convolution's spectrum sums in 256-bit registers (four bins each), one output at a time,
// and its conversions of samples to and from single precision.
#include "decoder/kernels/spectrum.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define SPECTRUM_WITH_AVX 1
#define SPECTRUM_TARGET __attribute__((target("avx")))
#include "decoder/kernels/spectrum_blocked.h"
#endif

namespace decoder {
namespace kernels {

#if defined(SPECTRUM_WITH_AVX)

namespace {

struct AvxBins {
    static constexpr int kComplex = 4;
    static constexpr int kGroup = 1;
    using Reg = __m256;
    static SPECTRUM_INLINE Reg Zero() { return _mm256_setzero_ps(); }
    static SPECTRUM_INLINE Reg Load(const float* p) { return _mm256_loadu_ps(p); }
    static SPECTRUM_INLINE void Store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
    static SPECTRUM_INLINE Reg Mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
    static SPECTRUM_INLINE Reg Add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
    static SPECTRUM_INLINE Reg DuplicateReal(Reg v) { return _mm256_moveldup_ps(v); }
    static SPECTRUM_INLINE Reg DuplicateImaginary(Reg v) { return _mm256_movehdup_ps(v); }
    static SPECTRUM_INLINE Reg SwapPairs(Reg v) { return _mm256_permute_ps(v, 0xB1); }
    static SPECTRUM_INLINE Reg NegateReal(Reg v)
    {
        return _mm256_xor_ps(v, _mm256_setr_ps(-0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f));
    }
};

// Eight samples a step in two registers; the rest one at a time, with the same rounding.
SPECTRUM_TARGET void NarrowAvxLoop(const double* from, float* to, size_t n)
{
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m128 low = _mm256_cvtpd_ps(_mm256_loadu_pd(from + k));
        const __m128 high = _mm256_cvtpd_ps(_mm256_loadu_pd(from + k + 4));
        _mm_storeu_ps(to + k, low);
        _mm_storeu_ps(to + k + 4, high);
    }
    for (; k < n; ++k) to[k] = static_cast<float>(from[k]);
}

SPECTRUM_TARGET void WidenAvxLoop(const float* from, double* to, size_t n)
{
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        _mm256_storeu_pd(to + k, _mm256_cvtps_pd(_mm_loadu_ps(from + k)));
        _mm256_storeu_pd(to + k + 4, _mm256_cvtps_pd(_mm_loadu_ps(from + k + 4)));
    }
    for (; k < n; ++k) to[k] = from[k];
}

bool HasAvx()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return supported;
}

}  // namespace

SpectrumSumsKernel SumSpectraAvx() { return HasAvx() ? BlockedSumSpectra<AvxBins> : nullptr; }
NarrowKernel NarrowAvx() { return HasAvx() ? NarrowAvxLoop : nullptr; }
WidenKernel WidenAvx() { return HasAvx() ? WidenAvxLoop : nullptr; }

#else

SpectrumSumsKernel SumSpectraAvx() { return nullptr; }
NarrowKernel NarrowAvx() { return nullptr; }
WidenKernel WidenAvx() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
