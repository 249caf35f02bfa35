// The general speaker decode: any number of input channels (an Ambisonic signal of any order)
// into any number of speakers through a dual-band decoder, the bands split by a first-order
// all-pass at a crossover frequency and each band mixed by its own gain matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/kernels/matrix.h"
#include "decoder/sample_format.h"

namespace decoder {

// What a general decode runs: `low` and `high` hold outputs x inputs gains, row-major (gain of
// input c into output s at [s * inputs + c]); the low band is (x - A(x)) / 2 and the high band
// (x + A(x)) / 2 of each input x, A the all-pass tuned to crossoverHz. A single-band decoder has
// low == high (the all-pass then changes nothing).
struct MatrixDecoderGains {
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    std::vector<double> low;
    std::vector<double> high;
    double crossoverHz = 500.0;
};

// Runs one general decode on interleaved audio. Prepare() at negotiation allocates and clears
// the filter memory; Process() on the streaming thread allocates nothing and takes no lock.
// The owner keeps the two from running at the same time. Process() picks the fastest loop
// this processor runs, which gives the plain loop's bits.
class MatrixDecoder {
public:
    enum class Result { Ok, BadChannels, BadGains, BadSampleRate, OutOfMemory };

    // All or nothing: on any result but Ok the previous preparation stays in force. Channel
    // counts 1..kMaxMatrixInputs and 1..kMaxMatrixOutputs; gains finite and of the stated
    // size; a rate at which the crossover can be tuned. Never throws.
    Result Prepare(const MatrixDecoderGains& gains, double sampleRate);

    bool IsReady() const { return m_State.inputs != 0; }
    uint32_t Inputs() const { return m_State.inputs; }
    uint32_t Outputs() const { return m_State.outputs; }

    // `frames` frames of Inputs() samples of `format` from src into `frames` frames of
    // Outputs() samples at dst. Filter memory carries over calls. Does nothing before a
    // successful Prepare(), for frames 0 or format None.
    void Process(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames);

    // Clears the filter memory, as after Prepare(); a fold in force stays.
    void Reset();

    // Folds a steady turn of the input into the gains: Process() on x then gives what the
    // unfolded gains give on turn * x, exactly but for round-off, as the all-pass acts alike
    // on every input and so commutes with any fixed mix of them. `turn` and `inverse` are
    // Inputs() x Inputs(), row-major, one the other's inverse; the filter memory, which holds
    // the turned input's, is carried over to the unturned input's through `inverse`. A null
    // turn undoes the fold, carrying the memory back; so does the next Prepare(). Costs
    // Inputs()^2 * (Outputs() + 2) steps and allocates nothing; does nothing before Prepare().
    void Fold(const double* turn, const double* inverse);
    bool IsFolded() const { return m_Folded; }

    // The loop Process() runs until the next Prepare(), for tests and benchmarks that hold the
    // loops to equal bits or compare their speed; a null loop (one this processor lacks)
    // leaves it as it is.
    void UseLoop(kernels::MatrixFramesKernel loop)
    {
        if (loop) m_Kernel = loop;
    }
    void UsePlainLoop() { UseLoop(kernels::MatrixFramesPlain); }

private:
    kernels::MatrixKernelState m_State;
    kernels::MatrixFramesKernel m_Kernel = kernels::MatrixFramesPlain;
    // Multiplies both filter memories by the Inputs() x Inputs() matrix m.
    void MixMemory(const double* m);

    std::vector<double> m_Direct, m_Shifted, m_PrevIn, m_PrevOut;
    // The folded gains and the turn they fold, sized at Prepare; scratch for MixMemory.
    std::vector<double> m_FoldedDirect, m_FoldedShifted, m_FoldTurn, m_Mixed;
    bool m_Folded = false;
};

}  // namespace decoder
