// The fixed gain table of a speaker decode.
#pragma once

namespace decoder {

// Crossover of the shelf filters, in Hz.
constexpr double kCrossoverHz = 500.0;

// The gain matrix and shelf gains of one speaker decode. A plain record: Gains[ch][s]
// multiplies input channel ch (0 W, 1 X, 2 Y, 3 Z) into speaker s; columns past the rig's
// speakers are 0. X and Y are weighted LowGain below the crossover and HighGain above it; W
// gets 2 - LowGain and 2 - HighGain.
struct DecoderCoefficients {
    double Gains[4][8];
    double LowGain;
    double HighGain;
};

}  // namespace decoder
