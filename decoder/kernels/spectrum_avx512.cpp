// The convolution's spectrum sums in 512-bit registers (eight bins each), two outputs at a
// time (eight running sums; the two ears of a headphone decode share every input load).
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
    static constexpr int kComplex = 8;
    static constexpr int kGroup = 2;
    using Reg = __m512;
    static SPECTRUM_INLINE Reg Zero() { return _mm512_setzero_ps(); }
    static SPECTRUM_INLINE Reg Load(const float* p) { return _mm512_loadu_ps(p); }
    static SPECTRUM_INLINE void Store(float* p, Reg v) { _mm512_storeu_ps(p, v); }
    static SPECTRUM_INLINE Reg Mul(Reg a, Reg b) { return _mm512_mul_ps(a, b); }
    static SPECTRUM_INLINE Reg Add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
    static SPECTRUM_INLINE Reg DuplicateReal(Reg v) { return _mm512_shuffle_ps(v, v, 0xA0); }
    static SPECTRUM_INLINE Reg DuplicateImaginary(Reg v) { return _mm512_shuffle_ps(v, v, 0xF5); }
    static SPECTRUM_INLINE Reg SwapPairs(Reg v) { return _mm512_shuffle_ps(v, v, 0xB1); }
    static SPECTRUM_INLINE Reg NegateReal(Reg v)
    {
        const __m512i sign = _mm512_set1_epi64(static_cast<int64_t>(0x80000000u));
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(v), sign));
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
