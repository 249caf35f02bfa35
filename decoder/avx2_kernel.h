// The 256-bit decode loops: shelf, matrix and conversions fused into one pass per frame.
// Internal to decoder/; reached through DecoderState with DecodePath::Avx2 or Fast.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/sample_format.h"

namespace decoder {

struct DecoderState;

namespace avx2 {

// True when this build has the 256-bit loops and the processor (and operating system) can
// run them. The loops are left out of Windows builds, whose compiler cannot keep 32-byte
// stack slots aligned.
bool Supported();

// The whole interleaved path over `frames` frames, without the planes: each frame is loaded,
// shelved (W, X, Y in one register), mixed (speakers across the lanes) and stored. Identical
// bits to the plain loops; the shelf memory advances the same way. Returns false, doing
// nothing, when the layout has no 256-bit loop or Supported() is false. The state must be
// ready.
bool DecodeFrames(DecoderState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames);

// DecodeBlock on planes, with the same contract as the plain version. Returns false, doing
// nothing, when the layout has no 256-bit loop or Supported() is false.
bool DecodeBlock(DecoderState& state, double* const* in, double* const* out, int32_t n);

}  // namespace avx2
}  // namespace decoder
