// The convolution's spectrum sums in 256-bit registers (two bins each), one output at a time
// (eight running sums of the sixteen registers this set has).
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
    static constexpr int kComplex = 2;
    static constexpr int kGroup = 1;
    using Reg = __m256d;
    static SPECTRUM_INLINE Reg Zero() { return _mm256_setzero_pd(); }
    static SPECTRUM_INLINE Reg Load(const double* p) { return _mm256_loadu_pd(p); }
    static SPECTRUM_INLINE void Store(double* p, Reg v) { _mm256_storeu_pd(p, v); }
    static SPECTRUM_INLINE Reg Mul(Reg a, Reg b) { return _mm256_mul_pd(a, b); }
    static SPECTRUM_INLINE Reg Add(Reg a, Reg b) { return _mm256_add_pd(a, b); }
    static SPECTRUM_INLINE Reg DuplicateReal(Reg v) { return _mm256_movedup_pd(v); }
    static SPECTRUM_INLINE Reg DuplicateImaginary(Reg v) { return _mm256_permute_pd(v, 0xF); }
    static SPECTRUM_INLINE Reg SwapPairs(Reg v) { return _mm256_permute_pd(v, 0x5); }
    static SPECTRUM_INLINE Reg NegateReal(Reg v) { return _mm256_xor_pd(v, _mm256_setr_pd(-0.0, 0.0, -0.0, 0.0)); }
};

}  // namespace

SpectrumSumsKernel SumSpectraAvx()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return supported ? BlockedSumSpectra<AvxBins> : nullptr;
}

#else

SpectrumSumsKernel SumSpectraAvx() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
