// The convolution's spectrum sums in 512-bit registers (sixteen bins each), two outputs at a
// time (the two ears of a headphone decode share every input load and split).
#include "decoder/kernels/spectrum.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define SPECTRUM_WITH_AVX512 1
#define SPECTRUM_TARGET __attribute__((target("avx512f")))
#include "decoder/kernels/spectrum_blocked.h"
#endif

namespace decoder {
namespace kernels {

#if defined(SPECTRUM_WITH_AVX512)

namespace {

struct Avx512Bins {
    static constexpr int kBins = 16;
    static constexpr int kGroup = 2;
    using Reg = __m512;
    static SPECTRUM_INLINE Reg Zero() { return _mm512_setzero_ps(); }
    static SPECTRUM_INLINE Reg Load(const float* p) { return _mm512_loadu_ps(p); }
    static SPECTRUM_INLINE void Store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
    static SPECTRUM_INLINE Reg Mul(Reg a, Reg b) { return _mm512_mul_ps(a, b); }
    static SPECTRUM_INLINE Reg Add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
    static SPECTRUM_INLINE Reg Sub(Reg a, Reg b) { return _mm512_sub_ps(a, b); }
    // Sixteen (real, imaginary) pairs in two registers into their real and imaginary parts.
    static SPECTRUM_INLINE void Split(Reg low, Reg high, Reg& re, Reg& im)
    {
        const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
        const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        re = _mm512_permutex2var_ps(low, even, high);
        im = _mm512_permutex2var_ps(low, odd, high);
    }
    static SPECTRUM_INLINE void Join(Reg re, Reg im, Reg& low, Reg& high)
    {
        const __m512i first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const __m512i second = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
        low = _mm512_permutex2var_ps(re, first, im);
        high = _mm512_permutex2var_ps(re, second, im);
    }
};

}  // namespace

SpectrumSumsKernel SumSpectraAvx512()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    return supported ? BlockedSumSpectra<Avx512Bins> : nullptr;
}

#else

SpectrumSumsKernel SumSpectraAvx512() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
