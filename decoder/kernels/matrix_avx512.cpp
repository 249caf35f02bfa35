// The general decode in 512-bit registers (eight doubles): the blocked loop of
// matrix_blocked.h, eight frames at a time, two output registers per tile (sixteen running
// sums of the thirty-two registers this set has).
#include "decoder/kernels/matrix.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define MATRIX_WITH_AVX512 1
#define MATRIX_TARGET __attribute__((target("avx2,avx512f")))
#include "decoder/kernels/matrix_blocked.h"
#endif

namespace decoder {
namespace kernels {

#if defined(MATRIX_WITH_AVX512)

namespace {

struct Avx512Lanes {
    static constexpr uint32_t kLanes = 8;
    using Reg = __m512d;
    static MATRIX_INLINE Reg Zero() { return _mm512_setzero_pd(); }
    static MATRIX_INLINE Reg Set1(double v) { return _mm512_set1_pd(v); }
    static MATRIX_INLINE Reg Load(const double* p) { return _mm512_load_pd(p); }
    static MATRIX_INLINE Reg LoadUnaligned(const double* p) { return _mm512_loadu_pd(p); }
    static MATRIX_INLINE void Store(double* p, Reg v) { _mm512_store_pd(p, v); }
    static MATRIX_INLINE Reg Mul(Reg a, Reg b) { return _mm512_mul_pd(a, b); }
    static MATRIX_INLINE Reg Add(Reg a, Reg b) { return _mm512_add_pd(a, b); }
    static MATRIX_INLINE Reg Sub(Reg a, Reg b) { return _mm512_sub_pd(a, b); }
};

}  // namespace

MatrixFramesKernel MatrixFramesAvx512()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("avx512f") != 0;
    }();
    return supported ? BlockedFramesAnyFormat<Avx512Lanes, 8, 2> : nullptr;
}

#else

MatrixFramesKernel MatrixFramesAvx512() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
