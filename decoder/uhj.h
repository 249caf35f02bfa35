// Two-channel UHJ: B-Format (W, X, Y) to a stereo pair that plays as stereo and decodes back
// to a horizontal surround.
#pragma once

#include <cstdint>

namespace decoder {

// A wideband 90-degree phase-difference network: two chains of four second-order all-pass
// sections in z^-2, (c − z^-2) / (1 − c·z^-2), the reference chain delayed by one more sample.
// The quadrature output leads the reference output by 90 degrees, within 0.7 degrees from
// 0.00045 to 0.4995 of the sample rate (20 Hz to 22.03 kHz at 44.1 kHz, 22 Hz to 23.98 kHz at
// 48 kHz; at higher rates the low edge rises in proportion); both outputs have unit magnitude
// at every frequency. Fixed-size state, no allocation; one thread at a time.
class PhaseDifferenceNetwork {
public:
    // Filters one sample through both chains.
    void Process(double in, double& reference, double& quadrature)
    {
        reference = Reference(in);
        quadrature = Quadrature(in);
    }
    // One chain alone, for a signal that needs only one of the two phases; each chain keeps
    // its own memory.
    double Reference(double in);
    double Quadrature(double in);
    void Reset();

private:
    struct Chain {
        double x1[4] = {}, x2[4] = {}, y1[4] = {}, y2[4] = {};
        double Run(const double (&c)[4], double in);
    };
    Chain m_Reference, m_Quadrature;
    double m_ReferenceDelay = 0.0;
};

// Gerzon's two-channel UHJ encoder, for B-Format with W at -3 dB (FuMa):
//   S = 0.9396926·W + 0.1855740·X
//   D = j·(−0.3420201·W + 0.5098604·X) + 0.6554516·Y
//   L = (S + D) / 2,  R = (S − D) / 2
// where j is a wideband +90-degree phase shift, realised by PhaseDifferenceNetwork (so every
// term passes an all-pass: the outputs are the equations' up to a common phase response). A
// source ahead gives equal levels on L and R, a source on the left a louder L. Z is ignored.
// Sample by sample, so blocks may be split anywhere. Fixed-size state, no allocation; one
// thread at a time.
class UhjEncoder {
public:
    // Reads n frames of in[0..2] (W, X, Y) and writes n frames of out[0] (L) and out[1] (R).
    // n <= 0 does nothing.
    void Process(const double* const* in, double* const* out, int32_t n);
    void Reset();

private:
    // Reference chains of the first two carry S and the unturned part of D; the quadrature
    // chain of the third carries the part of D that j turns.
    PhaseDifferenceNetwork m_Mid, m_Side, m_Turned;
};

}  // namespace decoder
