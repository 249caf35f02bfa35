// Uniformly partitioned overlap-save convolution of several inputs into several outputs.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

#include "decoder/kernels/spectrum.h"

namespace decoder {

// Convolves `inputs` signals with a matrix of filters and sums them into `outputs` signals:
// out[o] = sum over i of in[i] * filter[i][o]. Each filter is cut into partitions of
// `partition` taps whose spectra are multiplied with a frequency-domain delay line of the
// input's past blocks (uniformly partitioned overlap-save, FFT size 2 * partition). Signals,
// spectra and sums are single precision (the filters' spectra are made in double and rounded
// once; two inputs share each forward transform): the output is within a few 1e-7 of its peak
// of the exact convolution.
//
// The output lags the input by exactly Latency() frames (one partition): input is gathered
// until a partition is full, so the result never depends on how the input is split into
// calls. Setup() allocates everything, including the FFT plans and their scratch; Process()
// allocates nothing. One thread at a time.
class BlockConvolver {
public:
    BlockConvolver();
    ~BlockConvolver();
    BlockConvolver(const BlockConvolver&) = delete;
    BlockConvolver& operator=(const BlockConvolver&) = delete;

    // filters[i][o] holds the taps from input i to output o; taps beyond a filter's length are
    // zero and all filters may differ in length (at least one tap overall). `partition` is a
    // power of two from 16 to 65536. Clears all signal memory. Returns false (and keeps the
    // previous set-up) on bad arguments; throws std::bad_alloc when memory runs out, also
    // leaving the previous set-up in force.
    bool Setup(const std::vector<std::vector<std::vector<double>>>& filters, size_t partition);

    // Reads n frames of each of the Inputs() planes and writes n frames of each of the
    // Outputs() planes. in and out planes must not overlap. n == 0 does nothing.
    void Process(const double* const* in, double* const* out, size_t n);

    // Forgets all past input: the next output is as from a fresh set-up.
    void Reset();

    size_t Latency() const { return m_Partition; }
    size_t Inputs() const { return m_Inputs; }
    size_t Outputs() const { return m_Outputs; }

private:
    struct Fft;
    void ConvolvePartition();

    std::unique_ptr<Fft> m_pFft;
    size_t m_Inputs = 0, m_Outputs = 0, m_Partition = 0, m_Partitions = 0, m_Bins = 0;
    size_t m_Chunks = 0;      // m_Bins in chunks of kernels::kSpectrumChunk, the last padded with zeros
    size_t m_Fill = 0;        // frames of the current partition gathered so far
    size_t m_Newest = 0;      // slot of the newest input spectrum in the delay line
    std::vector<float> m_FilterSpectra;   // [chunk][input][partition][output][real, imaginary][bin of chunk]
    // The arrays the transforms run on, each starting on a 64-byte boundary of its store.
    std::vector<std::complex<float>> m_WindowStore, m_PairStore, m_InputStore, m_SumStore;
    std::vector<float> m_OutputStore;
    std::vector<double> m_Zeros;                         // partition zeros: the partner of an odd last input
    std::complex<float>* m_pWindows = nullptr;           // [input / 2][2 * partition]: last partition, this one
    std::complex<float>* m_pPairSpectrum = nullptr;      // [2 * partition]: one window's transform
    std::complex<float>* m_pInputSpectra = nullptr;      // [input][slot][chunk * kSpectrumChunk]
    std::complex<float>* m_pSums = nullptr;              // [output][chunk * kSpectrumChunk]
    float* m_pOutputTime = nullptr;                      // [output][2 * partition]: the block out is the upper half
    kernels::SpectrumSumsKernel m_SumSpectra = kernels::SumSpectraPlain;
    kernels::NarrowPairKernel m_NarrowPair = kernels::NarrowPairPlain;
    kernels::WidenKernel m_Widen = kernels::WidenPlain;
    kernels::UnpairKernel m_Unpair = kernels::UnpairPlain;
};

}  // namespace decoder
