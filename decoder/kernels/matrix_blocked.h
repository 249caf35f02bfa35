// The general decode's vector loop, written once for any register width. A kernel file
// includes it (inside no namespace) after defining MATRIX_TARGET, the function attribute that
// names its instruction set, and a register type with the members Tile() and friends use
// (kLanes, Reg, Zero, Set1, Load, LoadUnaligned, Store, Mul, Add, Sub; see matrix_avx2.cpp);
// everything here lands in that file's anonymous namespace.
//
// The loop runs kFrames frames at a time. First the frames' all-passes: one register of
// inputs at a time, frame after frame, the filter memory held in registers (the recursion
// is one chain per input, so the inputs side by side are the parallelism). Then the sums:
// a tile of output registers for all kFrames frames at once, every gain register loaded once
// per tile and used for each frame, so kTile * kFrames independent chains of additions keep
// the multipliers busy. Every lane performs the plain loop's operations in its order (the
// all-pass as written, products added to the running sum input by input, direct gains before
// shifted ones), so the bits are the plain loop's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "decoder/kernels/matrix.h"

#define MATRIX_INLINE MATRIX_TARGET __attribute__((always_inline)) inline
// The loops over a block's frames and a tile's registers run whole, so that the running sums
// stay in registers.
#define MATRIX_UNROLL _Pragma("GCC unroll 16")

namespace decoder {
namespace kernels {
namespace {

constexpr uint32_t kConvertLanes = 4;  // samples per 128/256-bit conversion

// Input samples of one frame into x[0..inputs-1] (lanes past the inputs are left as they are).
template <class Format>
MATRIX_INLINE void ReadFrame(const uint8_t* src, uint32_t inputs, double* x)
{
    uint32_t c = 0;
    if constexpr (Format::kFormat == SampleFormat::Pcm16) {
        for (; c + kConvertLanes <= inputs; c += kConvertLanes)
            _mm256_storeu_pd(x + c, _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(
                                        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + c * 2)))));
    } else if constexpr (Format::kFormat == SampleFormat::Float32) {
        for (; c + kConvertLanes <= inputs; c += kConvertLanes)
            _mm256_storeu_pd(x + c, _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(src + c * 4))));
    }
    for (; c < inputs; ++c) x[c] = Format::ToDouble(src + c * Format::kBytes);
}

// The sums of one frame, out[0..outputs-1], as samples.
template <class Format>
MATRIX_INLINE void WriteFrame(const double* out, uint32_t outputs, uint8_t* dst)
{
    uint32_t o = 0;
    if constexpr (Format::kFormat == SampleFormat::Float32) {
        for (; o + kConvertLanes <= outputs; o += kConvertLanes)
            _mm_storeu_ps(reinterpret_cast<float*>(dst + o * 4), _mm256_cvtpd_ps(_mm256_loadu_pd(out + o)));
    } else if constexpr (Format::kFormat == SampleFormat::Pcm16) {
        // RoundSaturate: v + 0.5, NaN to 0, clamped, truncated.
        const __m256d half = _mm256_set1_pd(0.5);
        const __m256d lowest = _mm256_set1_pd(Format::kLowest), highest = _mm256_set1_pd(Format::kHighest);
        for (; o + kConvertLanes <= outputs; o += kConvertLanes) {
            __m256d t = _mm256_add_pd(_mm256_loadu_pd(out + o), half);
            t = _mm256_and_pd(t, _mm256_cmp_pd(t, t, _CMP_ORD_Q));
            t = _mm256_min_pd(_mm256_max_pd(t, lowest), highest);
            const __m128i words = _mm256_cvttpd_epi32(t);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + o * 2), _mm_packs_epi32(words, words));
        }
    }
    for (; o < outputs; ++o) Format::FromDouble(out[o], dst + o * Format::kBytes);
}

// The all-passes of F frames: shifted[k] from x[k] for k < F, over the first inputLanes
// inputs (a whole number of registers; lanes past the inputs hold zeros and stay zero).
template <class V, int F>
MATRIX_INLINE void AllPasses(double coefficient, uint32_t inputLanes, const double (*x)[kMaxMatrixInputs],
                             double (*shifted)[kMaxMatrixInputs], double* prevIn, double* prevOut)
{
    const typename V::Reg a = V::Set1(coefficient);
    for (uint32_t c = 0; c < inputLanes; c += V::kLanes) {
        typename V::Reg in = V::Load(prevIn + c), out = V::Load(prevOut + c);
        MATRIX_UNROLL
        for (int k = 0; k < F; ++k) {
            const typename V::Reg xv = V::Load(x[k] + c);
            out = V::Add(V::Sub(V::Mul(a, xv), in), V::Mul(a, out));
            in = xv;
            V::Store(shifted[k] + c, out);
        }
        V::Store(prevIn + c, in);
        V::Store(prevOut + c, out);
    }
}

// Adds gains[c * stride + o ..] * z[k][c] over c = 0..inputs-1 into sum[t][k], T registers of
// outputs from o, F frames.
template <class V, int F, int T>
MATRIX_INLINE void AddProducts(const double* gains, uint32_t inputs, uint32_t stride, const double (*z)[kMaxMatrixInputs],
                               typename V::Reg (&sum)[T][F])
{
    for (uint32_t c = 0; c < inputs; ++c, gains += stride) {
        typename V::Reg gain[T];
        MATRIX_UNROLL
        for (int t = 0; t < T; ++t) gain[t] = V::LoadUnaligned(gains + t * V::kLanes);
        MATRIX_UNROLL
        for (int k = 0; k < F; ++k) {
            const typename V::Reg zk = V::Set1(z[k][c]);
            MATRIX_UNROLL
            for (int t = 0; t < T; ++t) sum[t][k] = V::Add(V::Mul(gain[t], zk), sum[t][k]);
        }
    }
}

