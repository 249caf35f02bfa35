#include "decoder/kernels/spectrum.h"

namespace decoder {
namespace kernels {

void SumSpectraPlain(const SpectrumSums& s)
{
    constexpr size_t C = kSpectrumChunk;
    const size_t sumStride = s.chunks * C;
    for (size_t q = 0; q < s.chunks; ++q) {
        for (size_t o = 0; o < s.outputs; ++o) {
            // Written out in real arithmetic: std::complex's operator* takes a slow path for
            // infinities that these finite spectra never need.
            float re[C] = {}, im[C] = {};
            for (size_t i = 0; i < s.inputs; ++i) {
                for (size_t p = 0; p < s.partitions; ++p) {
                    const size_t slot = (s.newest + p) % s.partitions;
                    const auto* x = reinterpret_cast<const float*>(s.x + (i * s.partitions + slot) * sumStride + q * C);
                    const float* h = s.h + (((q * s.inputs + i) * s.partitions + p) * s.outputs + o) * 2 * C;
                    for (size_t k = 0; k < C; ++k) {
                        re[k] += x[2 * k] * h[k] - x[2 * k + 1] * h[C + k];
                        im[k] += x[2 * k] * h[C + k] + x[2 * k + 1] * h[k];
                    }
                }
            }
            auto* out = reinterpret_cast<float*>(s.sum + o * sumStride + q * C);
            for (size_t k = 0; k < C; ++k) {
                out[2 * k] = re[k];
                out[2 * k + 1] = im[k];
            }
        }
    }
}

void NarrowPlain(const double* from, float* to, size_t n)
{
    for (size_t k = 0; k < n; ++k) to[k] = static_cast<float>(from[k]);
}

void WidenPlain(const float* from, double* to, size_t n)
{
    for (size_t k = 0; k < n; ++k) to[k] = from[k];
}

NarrowKernel FastestNarrow()
{
    if (NarrowKernel avx2 = NarrowAvx2()) return avx2;
    return NarrowPlain;
}

WidenKernel FastestWiden()
{
    if (WidenKernel avx2 = WidenAvx2()) return avx2;
    return WidenPlain;
}

SpectrumSumsKernel FastestSumSpectra()
{
    if (SpectrumSumsKernel avx512 = SumSpectraAvx512()) return avx512;
    if (SpectrumSumsKernel avx2 = SumSpectraAvx2()) return avx2;
    return SumSpectraPlain;
}

}  // namespace kernels
}  // namespace decoder
