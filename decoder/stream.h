// The one description of a stream that every prepare step of the engine takes, and the one
// result every prepare step gives.
#pragma once

#include <cstdint>

namespace decoder {

// What a stream brings to a prepare step: its input channels (3 for W, X, Y; 4 with Z), its
// sample rate in Hz, and the frames of the largest block one process call will be given.
struct StreamDescription {
    uint32_t inChannels = 0;
    double sampleRate = 0.0;
    int32_t maxBlockFrames = 0;
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
