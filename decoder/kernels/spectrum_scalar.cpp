#include "decoder/kernels/spectrum.h"

namespace decoder {
namespace kernels {

void SumSpectraPlain(const SpectrumSums& s)
{
    const size_t sumStride = s.chunks * kSpectrumChunk;
    for (size_t q = 0; q < s.chunks; ++q) {
        for (size_t o = 0; o < s.outputs; ++o) {
            // Written out in real arithmetic: std::complex's operator* takes a slow path for
            // infinities that these finite spectra never need.
            float sum[2 * kSpectrumChunk] = {};
            for (size_t i = 0; i < s.inputs; ++i) {
                for (size_t p = 0; p < s.partitions; ++p) {
                    const size_t slot = (s.newest + p) % s.partitions;
                    const auto* x = reinterpret_cast<const float*>(s.x + (i * s.partitions + slot) * sumStride + q * kSpectrumChunk);
                    const auto* h = reinterpret_cast<const float*>(
                        s.h + (((q * s.inputs + i) * s.partitions + p) * s.outputs + o) * kSpectrumChunk);
                    for (size_t k = 0; k < 2 * kSpectrumChunk; k += 2) {
                        sum[k] += x[k] * h[k] - x[k + 1] * h[k + 1];
                        sum[k + 1] += x[k] * h[k + 1] + x[k + 1] * h[k];
                    }
                }
            }
            auto* out = reinterpret_cast<float*>(s.sum + o * sumStride + q * kSpectrumChunk);
            for (size_t k = 0; k < 2 * kSpectrumChunk; ++k) out[k] = sum[k];
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
    if (NarrowKernel avx = NarrowAvx()) return avx;
    return NarrowPlain;
}

WidenKernel FastestWiden()
{
    if (WidenKernel avx = WidenAvx()) return avx;
    return WidenPlain;
}

SpectrumSumsKernel FastestSumSpectra()
{
    if (SpectrumSumsKernel avx512 = SumSpectraAvx512()) return avx512;
    if (SpectrumSumsKernel avx = SumSpectraAvx()) return avx;
    return SumSpectraPlain;
}

}  // namespace kernels
}  // namespace decoder
