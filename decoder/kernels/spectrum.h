// The block convolution's frequency-domain step (block_convolver.h): every output's spectrum
// summed from the input spectra of the delay line times the filter spectra. One function per
// instruction set; every one gives the plain loop's bits. Single precision: the sums' round-off
// (about 1e-7 of the signal) stays below a 24-bit step, and half the bytes of double spectra
// keep a seventh-order decode's filter spectra within the second-level cache.
#pragma once

#include <complex>
#include <cstddef>

namespace decoder {
namespace kernels {

// Bins per chunk of the spectra: the sums run chunk by chunk, all of a chunk's products for one
// output added in registers before its sum is stored; the filter spectra are laid out chunk by
// chunk, so that they are read in the order they lie in memory.
constexpr size_t kSpectrumChunk = 16;

// For every output o and bin k of every chunk,
//     sum[o][k] = 0 + x·h + x·h + ...  over inputs i in order, and for each over partitions p
// in order, x the input spectrum in slot (newest + p) % partitions, h the filter (i, p, o);
// each product (xr·hr − xi·hi, xr·hi + xi·hr) is rounded to float before it is added.
// The input spectra and the sums are complex pairs as the transforms read and write them; each
// chunk of a filter spectrum holds its chunk's real parts, then its imaginary parts, so that
// the vector loops multiply whole registers of real and imaginary parts without shuffling the
// filters (the inputs are split once per register and shared by every output).
struct SpectrumSums {
    size_t inputs = 0, outputs = 0, partitions = 0, chunks = 0, newest = 0;
    const std::complex<float>* x = nullptr;  // [input][slot][chunk * kSpectrumChunk]
    const float* h = nullptr;                // [chunk][input][partition][output][real, imaginary][bin of chunk]
    std::complex<float>* sum = nullptr;      // [output][chunk * kSpectrumChunk]
};

using SpectrumSumsKernel = void (*)(const SpectrumSums& s);

void SumSpectraPlain(const SpectrumSums& s);

// The 256-bit (AVX2) and 512-bit loops, or null when this build or processor has none (Windows
// builds have none: their compiler cannot keep 32-byte stack slots aligned).
SpectrumSumsKernel SumSpectraAvx2();
SpectrumSumsKernel SumSpectraAvx512();

// The fastest loop this build and processor run.
SpectrumSumsKernel FastestSumSpectra();

// Two planes of samples into one of the convolver's complex windows, rounded to the nearest
// float: to[2k] = a[k], to[2k + 1] = b[k]. Output samples out of its blocks (exact).
// No array overlaps another; n may be anything.
using NarrowPairKernel = void (*)(const double* a, const double* b, float* to, size_t n);
using WidenKernel = void (*)(const float* from, double* to, size_t n);
void NarrowPairPlain(const double* a, const double* b, float* to, size_t n);
void WidenPlain(const float* from, double* to, size_t n);

// The spectra of two real signals out of the n-point transform z of the complex signal that
// carries the first in its real parts and the second in its imaginary parts (one transform for
// two signals): for k < bins (bins <= n / 2 + 1), with (c, d) = z[k] and (a, b) = z[(n - k) % n],
//     first[k] = (c + a, d - b),  second[k] = (d + b, a - c),
// twice each signal's spectrum. `second` may be null (a window with nothing in its imaginary
// parts); the outputs do not overlap z.
using UnpairKernel = void (*)(const std::complex<float>* z, size_t n, size_t bins, std::complex<float>* first,
                              std::complex<float>* second);
void UnpairPlain(const std::complex<float>* z, size_t n, size_t bins, std::complex<float>* first,
                 std::complex<float>* second);
// The plain loop over bins begin to end - 1 only (the vector loops' ends).
void UnpairBins(const std::complex<float>* z, size_t n, size_t begin, size_t end, std::complex<float>* first,
                std::complex<float>* second);

// The 256-bit (AVX2) loops, or null as for SumSpectraAvx2(); the fastest this build runs.
NarrowPairKernel NarrowPairAvx2();
WidenKernel WidenAvx2();
UnpairKernel UnpairAvx2();
NarrowPairKernel FastestNarrowPair();
WidenKernel FastestWiden();
UnpairKernel FastestUnpair();

}  // namespace kernels
}  // namespace decoder
