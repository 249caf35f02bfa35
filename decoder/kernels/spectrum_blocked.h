// The block convolution's frequency-domain sums (spectrum.h) for any register width. A kernel
// file includes it (inside no namespace) after defining SPECTRUM_TARGET, the function
// attribute naming its instruction set, and a register type with the members used below
// (kComplex bins per register, kGroup outputs summed at once, Reg, Zero, Load, Store, Mul,
// Add, DuplicateReal, DuplicateImaginary, SwapPairs, NegateReal; see spectrum_avx.cpp).
//
// Per chunk and partition, kGroup outputs at a time: each register of input bins is loaded once
// and split into its real and imaginary parts, then multiplied with every output's filter bins,
// and the products run into kGroup * kSpectrumChunk / kComplex sums held in registers
// (independent chains of additions) until the inputs are done; then each is added to its
// pending output bins. A product is (xr·hr, xr·hi) + (−xi·hi, xi·hr),
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
SPECTRUM_INLINE void SumChunk(const SpectrumSums& s, size_t q, size_t p, size_t o)
{
    constexpr int R = static_cast<int>(kSpectrumChunk) / V::kComplex;
    const size_t spectrum = s.chunks * kSpectrumChunk;  // bins of one padded spectrum
    typename V::Reg z[G][R];
    _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g)
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) z[g][r] = V::Zero();
    const auto* x = reinterpret_cast<const double*>(s.x + q * kSpectrumChunk);
    const auto* h = reinterpret_cast<const double*>(s.h + ((q * s.partitions + p) * s.inputs * s.outputs + o) * kSpectrumChunk);
    for (size_t i = 0; i < s.inputs; ++i, x += 2 * spectrum, h += 2 * s.outputs * kSpectrumChunk) {
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) {
            const typename V::Reg xv = V::Load(x + r * 2 * V::kComplex);
            const typename V::Reg re = V::DuplicateReal(xv), im = V::DuplicateImaginary(xv);
            _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g) {
                const typename V::Reg hv = V::Load(h + (g * kSpectrumChunk + r * V::kComplex) * 2);
                const typename V::Reg product = V::Add(V::Mul(re, hv), V::NegateReal(V::Mul(im, V::SwapPairs(hv))));
                z[g][r] = V::Add(z[g][r], product);
            }
        }
    }
    const size_t slot = (s.newest + p) % s.partitions;
    const bool last = p + 1 == s.partitions;
    _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g)
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) {
            auto* pending = reinterpret_cast<double*>(s.pending + (slot * s.outputs + o + g) * spectrum + q * kSpectrumChunk +
                                                      r * V::kComplex);
            V::Store(pending, last ? z[g][r] : V::Add(V::Load(pending), z[g][r]));
        }
}

template <class V>
SPECTRUM_TARGET void BlockedSumSpectra(const SpectrumSums& s)
{
    for (size_t q = 0; q < s.chunks; ++q)
        for (size_t p = 0; p < s.partitions; ++p) {
            size_t o = 0;
            for (; o + V::kGroup <= s.outputs; o += V::kGroup) SumChunk<V, V::kGroup>(s, q, p, o);
            for (; o < s.outputs; ++o) SumChunk<V, 1>(s, q, p, o);
        }
}

}  // namespace
}  // namespace kernels
}  // namespace decoder
