#include "decoder/kernels/matrix.h"

namespace decoder {
namespace kernels {

namespace {

template <class Format>
void Frames(MatrixKernelState& s, const uint8_t* src, uint8_t* dst, size_t frames)
{
    const uint32_t inputs = s.inputs, outputs = s.outputs, stride = s.stride;
    const double a = s.coefficient;
    double x[kMaxMatrixInputs], shifted[kMaxMatrixInputs];
    double prevIn[kMaxMatrixInputs], prevOut[kMaxMatrixInputs];
    for (uint32_t c = 0; c < inputs; ++c) {
        prevIn[c] = s.prevIn[c];
        prevOut[c] = s.prevOut[c];
    }
    for (size_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < inputs; ++c) {
            x[c] = Format::ToDouble(src + c * Format::kBytes);
            shifted[c] = a * x[c] - prevIn[c] + a * prevOut[c];
            prevIn[c] = x[c];
            prevOut[c] = shifted[c];
        }
        for (uint32_t o = 0; o < outputs; ++o) {
            double sum = 0.0;
            for (uint32_t c = 0; c < inputs; ++c) sum = s.direct[c * stride + o] * x[c] + sum;
            for (uint32_t c = 0; c < inputs; ++c) sum = s.shifted[c * stride + o] * shifted[c] + sum;
            Format::FromDouble(sum, dst + o * Format::kBytes);
        }
        src += inputs * Format::kBytes;
        dst += outputs * Format::kBytes;
    }
    for (uint32_t c = 0; c < inputs; ++c) {
        s.prevIn[c] = prevIn[c];
        s.prevOut[c] = prevOut[c];
    }
}

}  // namespace

void MatrixFramesPlain(MatrixKernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    switch (format) {
        case SampleFormat::Pcm16: return Frames<Pcm16Format>(state, src, dst, frames);
        case SampleFormat::Pcm24: return Frames<Pcm24Format>(state, src, dst, frames);
        case SampleFormat::Pcm32: return Frames<Pcm32Format>(state, src, dst, frames);
        case SampleFormat::Float32: return Frames<Float32Format>(state, src, dst, frames);
        case SampleFormat::None: return;
    }
}

MatrixFramesKernel FastestMatrixFrames()
{
    if (MatrixFramesKernel avx512 = MatrixFramesAvx512()) return avx512;
    if (MatrixFramesKernel avx2 = MatrixFramesAvx2()) return avx2;
    return MatrixFramesPlain;
}

}  // namespace kernels
}  // namespace decoder
