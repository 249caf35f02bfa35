// The channel sets B-Format files carry, by convention: which channel counts are Ambisonic
// signals, of which order, and where their first-order part stands.
#pragma once

#include <cstddef>

namespace decoder {

// A FuMa channel set: its order and whether its first-order part has Z. W, X and Y are always
// the first three channels, Z the fourth when present; mixed-order sets carry the horizontal
// channels of the higher orders only.
struct FumaChannelSet {
    unsigned channels, order;
    bool height;
};
inline constexpr FumaChannelSet kFumaChannelSets[] = {
    {3, 1, false}, {4, 1, true},                                // WXY, WXYZ
    {5, 2, false}, {6, 2, true}, {9, 2, true},                  // WXYUV, WXYZUV, WXYZRSTUV
    {7, 3, false}, {8, 3, true}, {11, 3, true}, {16, 3, true},  // WXYUVPQ, WXYZUVPQ, WXYZRSTUVPQ, full
};

// The FuMa set of `channels` channels, or null when no set has that many.
inline const FumaChannelSet* FumaChannelSetOf(unsigned channels)
{
    for (const FumaChannelSet& set : kFumaChannelSets)
        if (set.channels == channels) return &set;
    return nullptr;
}

}  // namespace decoder
