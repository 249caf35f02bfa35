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

void NarrowPairPlain(const double* a, const double* b, float* to, size_t n)
{
    for (size_t k = 0; k < n; ++k) {
        to[2 * k] = static_cast<float>(a[k]);
        to[2 * k + 1] = static_cast<float>(b[k]);
    }
}

void WidenPlain(const float* from, double* to, size_t n)
{
    for (size_t k = 0; k < n; ++k) to[k] = from[k];
}

void UnpairPlain(const std::complex<float>* z, size_t n, size_t bins, std::complex<float>* first,
                 std::complex<float>* second)
{
    UnpairBins(z, n, 0, bins, first, second);
}

void UnpairBins(const std::complex<float>* z, size_t n, size_t begin, size_t end, std::complex<float>* first,
                std::complex<float>* second)
{
    for (size_t k = begin; k < end; ++k) {
        const float c = z[k].real(), d = z[k].imag();
        const std::complex<float> mirror = z[(n - k) % n];
        const float a = mirror.real(), b = mirror.imag();
        first[k] = {c + a, d - b};
        if (second) second[k] = {d + b, a - c};
    }
}

NarrowPairKernel FastestNarrowPair()
{
    if (NarrowPairKernel avx2 = NarrowPairAvx2()) return avx2;
    return NarrowPairPlain;
}

WidenKernel FastestWiden()
{
    if (WidenKernel avx2 = WidenAvx2()) return avx2;
    return WidenPlain;
}

UnpairKernel FastestUnpair()
{
    if (UnpairKernel avx2 = UnpairAvx2()) return avx2;
    return UnpairPlain;
}

SpectrumSumsKernel FastestSumSpectra()
{
    if (SpectrumSumsKernel avx512 = SumSpectraAvx512()) return avx512;
    if (SpectrumSumsKernel avx2 = SumSpectraAvx2()) return avx2;
    return SumSpectraPlain;
}

}  // namespace kernels
}  // namespace decoder
