// The block convolution's frequency-domain step (block_convolver.h): the input spectra times
// the filter spectra, summed into the outputs' pending spectra. One function per
// instruction set; every one gives the plain loop's bits.
#pragma once

#include <complex>
#include <cstddef>

namespace decoder {
namespace kernels {

// Bins per chunk of the spectra: the sums run chunk by chunk, all of a chunk's products for one
// output added in registers before its sum is stored; the filter spectra are laid out chunk by
// chunk, so that they are read in the order they lie in memory.
constexpr size_t kSpectrumChunk = 16;

// One block's share of every output's spectrum, added into a ring of pending output spectra
// (the transposed form of the frequency-domain delay line: only this block's input spectra are
// read, not the past blocks'; the ring holds one pending spectrum per partition and output).
// For every partition p, output o and bin k of every chunk,
//     z = 0 + x·h + x·h + ...  over inputs i in order, x input i's spectrum of this block and
//                              h the filter (p, i, o); each product (xr·hr − xi·hi,
//                              xr·hi + xi·hr) is rounded before it is added;
//     pending[(newest + p) % partitions][o][k] = z                     for p = partitions − 1,
//                                              = pending[...] + z      otherwise.
// The slot `newest` then holds this block's finished output spectrum; the last partition's
// slot is the one whose output went out the block before. So every output bin is summed over
// partitions from the last to the first, each partition's share over inputs in order.
struct SpectrumSums {
    size_t inputs = 0, outputs = 0, partitions = 0, chunks = 0, newest = 0;
    const std::complex<double>* x = nullptr;   // [input][chunk * kSpectrumChunk]
    const std::complex<double>* h = nullptr;   // [chunk][partition][input][output][bin of chunk]
    std::complex<double>* pending = nullptr;   // [slot][output][chunk * kSpectrumChunk]
};

using SpectrumSumsKernel = void (*)(const SpectrumSums& s);

void SumSpectraPlain(const SpectrumSums& s);

// The 256-bit (AVX) and 512-bit loops, or null when this build or processor has none (Windows
// builds have none: their compiler cannot keep 32-byte stack slots aligned).
SpectrumSumsKernel SumSpectraAvx();
SpectrumSumsKernel SumSpectraAvx512();

// The fastest loop this build and processor run.
SpectrumSumsKernel FastestSumSpectra();

}  // namespace kernels
}  // namespace decoder
