// The general decode's loops: any number of input channels, each split into a low and a high
// band by one first-order all-pass, mixed by two gain matrices into any number of outputs,
// from interleaved samples to interleaved samples in one pass per frame. One function per
// instruction set; every one gives the plain loop's bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/sample_format.h"

namespace decoder {
namespace kernels {

// Largest channel counts the general decode runs: seventh-order input, 64 speakers.
constexpr uint32_t kMaxMatrixInputs = 64;
constexpr uint32_t kMaxMatrixOutputs = 64;
// Gain rows are padded to a multiple of this many outputs (with zero gains), so that vector
// loops may run whole registers (up to eight doubles) over them.
constexpr uint32_t kMatrixOutputPadding = 8;

// Everything the loop reads and writes besides its input and output. Per frame f and input c,
// with x the input sample as a double:
//     a = coefficient * x - prevIn[c] + coefficient * prevOut[c];  prevIn[c] = x;  prevOut[c] = a;
// then each output s sums, from 0.0 and in this order,
//     direct[c * stride + s] * x  for c = 0..inputs-1,  then  shifted[c * stride + s] * a  likewise,
// each term added as term + sum. (direct = (low + high) / 2 and shifted = (high - low) / 2 turn
// the low band (x - a) / 2 and the high band (x + a) / 2 into this form.)
struct MatrixKernelState {
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    uint32_t stride = 0;            // outputs rounded up to kMatrixOutputPadding
    double coefficient = 0.0;
    double* prevIn = nullptr;       // [inputs]
    double* prevOut = nullptr;      // [inputs]
    const double* direct = nullptr;   // [inputs * stride]
    const double* shifted = nullptr;  // [inputs * stride]
};

// `frames` frames of `inputs` samples of `format` from src into `frames` frames of `outputs`
// samples at dst. Integer output saturates, float output is the double rounded to float.
using MatrixFramesKernel = void (*)(MatrixKernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst,
                                    size_t frames);

void MatrixFramesPlain(MatrixKernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames);

// The 256-bit and 512-bit loops (four or eight outputs, and as many inputs' all-passes, per
// register), or null when this build or processor has none.
MatrixFramesKernel MatrixFramesAvx2();
MatrixFramesKernel MatrixFramesAvx512();

// The fastest loop this build and processor run.
MatrixFramesKernel FastestMatrixFrames();

}  // namespace kernels
}  // namespace decoder
