#include "decoder/matrix_decoder.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "decoder/allpass.h"

namespace decoder {

MatrixDecoder::Result MatrixDecoder::Prepare(const MatrixDecoderGains& gains, double sampleRate)
{
    if (gains.inputs < 1 || gains.inputs > kernels::kMaxMatrixInputs || gains.outputs < 1 ||
        gains.outputs > kernels::kMaxMatrixOutputs)
        return Result::BadChannels;
    const size_t cells = static_cast<size_t>(gains.inputs) * gains.outputs;
    if (gains.low.size() != cells || gains.high.size() != cells) return Result::BadGains;
    for (size_t i = 0; i < cells; ++i)
        if (!std::isfinite(gains.low[i]) || !std::isfinite(gains.high[i])) return Result::BadGains;
    const double coefficient = AllPass::CoefficientFor(gains.crossoverHz, sampleRate);
    if (!std::isfinite(coefficient) || std::fabs(coefficient) > 1.0) return Result::BadSampleRate;
    try {
        const uint32_t stride = (gains.outputs + kernels::kMatrixOutputPadding - 1) / kernels::kMatrixOutputPadding *
                                kernels::kMatrixOutputPadding;
        std::vector<double> direct(static_cast<size_t>(gains.inputs) * stride, 0.0);
        std::vector<double> shifted(direct.size(), 0.0);
        for (uint32_t s = 0; s < gains.outputs; ++s)
            for (uint32_t c = 0; c < gains.inputs; ++c) {
                const double low = gains.low[s * gains.inputs + c], high = gains.high[s * gains.inputs + c];
                direct[c * stride + s] = (low + high) * 0.5;
                shifted[c * stride + s] = (high - low) * 0.5;
            }
        std::vector<double> prevIn(gains.inputs, 0.0), prevOut(gains.inputs, 0.0);
        std::vector<double> foldedDirect(direct.size()), foldedShifted(direct.size());
        std::vector<double> foldTurn(size_t{gains.inputs} * gains.inputs), mixed(gains.inputs);
        m_Direct.swap(direct);
        m_Shifted.swap(shifted);
        m_PrevIn.swap(prevIn);
        m_PrevOut.swap(prevOut);
        m_FoldedDirect.swap(foldedDirect);
        m_FoldedShifted.swap(foldedShifted);
        m_FoldTurn.swap(foldTurn);
        m_Mixed.swap(mixed);
        m_Folded = false;
        m_State.inputs = gains.inputs;
        m_State.outputs = gains.outputs;
        m_State.stride = stride;
        m_State.coefficient = coefficient;
        m_State.direct = m_Direct.data();
        m_State.shifted = m_Shifted.data();
        m_State.prevIn = m_PrevIn.data();
        m_State.prevOut = m_PrevOut.data();
        m_Kernel = kernels::FastestMatrixFrames();
    } catch (const std::bad_alloc&) {
        return Result::OutOfMemory;
    }
    return Result::Ok;
}

void MatrixDecoder::Process(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (!IsReady() || frames == 0 || format == SampleFormat::None) return;
    m_Kernel(m_State, format, src, dst, frames);
}

void MatrixDecoder::Reset()
{
    std::fill(m_PrevIn.begin(), m_PrevIn.end(), 0.0);
    std::fill(m_PrevOut.begin(), m_PrevOut.end(), 0.0);
}

void MatrixDecoder::MixMemory(const double* m)
{
    const uint32_t n = m_State.inputs;
    for (std::vector<double>* memory : {&m_PrevIn, &m_PrevOut}) {
        for (uint32_t r = 0; r < n; ++r) {
            double sum = 0.0;
            for (uint32_t c = 0; c < n; ++c) sum += m[size_t{r} * n + c] * (*memory)[c];
            m_Mixed[r] = sum;
        }
        std::copy(m_Mixed.begin(), m_Mixed.end(), memory->begin());
    }
}

void MatrixDecoder::Fold(const double* turn, const double* inverse)
{
    if (!IsReady()) return;
    if (m_Folded) {
        MixMemory(m_FoldTurn.data());
        m_State.direct = m_Direct.data();
        m_State.shifted = m_Shifted.data();
        m_Folded = false;
    }
    if (!turn) return;
    const uint32_t n = m_State.inputs, stride = m_State.stride;
    // Gains are stored column by column (input c's gains into every output at c * stride):
    // the folded column c is the sum over k of column k times turn[k][c].
    for (uint32_t c = 0; c < n; ++c)
        for (uint32_t s = 0; s < stride; ++s) {
            double direct = 0.0, shifted = 0.0;
            for (uint32_t k = 0; k < n; ++k) {
                const double t = turn[size_t{k} * n + c];
                direct += m_Direct[size_t{k} * stride + s] * t;
                shifted += m_Shifted[size_t{k} * stride + s] * t;
            }
            m_FoldedDirect[size_t{c} * stride + s] = direct;
            m_FoldedShifted[size_t{c} * stride + s] = shifted;
        }
    std::copy(turn, turn + size_t{n} * n, m_FoldTurn.begin());
    MixMemory(inverse);
    m_State.direct = m_FoldedDirect.data();
    m_State.shifted = m_FoldedShifted.data();
    m_Folded = true;
}

}  // namespace decoder
