// The body of the decoder filter's per-sample transform: media samples in, media samples out.
// The one part of decoder/ that sees the platform's media-sample interface.
#pragma once

#include "platform/platform.h"

#include "decoder/decoder_state.h"
#include "decoder/stereo_output.h"

namespace decoder {

// The extensible wave format's two B-Format subformats: integer PCM and IEEE float.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_BFORMAT_PCM = {
    0x00000001, 0x0721, 0x11D3, {0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT = {
    0x00000003, 0x0721, 0x11D3, {0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00}};

// The conversion path of a stored input format, tested in this order: B-Format PCM with 16,
// 24 or 32 bits per sample, then B-Format IEEE float with 32. None for anything else,
// including a null format and one that does not declare itself extensible.
SampleFormat SampleFormatOf(const WAVEFORMATEXTENSIBLE* format);

// Decodes one input media sample into one output media sample. Calls, in order: on pIn
// GetActualDataLength, on pOut GetSize, GetPointer on pIn then pOut, then (after converting)
// CopySampleProperties, then SetActualDataLength on pOut.
//
// Converts n whole frames: every whole input frame, but no more than fit in the output
// sample's GetSize, so nothing is written past it. The output length is n * speakers * bytes
// per sample. An input longer than the planes is decoded in pieces of their capacity. A
// format with no conversion path (see SampleFormatOf) converts nothing and sets the output
// length to 0.
//
// Returns S_OK; the failure of either GetPointer (or a null buffer when there is audio to
// convert) before anything is converted or the output is touched; E_UNEXPECTED, likewise, if
// there is audio but the state has not been allocated; and a failure of SetActualDataLength.
// The result of CopySampleProperties is not examined. Runs on the streaming thread; takes no
// lock and allocates nothing.
HRESULT TransformSample(DecoderState& state, const WAVEFORMATEXTENSIBLE* format, IMediaSample* pIn,
                        IMediaSample* pOut);

// The same for a two-channel output: as above, with 2 output channels in place of the
// speakers and `output` rendering the frames.
HRESULT TransformSample(StereoOutput& output, const WAVEFORMATEXTENSIBLE* format, IMediaSample* pIn,
                        IMediaSample* pOut);

// Copies timing and flags from pIn to pOut: the start and stop times when pIn's GetTime gives
// exactly S_OK, the media times likewise, then the sync-point, preroll and discontinuity
// flags. A flag query answering anything but S_OK or S_FALSE stops the copy with
// E_UNEXPECTED. Otherwise returns what SetDiscontinuity returned.
HRESULT CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut);

}  // namespace decoder
