// The one description of a stream that every prepare step of the engine takes, and the one
// result every prepare step gives.
#pragma once

#include <cstdint>

namespace decoder {

// Channel orders and weights a B-Format stream may come in.
enum class InputConvention {
    Fuma,   // W X Y Z R S T U V K L M N O P Q, W at -3 dB; orders 1-3, mixed-order sets too
    Ambix,  // ACN channel order, SN3D weights; (N+1)^2 channels, N = 1..7
    N3d,    // ACN channel order, N3D weights; (N+1)^2 channels, N = 1..7
};

// What a stream brings to a prepare step: its input channels in `convention` (first-order
// FuMa, the default: 3 for W, X, Y; 4 with Z), its sample rate in Hz, and the frames of the
// largest block one process call will be given.
struct StreamDescription {
    uint32_t inChannels = 0;
    double sampleRate = 0.0;
    int32_t maxBlockFrames = 0;
    InputConvention convention = InputConvention::Fuma;
};

// What a prepare step reports. On anything but Ok the step has changed nothing: the previous
// preparation (or none) stays in force.
enum class PrepareResult {
    Ok,
    BadChannels,     // an input channel count the decoder has no path for
    BadSampleRate,   // not finite, or outside what the filters can be tuned for
    BadBlockFrames,  // a largest block below 1 or beyond what the step can hold
    BadRig,          // a rig the decoder cannot run (no speakers, or more than it can mix)
    BadResponses,    // headphone responses that are missing or unusable
    OutOfMemory,
};

}  // namespace decoder
