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

// Samples into the convolver's single-precision windows (each rounded to the nearest float)
// and out of its output blocks (exact). `from` and `to` do not overlap; n may be anything.
using NarrowKernel = void (*)(const double* from, float* to, size_t n);
using WidenKernel = void (*)(const float* from, double* to, size_t n);
void NarrowPlain(const double* from, float* to, size_t n);
void WidenPlain(const float* from, double* to, size_t n);

// The 256-bit (AVX2) loops, or null as for SumSpectraAvx2(); the fastest this build runs.
NarrowKernel NarrowAvx2();
WidenKernel WidenAvx2();
NarrowKernel FastestNarrow();
WidenKernel FastestWiden();

}  // namespace kernels
}  // namespace decoder
