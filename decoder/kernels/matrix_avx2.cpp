// The general decode in 256-bit registers (four doubles): the blocked loop of
// matrix_blocked.h, six frames at a time, two output registers per tile (twelve running sums,
// two gain registers and one broadcast sample: the sixteen registers this set has).
#include "decoder/kernels/matrix.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define MATRIX_WITH_AVX2 1
#define MATRIX_TARGET __attribute__((target("avx2")))
#include "decoder/kernels/matrix_blocked.h"
#endif

namespace decoder {
namespace kernels {

#if defined(MATRIX_WITH_AVX2)

namespace {

struct Avx2Lanes {
    static constexpr uint32_t kLanes = 4;
    using Reg = __m256d;
    static MATRIX_INLINE Reg Zero() { return _mm256_setzero_pd(); }
    static MATRIX_INLINE Reg Set1(double v) { return _mm256_set1_pd(v); }
    static MATRIX_INLINE Reg Load(const double* p) { return _mm256_load_pd(p); }
    static MATRIX_INLINE Reg LoadUnaligned(const double* p) { return _mm256_loadu_pd(p); }
    static MATRIX_INLINE void Store(double* p, Reg v) { _mm256_store_pd(p, v); }
    static MATRIX_INLINE Reg Mul(Reg a, Reg b) { return _mm256_mul_pd(a, b); }
    static MATRIX_INLINE Reg Add(Reg a, Reg b) { return _mm256_add_pd(a, b); }
    static MATRIX_INLINE Reg Sub(Reg a, Reg b) { return _mm256_sub_pd(a, b); }
};

}  // namespace

MatrixFramesKernel MatrixFramesAvx2()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported ? BlockedFramesAnyFormat<Avx2Lanes, 6, 2> : nullptr;
}

#else

MatrixFramesKernel MatrixFramesAvx2() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
