// Speaker layouts and their gain tables.
#pragma once

#include <cstdint>

namespace decoder {

// The gain matrix and shelf gains of one speaker layout. A plain record: Gains[ch][s]
// multiplies input channel ch (0 W, 1 X, 2 Y, 3 Z) into speaker s. Only the first
// SpeakerCount(type) columns are meaningful; later columns keep whatever an earlier setup
// left there. X and Y are weighted LowGain below the crossover and HighGain above it; W gets
// 2 - LowGain and 2 - HighGain.
struct DecoderCoefficients {
    double Gains[4][8];
    double LowGain;
    double HighGain;
};

// Fills `c` for `decodeType`: shelf gains 1.33 and 1.15 (1.0 and 1.0 for type 1) and the
// columns of the layout. A type outside 0..6 (negative ones included) sets only the two shelf
// gains and leaves the table as it was.
void SetupDecoderCoefficients(DecoderCoefficients& c, int8_t decodeType);

// Speakers of a decode type: 4 for 0 and 1, 6 for 2 and 3, 8 for 4 to 6; 0 for any other
// value, which has no layout (the caller then keeps its previous count).
uint32_t SpeakerCount(int8_t decodeType);

}  // namespace decoder
