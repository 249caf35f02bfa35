// The convolution's spectrum sums in 256-bit registers (eight bins each), two outputs at a time,
// and its conversions of samples to and from single precision (AVX2 processors).
#include "decoder/kernels/spectrum.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define SPECTRUM_WITH_AVX 1
#define SPECTRUM_TARGET __attribute__((target("avx2")))
#include "decoder/kernels/spectrum_blocked.h"
#endif

namespace decoder {
namespace kernels {

#if defined(SPECTRUM_WITH_AVX)

namespace {

struct Avx2Bins {
    static constexpr int kBins = 8;
    static constexpr int kGroup = 2;
    using Reg = __m256;
    static SPECTRUM_INLINE Reg Zero() { return _mm256_setzero_ps(); }
    static SPECTRUM_INLINE Reg Load(const float* p) { return _mm256_loadu_ps(p); }
    static SPECTRUM_INLINE void Store(float* p, Reg v) { _mm256_storeu_ps(p, v); }
    static SPECTRUM_INLINE Reg Mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
    static SPECTRUM_INLINE Reg Add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
    static SPECTRUM_INLINE Reg Sub(Reg a, Reg b) { return _mm256_sub_ps(a, b); }
    // Eight (real, imaginary) pairs in two registers into their real and imaginary parts: each
    // register's parts gathered into its halves, then the halves exchanged.
    static SPECTRUM_INLINE void Split(Reg low, Reg high, Reg& re, Reg& im)
    {
        const __m256i gather = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        const Reg a = _mm256_permutevar8x32_ps(low, gather), b = _mm256_permutevar8x32_ps(high, gather);
        re = _mm256_permute2f128_ps(a, b, 0x20);
        im = _mm256_permute2f128_ps(a, b, 0x31);
    }
    static SPECTRUM_INLINE void Join(Reg re, Reg im, Reg& low, Reg& high)
    {
        const __m256i scatter = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        low = _mm256_permutevar8x32_ps(_mm256_permute2f128_ps(re, im, 0x20), scatter);
        high = _mm256_permutevar8x32_ps(_mm256_permute2f128_ps(re, im, 0x31), scatter);
    }
};

// Four samples of each plane a step; the rest one at a time, with the same rounding.
SPECTRUM_TARGET void NarrowPairAvx2Loop(const double* a, const double* b, float* to, size_t n)
{
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m128 fa = _mm256_cvtpd_ps(_mm256_loadu_pd(a + k)), fb = _mm256_cvtpd_ps(_mm256_loadu_pd(b + k));
        _mm_storeu_ps(to + 2 * k, _mm_unpacklo_ps(fa, fb));
        _mm_storeu_ps(to + 2 * k + 4, _mm_unpackhi_ps(fa, fb));
    }
    for (; k < n; ++k) {
        to[2 * k] = static_cast<float>(a[k]);
        to[2 * k + 1] = static_cast<float>(b[k]);
    }
}

SPECTRUM_TARGET void WidenAvx2Loop(const float* from, double* to, size_t n)
{
    size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        _mm256_storeu_pd(to + k, _mm256_cvtps_pd(_mm_loadu_ps(from + k)));
        _mm256_storeu_pd(to + k + 4, _mm256_cvtps_pd(_mm_loadu_ps(from + k + 4)));
    }
    for (; k < n; ++k) to[k] = from[k];
}

// Four bins a step from bin 1 on, their mirrors loaded as the four below n - k and reversed;
// bin 0 (its own mirror) and the rest one at a time. Every lane is one rounded sum or
// difference, as in the plain loop.
SPECTRUM_TARGET void UnpairAvx2Loop(const std::complex<float>* z, size_t n, size_t bins, std::complex<float>* first,
                                    std::complex<float>* second)
{
    const auto* zf = reinterpret_cast<const float*>(z);
    auto* out1 = reinterpret_cast<float*>(first);
    auto* out2 = reinterpret_cast<float*>(second);
    const __m256i reverse = _mm256_setr_epi32(6, 7, 4, 5, 2, 3, 0, 1);
    if (bins == 0) return;
    UnpairBins(z, n, 0, 1, first, second);
    size_t k = 1;
    for (; k + 4 <= bins; k += 4) {
        const __m256 v = _mm256_loadu_ps(zf + 2 * k);                                              // (c, d)
        const __m256 w = _mm256_permutevar8x32_ps(_mm256_loadu_ps(zf + 2 * (n - k - 3)), reverse);  // (a, b)
        const __m256 sum = _mm256_add_ps(v, w), vw = _mm256_sub_ps(v, w);
        _mm256_storeu_ps(out1 + 2 * k, _mm256_blend_ps(sum, vw, 0xAA));  // (c + a, d - b)
        if (out2) {
            const __m256 wv = _mm256_sub_ps(w, v);
            // (a - c, d + b), then each pair swapped.
            _mm256_storeu_ps(out2 + 2 * k, _mm256_permute_ps(_mm256_blend_ps(wv, sum, 0xAA), 0xB1));
        }
    }
    UnpairBins(z, n, k, bins, first, second);
}

bool HasAvx2()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}

}  // namespace

SpectrumSumsKernel SumSpectraAvx2() { return HasAvx2() ? BlockedSumSpectra<Avx2Bins> : nullptr; }
NarrowPairKernel NarrowPairAvx2() { return HasAvx2() ? NarrowPairAvx2Loop : nullptr; }
WidenKernel WidenAvx2() { return HasAvx2() ? WidenAvx2Loop : nullptr; }
UnpairKernel UnpairAvx2() { return HasAvx2() ? UnpairAvx2Loop : nullptr; }

#else

SpectrumSumsKernel SumSpectraAvx2() { return nullptr; }
NarrowPairKernel NarrowPairAvx2() { return nullptr; }
WidenKernel WidenAvx2() { return nullptr; }
UnpairKernel UnpairAvx2() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
