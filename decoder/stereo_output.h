// The decoder filter's two-channel outputs: UHJ stereo and headphones, on interleaved audio.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/binaural.h"
#include "decoder/planes.h"
#include "decoder/sample_format.h"
#include "decoder/uhj.h"

namespace decoder {

// Two channels out of B-Format: Gerzon's UHJ (left, right) or a headphone decode (left ear,
// right ear). Owns its input and output planes and the encoder or binaural decoder.
//
// The owner calls Setup() at format negotiation (allocates) and RenderFrames() per media
// sample on the streaming thread (allocates nothing); no locking of its own: the owner keeps
// the two from running at the same time.
class StereoOutput {
public:
    enum class Mode { Uhj, Headphones };

    // Builds the planes for blocks of settings.maxBlockFrames frames of settings.inChannels
    // inputs and, for headphones, the binaural decoder from `settings` (virtual layout,
    // responses, rate); UHJ reads only the channel count and block size. The encoder's or
    // decoder's memory starts cleared. All or nothing: on any result but Ok the previous
    // set-up stays in force. Never throws.
    BinauralSetupResult Setup(Mode mode, const BinauralSettings& settings);

    // `frames` frames of InChannels() samples of `format` from src, deinterleaved, rendered
    // and written as `frames` frames of 2 samples into dst, in blocks of at most Capacity()
    // frames. Integer samples saturate as in the speaker decode (sample_format.h). Memory
    // carries over calls, so the result does not depend on how the stream is split. Format
    // None, frames 0 or a set-up that has not succeeded does nothing.
    void RenderFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames);

    bool IsReady() const { return m_Ready; }
    uint32_t InChannels() const { return m_InPlanes.Channels(); }
    // Frames one block may hold; 0 before a successful Setup().
    int32_t Capacity() const { return m_Ready ? m_InPlanes.Capacity() : 0; }
    Mode CurrentMode() const { return m_Mode; }

private:
    SamplePlanes m_InPlanes;
    SamplePlanes m_OutPlanes;
    UhjEncoder m_Uhj;
    BinauralDecoder m_Binaural;
    Mode m_Mode = Mode::Uhj;
    bool m_Ready = false;
};

}  // namespace decoder
