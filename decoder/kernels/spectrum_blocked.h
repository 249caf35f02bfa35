// The block convolution's frequency-domain sums (spectrum.h) for any register width. A kernel
// file includes it (inside no namespace) after defining SPECTRUM_TARGET, the function
// attribute naming its instruction set, and a register type with the members used below
// (kBins bins per register, kGroup outputs summed at once, Reg, Zero, Load, Store, Mul, Add,
// Sub, Split, Join; see spectrum_avx512.cpp).
//
// Per chunk, kGroup outputs at a time: each pair of registers of input bins is loaded once and
// split into a register of real and one of imaginary parts, then multiplied with every
// output's filter registers, and the products run into 2 * kGroup * kSpectrumChunk / kBins
// sums held in registers (independent chains of additions) until the chunk is done; then the
// real and imaginary sums are joined into pairs again. A product is xr·hr − xi·hi and
// xr·hi + xi·hr, the plain loop's rounded products and rounded sum and difference.
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
    constexpr int C = static_cast<int>(kSpectrumChunk);
    constexpr int R = C / V::kBins;
    const size_t spectrum = s.chunks * kSpectrumChunk;  // bins of one padded spectrum
    typename V::Reg re[G][R], im[G][R];
    _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g)
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) re[g][r] = im[g][r] = V::Zero();
    for (size_t i = 0; i < s.inputs; ++i) {
        const auto* x = reinterpret_cast<const float*>(s.x + i * s.partitions * spectrum + q * kSpectrumChunk);
        const float* h = s.h + ((q * s.inputs + i) * s.partitions * s.outputs + o) * 2 * kSpectrumChunk;
        size_t slot = s.newest;
        for (size_t p = 0; p < s.partitions; ++p, h += 2 * s.outputs * kSpectrumChunk) {
            const float* xs = x + slot * 2 * spectrum;
            _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) {
                typename V::Reg xr, xi;
                V::Split(V::Load(xs + 2 * r * V::kBins), V::Load(xs + (2 * r + 1) * V::kBins), xr, xi);
                _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g) {
                    const typename V::Reg hr = V::Load(h + 2 * g * C + r * V::kBins);
                    const typename V::Reg hi = V::Load(h + (2 * g + 1) * C + r * V::kBins);
                    re[g][r] = V::Add(re[g][r], V::Sub(V::Mul(xr, hr), V::Mul(xi, hi)));
                    im[g][r] = V::Add(im[g][r], V::Add(V::Mul(xr, hi), V::Mul(xi, hr)));
                }
            }
            if (++slot == s.partitions) slot = 0;
        }
    }
    _Pragma("GCC unroll 16") for (int g = 0; g < G; ++g)
        _Pragma("GCC unroll 16") for (int r = 0; r < R; ++r) {
            auto* out = reinterpret_cast<float*>(s.sum + (o + g) * spectrum + q * kSpectrumChunk) + 2 * r * V::kBins;
            typename V::Reg low, high;
            V::Join(re[g][r], im[g][r], low, high);
            V::Store(out, low);
            V::Store(out + V::kBins, high);
        }
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
