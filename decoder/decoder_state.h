// The decoder's per-stream state and the block decode that runs on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoder/allpass.h"
#include "decoder/coefficients.h"
#include "decoder/planes.h"
#include "decoder/sample_format.h"

namespace decoder {

// Which version of the hot loops runs. Every path gives identical bits; the plain scalar
// loops are kept as the reference and for measurement.
//   Scalar  the plain loops, one channel and one operation at a time;
//   Sse2    128-bit loops, one pass per stage over short runs (any x86 build);
//   Avx2    256-bit loops with shelf, matrix and conversions fused per frame (x86-64, not on
//           Windows builds, and only on processors that have it);
//   Fast    the fastest of these that this build and processor can run.
// A path that is not available here runs the next one down (Avx2 -> Sse2 -> Scalar).
enum class DecodePath { Scalar, Sse2, Avx2, Fast };

// Whether `path` runs as itself here rather than falling back.
bool PathAvailable(DecodePath path);

// Crossover of the shelf filters, in Hz.
constexpr double kCrossoverHz = 500.0;

// Everything the block decode reads and writes: the gain table in force, the channel counts,
// the three shelf filters (W, X, Y; Z is not shelved) and the two plane sets.
//
// The decoder filter owns one of these. It writes m_Coefficients when it is built and calls
// Allocate() when the output buffers are decided; the streaming thread then only runs
// DecodeBlock()/DecodeFrames(), which allocate nothing. No locking of its own: the owner keeps
// Allocate() and the decode from running at the same time.
struct DecoderState {
    enum class AllocateResult { Ok, BadLayout, BadSampleRate, OutOfMemory };

    DecoderCoefficients m_Coefficients{};
    uint32_t m_nInChannels = 0;   // 3 (W, X, Y) or 4 (W, X, Y, Z)
    uint32_t m_nSpeakers = 0;     // output planes, 1..8
    std::unique_ptr<AllPass> m_pShelfW;
    std::unique_ptr<AllPass> m_pShelfX;
    std::unique_ptr<AllPass> m_pShelfY;
    SamplePlanes m_InPlanes;      // m_nInChannels planes
    SamplePlanes m_OutPlanes;     // m_nSpeakers planes

    // Builds fresh shelf filters (cleared memory, tuned to crossoverHz at sampleRate) and
    // plane sets for blocks of up to `capacity` frames, for `inChannels` (3 or 4) inputs and
    // `speakers` (1..8) outputs. All or nothing: everything is built first and swapped in at
    // the end, so on any failure the state is exactly as before. Never throws.
    AllocateResult Allocate(uint32_t inChannels, uint32_t speakers, int32_t capacity, double sampleRate,
                            double crossoverHz = kCrossoverHz);

    // True once Allocate() has succeeded: shelves and planes match the channel counts.
    bool IsReady() const;

    // Frames one block may hold (the planes' capacity); 0 before Allocate().
    int32_t Capacity() const { return IsReady() ? m_InPlanes.Capacity() : 0; }

    // Shelves frames 0..n-1 of in[0..2] in place (W with 2 - LowGain / 2 - HighGain, X and Y
    // with LowGain / HighGain), then mixes in[0..m_nInChannels-1] through the gain table into
    // frames 0..n-1 of out[0..m_nSpeakers-1]. Z (in[3]) is not modified. Shelf memory carries
    // over, so two blocks of n equal one of 2n. Needs planes of at least n frames, in and out
    // distinct; n <= 0, or a state that is not ready, changes nothing.
    void DecodeBlock(double* const* in, double* const* out, int32_t n, DecodePath path = DecodePath::Fast);

    // The whole path for interleaved audio: `frames` frames of m_nInChannels samples from src
    // are deinterleaved into m_InPlanes, decoded and interleaved as `frames` frames of
    // m_nSpeakers samples into dst, in blocks of at most Capacity() frames (the Avx2 path
    // keeps each frame in registers and leaves the planes alone). src holds
    // frames * m_nInChannels and dst frames * m_nSpeakers samples of `format`; nothing
    // outside those is read or written. Format None, frames 0 or a state that is not ready
    // does nothing.
    void DecodeFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames,
                      DecodePath path = DecodePath::Fast);
};

}  // namespace decoder