// The sums of T output registers from output o, for F frames, into out[k][o..].
template <class V, int F, int T>
MATRIX_INLINE void Tile(const MatrixKernelState& s, uint32_t o, const double (*x)[kMaxMatrixInputs],
                        const double (*shifted)[kMaxMatrixInputs], double (*out)[kMaxMatrixOutputs])
{
    typename V::Reg sum[T][F];
    MATRIX_UNROLL
    for (int t = 0; t < T; ++t)
        MATRIX_UNROLL
        for (int k = 0; k < F; ++k) sum[t][k] = V::Zero();
    AddProducts<V, F, T>(s.direct + o, s.inputs, s.stride, x, sum);
    AddProducts<V, F, T>(s.shifted + o, s.inputs, s.stride, shifted, sum);
    MATRIX_UNROLL
    for (int t = 0; t < T; ++t)
        MATRIX_UNROLL
        for (int k = 0; k < F; ++k) V::Store(out[k] + o + t * V::kLanes, sum[t][k]);
}

// F frames from src to dst.
template <class V, class Format, int F, int kTile>
MATRIX_INLINE void Block(MatrixKernelState& s, const uint8_t* src, uint8_t* dst, double (*x)[kMaxMatrixInputs],
                         double (*shifted)[kMaxMatrixInputs], double* prevIn, double* prevOut,
                         double (*out)[kMaxMatrixOutputs])
{
    const uint32_t inputs = s.inputs, outputs = s.outputs;
    for (int k = 0; k < F; ++k) ReadFrame<Format>(src + k * inputs * Format::kBytes, inputs, x[k]);
    const uint32_t inputLanes = (inputs + V::kLanes - 1) / V::kLanes * V::kLanes;
    AllPasses<V, F>(s.coefficient, inputLanes, x, shifted, prevIn, prevOut);
    // Whole registers over the outputs; the gain rows are padded with zeros up to the stride.
    const uint32_t registers = (outputs + V::kLanes - 1) / V::kLanes;
    uint32_t r = 0;
    for (; r + kTile <= registers; r += kTile) Tile<V, F, kTile>(s, r * V::kLanes, x, shifted, out);
    for (; r < registers; ++r) Tile<V, F, 1>(s, r * V::kLanes, x, shifted, out);
    for (int k = 0; k < F; ++k) WriteFrame<Format>(out[k], outputs, dst + k * outputs * Format::kBytes);
}

template <class V, class Format, int kFrames, int kTile>
MATRIX_TARGET void BlockedFrames(MatrixKernelState& s, const uint8_t* src, uint8_t* dst, size_t frames)
{
    static_assert(kMatrixOutputPadding % V::kLanes == 0, "gain rows must hold whole registers");
    static_assert(kMaxMatrixInputs % V::kLanes == 0, "inputs must fit whole registers");
    const uint32_t inputs = s.inputs, outputs = s.outputs;
    const uint32_t inputLanes = (inputs + V::kLanes - 1) / V::kLanes * V::kLanes;
    alignas(64) double x[kFrames][kMaxMatrixInputs], shifted[kFrames][kMaxMatrixInputs];
    alignas(64) double prevIn[kMaxMatrixInputs], prevOut[kMaxMatrixInputs];
    alignas(64) double out[kFrames][kMaxMatrixOutputs];
    for (uint32_t c = 0; c < inputLanes; ++c) {
        prevIn[c] = c < inputs ? s.prevIn[c] : 0.0;
        prevOut[c] = c < inputs ? s.prevOut[c] : 0.0;
        for (int k = 0; k < kFrames; ++k) x[k][c] = 0.0;
    }
    size_t f = 0;
    for (; f + kFrames <= frames; f += kFrames) {
        Block<V, Format, kFrames, kTile>(s, src, dst, x, shifted, prevIn, prevOut, out);
        src += kFrames * inputs * Format::kBytes;
        dst += kFrames * outputs * Format::kBytes;
    }
    for (; f < frames; ++f) {
        Block<V, Format, 1, kTile>(s, src, dst, x, shifted, prevIn, prevOut, out);
        src += inputs * Format::kBytes;
        dst += outputs * Format::kBytes;
    }
    for (uint32_t c = 0; c < inputs; ++c) {
        s.prevIn[c] = prevIn[c];
        s.prevOut[c] = prevOut[c];
    }
}

// The loop for every sample format.
template <class V, int kFrames, int kTile>
MATRIX_TARGET void BlockedFramesAnyFormat(MatrixKernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst,
                                          size_t frames)
{
    switch (format) {
        case SampleFormat::Pcm16: return BlockedFrames<V, Pcm16Format, kFrames, kTile>(state, src, dst, frames);
        case SampleFormat::Pcm24: return BlockedFrames<V, Pcm24Format, kFrames, kTile>(state, src, dst, frames);
        case SampleFormat::Pcm32: return BlockedFrames<V, Pcm32Format, kFrames, kTile>(state, src, dst, frames);
        case SampleFormat::Float32: return BlockedFrames<V, Float32Format, kFrames, kTile>(state, src, dst, frames);
        case SampleFormat::None: return;
    }
}

}  // namespace
}  // namespace kernels
}  // namespace decoder
