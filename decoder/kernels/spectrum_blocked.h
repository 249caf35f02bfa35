// The block convolution's frequency-domain sums (spectrum.h) for any register width. A kernel
// file includes it (inside no namespace) after defining SPECTRUM_TARGET, the function
// attribute naming its instruction set, and a register type with the members used below
// (kComplex bins per register, kGroup outputs summed at once, Reg, Zero, Load, Store, Mul,
// Add, DuplicateReal, DuplicateImaginary, SwapPairs, NegateReal; see spectrum_avx.cpp).
//
// Per chunk, kGroup outputs at a time: each register of input bins is loaded once and split
// into its real and imaginary parts, then multiplied with every output's filter bins, and the
// products run into kGroup * kSpectrumChunk / kComplex sums held in registers (independent
// chains of additions) until the chunk is done. A product is (xr·hr, xr·hi) + (−xi·hi, xi·hr),
// the plain loop's two rounded products and one rounded sum (adding −b is subtracting b).
#pragma once

#include <cstddef>
#include <cstdint>
#include <immintrin.h>

#include "decoder/kernels/spectrum.h"

#define SPECTRUM_INLINE SPECTRUM_TARGET __attribute__((always_inline)) inline

namespace decoder {
namespace kernels {
namespace {

template <class V, int G>
SPECTRUM_INLINE void SumChunk(const SpectrumSums& s, size_t q, size_t o)
{
    constexpr int R = static_cast<int>(kSpectrumChunk) / V::kComplex;
    const size_t spectrum = s.chunks * kSpectrumChunk;  // bins of one padded spectrum
    typename V::Reg sum[G][R];
    _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g)
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) sum[g][r] = V::Zero();
    for (size_t i = 0; i < s.inputs; ++i) {
        const auto* x = reinterpret_cast<const float*>(s.x + i * s.partitions * spectrum + q * kSpectrumChunk);
        const auto* h = reinterpret_cast<const float*>(s.h + ((q * s.inputs + i) * s.partitions * s.outputs + o) * kSpectrumChunk);
        size_t slot = s.newest;
        for (size_t p = 0; p < s.partitions; ++p, h += 2 * s.outputs * kSpectrumChunk) {
            const float* xs = x + slot * 2 * spectrum;
            _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) {
                const typename V::Reg xv = V::Load(xs + r * 2 * V::kComplex);
                const typename V::Reg re = V::DuplicateReal(xv), im = V::DuplicateImaginary(xv);
                _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g) {
                    const typename V::Reg hv = V::Load(h + (g * kSpectrumChunk + r * V::kComplex) * 2);
                    const typename V::Reg product = V::Add(V::Mul(re, hv), V::NegateReal(V::Mul(im, V::SwapPairs(hv))));
                    sum[g][r] = V::Add(sum[g][r], product);
                }
            }
            if (++slot == s.partitions) slot = 0;
        }
    }
    _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g)
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r)
            V::Store(reinterpret_cast<float*>(s.sum + (o + g) * spectrum + q * kSpectrumChunk + r * V::kComplex),
                     sum[g][r]);
}

template <class V>
SPECTRUM_TARGET void BlockedSumSpectra(const SpectrumSums& s)
{
    for (size_t q = 0; q < s.chunks; ++q) {
        size_t o = 0;
        for (; o + V::kGroup <= s.outputs; o += V::kGroup) SumChunk<V, V::kGroup>(s, q, o);
        for (; o < s.outputs; ++o) SumChunk<V, 1>(s, q, o);
    }
}

}  // namespace
}  // namespace kernels
}  // namespace decoder
