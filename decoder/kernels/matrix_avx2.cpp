// The 256-bit general decode: four inputs' all-passes per register and four outputs' sums per
// register. Every lane performs the plain loop's operations in its order (products added to the
// running sum input by input), so the bits are the plain loop's; conversions to and from 16-bit
// and float samples use the exact vector instructions for them, the others the plain ones.
#include "decoder/kernels/matrix.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define MATRIX_WITH_AVX2 1
#include <immintrin.h>
#endif

namespace decoder {
namespace kernels {

#if defined(MATRIX_WITH_AVX2)

#define AVX2_FN __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

constexpr uint32_t kLanes = 4;

AVX2_INLINE uint32_t RoundUp(uint32_t n) { return (n + kLanes - 1) / kLanes * kLanes; }

// Input samples of one frame into x[0..inputs-1] (lanes past the inputs are left as they are).
template <class Format>
AVX2_INLINE void ReadFrame(const uint8_t* src, uint32_t inputs, double* x)
{
    uint32_t c = 0;
    if constexpr (Format::kFormat == SampleFormat::Pcm16) {
        for (; c + kLanes <= inputs; c += kLanes)
            _mm256_store_pd(x + c, _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(
                                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + c * 2)))));
    } else if constexpr (Format::kFormat == SampleFormat::Float32) {
        for (; c + kLanes <= inputs; c += kLanes)
            _mm256_store_pd(x + c, _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(src + c * 4))));
    }
    for (; c < inputs; ++c) x[c] = Format::ToDouble(src + c * Format::kBytes);
}

// The sums of one frame, out[0..outputs-1], as samples.
template <class Format>
AVX2_INLINE void WriteFrame(const double* out, uint32_t outputs, uint8_t* dst)
{
    uint32_t o = 0;
    if constexpr (Format::kFormat == SampleFormat::Float32) {
        for (; o + kLanes <= outputs; o += kLanes)
            _mm_storeu_ps(reinterpret_cast<float*>(dst + o * 4), _mm256_cvtpd_ps(_mm256_load_pd(out + o)));
    } else if constexpr (Format::kFormat == SampleFormat::Pcm16) {
        // RoundSaturate: v + 0.5, NaN to 0, clamped, truncated.
        const __m256d half = _mm256_set1_pd(0.5);
        const __m256d lowest = _mm256_set1_pd(Format::kLowest), highest = _mm256_set1_pd(Format::kHighest);
        for (; o + kLanes <= outputs; o += kLanes) {
            __m256d t = _mm256_add_pd(_mm256_load_pd(out + o), half);
            t = _mm256_and_pd(t, _mm256_cmp_pd(t, t, _CMP_ORD_Q));
            t = _mm256_min_pd(_mm256_max_pd(t, lowest), highest);
            const __m128i words = _mm256_cvttpd_epi32(t);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + o * 2), _mm_packs_epi32(words, words));
        }
    }
    for (; o < outputs; ++o) Format::FromDouble(out[o], dst + o * Format::kBytes);
}

// kStep frames at a time: the all-passes run frame after frame (each needs the one before), then
// the sums of the kStep frames run side by side, so that their chains of additions overlap.
template <class Format, int kStep>
AVX2_INLINE void Step(const MatrixKernelState& s, const uint8_t* src, uint8_t* dst, double (*x)[kMaxMatrixInputs],
                      double (*shifted)[kMaxMatrixInputs], double* prevIn, double* prevOut, double (*out)[kMaxMatrixOutputs])
{
    const uint32_t inputs = s.inputs, outputs = s.outputs, stride = s.stride;
    const uint32_t inputLanes = RoundUp(inputs);
    const __m256d a = _mm256_set1_pd(s.coefficient);
    for (int k = 0; k < kStep; ++k) {
        ReadFrame<Format>(src + k * inputs * Format::kBytes, inputs, x[k]);
        for (uint32_t c = 0; c < inputLanes; c += kLanes) {
            const __m256d xv = _mm256_load_pd(x[k] + c);
            const __m256d y = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(a, xv), _mm256_load_pd(prevIn + c)),
                                            _mm256_mul_pd(a, _mm256_load_pd(prevOut + c)));
            _mm256_store_pd(prevIn + c, xv);
            _mm256_store_pd(prevOut + c, y);
            _mm256_store_pd(shifted[k] + c, y);
        }
    }
    for (uint32_t o = 0; o < stride; o += kLanes) {
        __m256d sum[kStep];
        for (int k = 0; k < kStep; ++k) sum[k] = _mm256_setzero_pd();
        const double* d = s.direct + o;
        for (uint32_t c = 0; c < inputs; ++c, d += stride) {
            const __m256d gain = _mm256_loadu_pd(d);
            for (int k = 0; k < kStep; ++k) sum[k] = _mm256_add_pd(_mm256_mul_pd(gain, _mm256_set1_pd(x[k][c])), sum[k]);
        }
        const double* q = s.shifted + o;
        for (uint32_t c = 0; c < inputs; ++c, q += stride) {
            const __m256d gain = _mm256_loadu_pd(q);
            for (int k = 0; k < kStep; ++k)
                sum[k] = _mm256_add_pd(_mm256_mul_pd(gain, _mm256_set1_pd(shifted[k][c])), sum[k]);
        }
        for (int k = 0; k < kStep; ++k) _mm256_store_pd(out[k] + o, sum[k]);
    }
    for (int k = 0; k < kStep; ++k) WriteFrame<Format>(out[k], outputs, dst + k * outputs * Format::kBytes);
}

template <class Format>
AVX2_FN void Frames(MatrixKernelState& s, const uint8_t* src, uint8_t* dst, size_t frames)
{
    constexpr int kStep = 4;
    const uint32_t inputs = s.inputs, outputs = s.outputs;
    alignas(32) double x[kStep][kMaxMatrixInputs] = {}, shifted[kStep][kMaxMatrixInputs] = {};
    alignas(32) double prevIn[kMaxMatrixInputs] = {}, prevOut[kMaxMatrixInputs] = {};
    alignas(32) double out[kStep][kMaxMatrixOutputs];
    for (uint32_t c = 0; c < inputs; ++c) {
        prevIn[c] = s.prevIn[c];
        prevOut[c] = s.prevOut[c];
    }
    size_t f = 0;
    for (; f + kStep <= frames; f += kStep) {
        Step<Format, kStep>(s, src, dst, x, shifted, prevIn, prevOut, out);
        src += kStep * inputs * Format::kBytes;
        dst += kStep * outputs * Format::kBytes;
    }
    for (; f < frames; ++f) {
        Step<Format, 1>(s, src, dst, x, shifted, prevIn, prevOut, out);
        src += inputs * Format::kBytes;
        dst += outputs * Format::kBytes;
    }
    for (uint32_t c = 0; c < inputs; ++c) {
        s.prevIn[c] = prevIn[c];
        s.prevOut[c] = prevOut[c];
    }
}

void Avx2Frames(MatrixKernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    switch (format) {
        case SampleFormat::Pcm16: return Frames<Pcm16Format>(state, src, dst, frames);
        case SampleFormat::Pcm24: return Frames<Pcm24Format>(state, src, dst, frames);
        case SampleFormat::Pcm32: return Frames<Pcm32Format>(state, src, dst, frames);
        case SampleFormat::Float32: return Frames<Float32Format>(state, src, dst, frames);
        case SampleFormat::None: return;
    }
}

}  // namespace

MatrixFramesKernel MatrixFramesAvx2()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported ? Avx2Frames : nullptr;
}

#else

MatrixFramesKernel MatrixFramesAvx2() { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
