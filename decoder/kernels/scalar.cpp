// The plain loops: one channel and one operation at a time. The reference every other
// kernel is held to, bit for bit, and the kernel of builds and layouts without a faster one.
#include "decoder/kernels/kernels.h"

#include <cmath>

namespace decoder {
namespace kernels {

namespace {

// One shelf over n samples in place: the all-pass recurrence, then low band * lowGain + high
// band * highGain, with AllPass::Shelf's operations in its order; kFolded (a shelf of a
// folded turn): x + p * tilt, the tilt held as the bank's high gain.
template <bool kFolded = false>
void ShelfPlane(ShelfBank& bank, int channel, double* samples, int32_t n)
{
    const double a = bank.coefficient[channel];
    const double lowGain = bank.lowGain[channel];
    const double highGain = bank.highGain[channel];
    double prevIn = bank.prevIn[channel];
    double prevOut = bank.prevOut[channel];
    for (int32_t i = 0; i < n; ++i) {
        const double x = samples[i];
        const double p = a * x - prevIn + a * prevOut;
        prevIn = x;
        prevOut = p;
        if constexpr (kFolded) {
            samples[i] = x + p * highGain;
        } else {
            const double high = (x + p) * 0.5;
            const double low = (x - p) * 0.5;
            samples[i] = low * lowGain + high * highGain;
        }
    }
    bank.prevIn[channel] = prevIn;
    bank.prevOut[channel] = prevOut;
}

void Block(KernelState& state, double* const* in, double* const* out, int32_t n)
{
    if (state.foldedTurn) {
        FoldedBlockPlain(state, in, out, n);
        return;
    }
    for (int channel = 0; channel < 3; ++channel) ShelfPlane(state.shelves, channel, in[channel], n);
    MixPlain(state, in, out, 0, n);
}

void Frames(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    FramesThroughPlanes(state, format, src, dst, frames, static_cast<size_t>(state.capacity), Block,
                        DeinterleaveBlock, InterleaveBlock);
}

const DecodeKernel kScalar = {InstructionSet::Scalar, Block, Frames};

}  // namespace

void ScalarShelfThree(ShelfBank& bank, double* pw, double* px, double* py, int32_t count)
{
    ShelfPlane(bank, 0, pw, count);
    ShelfPlane(bank, 1, px, count);
    ShelfPlane(bank, 2, py, count);
}

ShelfKernel ShelfKernelFor(InstructionSet set)
{
    if (set == InstructionSet::Scalar) return ScalarShelfThree;
    // A processor that runs any vector set's decode runs the 128-bit pass.
    const DecodeKernel* (*const decodeKernel[])(uint32_t, uint32_t) = {nullptr, Sse2Kernel, Avx2Kernel, Avx512Kernel};
    const auto kernelOf = decodeKernel[static_cast<int>(set)];
    return kernelOf && kernelOf(4, 4) && Sse2Kernel(4, 4) ? Sse2ShelfThree : nullptr;
}

ShelfKernel FastestShelfKernel()
{
    return Sse2Kernel(4, 4) ? Sse2ShelfThree : ScalarShelfThree;
}

void TurnedZIntoFirstOutput(const KernelState& state, double* const* in, double* const* out, int32_t n)
{
    const double* m = state.turnedZ;
    if (!m) return;
    for (int32_t f = 0; f < n; ++f) out[0][f] = (0.0 * in[0][f] + m[0] * in[1][f]) + (m[1] * in[2][f] + m[2] * in[3][f]);
}

void FoldedMixPlain(const KernelState& state, double* const* in, double* const* out, int32_t first, int32_t n)
{
    const DecoderCoefficients& c = *state.coefficients;
    if (state.foldedPairs != FoldedPairs::None) {
        const bool rings = state.foldedPairs == FoldedPairs::Rings;
        const uint32_t half = state.speakers / 2;
        for (int32_t f = first; f < n; ++f) {
            const double w = in[0][f], x = in[1][f], y = in[2][f], z = in[3][f], turnedZ = rings ? out[0][f] : 0.0;
            for (uint32_t s = 0; s < half; ++s) {
                const double xyz = (c.Gains[1][s] * x + c.Gains[2][s] * y) + c.Gains[3][s] * z;
                const double a = rings ? c.Gains[0][s] * w + xyz : c.Gains[0][s] * w;
                const double b = rings ? state.zGains[s] * turnedZ : xyz;
                out[s][f] = a + b;
                out[s + half][f] = a - b;
            }
        }
        return;
    }
    if (!state.turnedZ) {
        MixPlain(state, in, out, first, n);
        return;
    }
    for (int32_t f = first; f < n; ++f) {
        const double z = out[0][f];
        for (uint32_t s = 0; s < state.speakers; ++s) {
            double sum = 0.0;
            for (uint32_t ch = 0; ch < 4; ++ch) sum = c.Gains[ch][s] * in[ch][f] + sum;
            out[s][f] = state.zGains[s] * z + sum;
        }
    }
}

void FoldedBlockPlain(KernelState& state, double* const* in, double* const* out, int32_t n)
{
    TurnedZIntoFirstOutput(state, in, out, n);
    for (int channel = 0; channel < 4; ++channel) ShelfPlane<true>(state.shelves, channel, in[channel], n);
    FoldedMixPlain(state, in, out, 0, n);
}

void TurnPlanes(const double* m, double* x, double* y, double* z, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        const double vx = x[i], vy = y[i], vz = z[i];
        x[i] = m[0] * vx + m[1] * vy + m[2] * vz;
        y[i] = m[3] * vx + m[4] * vy + m[5] * vz;
        z[i] = m[6] * vx + m[7] * vy + m[8] * vz;
    }
}

void MixPlain(const KernelState& state, double* const* in, double* const* out, int32_t first, int32_t n)
{
    const DecoderCoefficients& c = *state.coefficients;
    for (int32_t f = first; f < n; ++f) {
        for (uint32_t s = 0; s < state.speakers; ++s) {
            double sum = 0.0;
            for (uint32_t ch = 0; ch < state.inChannels; ++ch) sum = c.Gains[ch][s] * in[ch][f] + sum;
            out[s][f] = sum;
        }
    }
}

bool IntegerDecodeStaysFinite(const KernelState& state)
{
    // Integer samples are below 2^31 and a first-order all-pass with |a| <= 1 has a gain of
    // at most 3 on any bounded input (the sum of its impulse response's magnitudes), so with
    // these bounds every value stays far below overflow. A NaN fails every comparison.
    const auto within = [](double v, double bound) { return std::fabs(v) <= bound; };
    const ShelfBank& bank = state.shelves;
    for (int k = 0; k < (state.foldedTurn ? 4 : 3); ++k) {
        if (!within(bank.coefficient[k], 1.0) || !within(bank.lowGain[k], 0x1p32) ||
            !within(bank.highGain[k], 0x1p32) || !within(bank.prevIn[k], 0x1p64) || !within(bank.prevOut[k], 0x1p64))
            return false;
    }
    for (uint32_t ch = 0; ch < state.inChannels; ++ch)
        for (uint32_t s = 0; s < state.speakers; ++s)
            if (!within(state.coefficients->Gains[ch][s], 0x1p32)) return false;
    // A turned Z with entries of at most 2 stays below 2^34.
    if (state.turnedZ) {
        for (int k = 0; k < 3; ++k)
            if (!within(state.turnedZ[k], 2.0)) return false;
        for (uint32_t s = 0; s < state.speakers; ++s)
            if (!within(state.zGains[s], 0x1p32)) return false;
    }
    return true;
}

bool Pcm16DecodeStaysInInt32(const KernelState& state)
{
    if (!IntegerDecodeStaysFinite(state)) return false;
    // With |a| <= 1 the all-pass output is at most 3 times the largest input plus the two
    // memories (its impulse response sums to at most 3 in magnitude; the memories' own
    // response decays), and each shelf output at most (|low| + |high|) / 2 times the input
    // plus that. Rounding moves these bounds by a few parts in 2^50, which the margin of
    // 2^30 against 2^31 covers.
    constexpr double kLargestInput = 32768.0;
    const ShelfBank& bank = state.shelves;
    const int shelved = state.foldedTurn ? 4 : 3;
    double shelfBound[4];
    for (int k = 0; k < shelved; ++k) {
        const double allPass = 3.0 * kLargestInput + std::fabs(bank.prevIn[k]) + std::fabs(bank.prevOut[k]);
        shelfBound[k] = state.foldedTurn ? kLargestInput + std::fabs(bank.highGain[k]) * allPass
                                         : (std::fabs(bank.lowGain[k]) + std::fabs(bank.highGain[k])) * 0.5 *
                                               (kLargestInput + allPass);
    }
    const double(*gains)[8] = state.coefficients->Gains;
    for (uint32_t s = 0; s < state.speakers; ++s) {
        double bound = 0.0;
        for (int ch = 0; ch < shelved; ++ch) bound += std::fabs(gains[ch][s]) * shelfBound[ch];
        if (state.inChannels == 4 && shelved == 3) bound += std::fabs(gains[3][s]) * kLargestInput;
        if (state.turnedZ)
            bound += std::fabs(state.zGains[s]) * kLargestInput *
                     (std::fabs(state.turnedZ[0]) + std::fabs(state.turnedZ[1]) + std::fabs(state.turnedZ[2]));
        if (!(bound <= 0x1p30)) return false;
    }
    return true;
}

bool UsesZ(const KernelState& state)
{
    if (state.inChannels != 4) return false;
    for (uint32_t s = 0; s < state.speakers; ++s)
        if (state.coefficients->Gains[3][s] != 0.0) return true;
    return false;
}

void FramesThroughPlanes(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames,
                         size_t run, BlockKernel block, DeinterleaveFn deinterleave, InterleaveFn interleave)
{
    const size_t bytes = BytesPerSample(format);
    const size_t inFrameBytes = bytes * state.inChannels;
    const size_t outFrameBytes = bytes * state.speakers;
    const size_t capacity = static_cast<size_t>(state.capacity);
    if (run > capacity) run = capacity;
    while (frames > 0 && run > 0) {
        const int32_t n = static_cast<int32_t>(frames < run ? frames : run);
        deinterleave(src, n, format, state.inChannels, state.inPlanes);
        block(state, state.inPlanes, state.outPlanes, n);
        interleave(state.outPlanes, state.speakers, n, format, dst);
        src += static_cast<size_t>(n) * inFrameBytes;
        dst += static_cast<size_t>(n) * outFrameBytes;
        frames -= static_cast<size_t>(n);
    }
}

const DecodeKernel* ScalarKernel(uint32_t inChannels, uint32_t speakers)
{
    return (inChannels == 3 || inChannels == 4) && speakers >= 1 && speakers <= 8 ? &kScalar : nullptr;
}

}  // namespace kernels
}  // namespace decoder
