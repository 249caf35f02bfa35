// The body of the decoder filter's per-sample transform: media samples in, media samples out.
// The one part of decoder/ that sees the platform's media-sample interface.
#pragma once

#include "platform/platform.h"

#include "decoder/renderer.h"

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

// Where the tail of a lagging output goes on in time: from the stop time of the last input
// sample rendered, when that sample had times, and how many tail frames have gone since.
struct TailClock {
    bool timed = false;
    REFERENCE_TIME start = 0;
    size_t delivered = 0;
};

// Renders one input media sample into one output media sample through `renderer`. Calls, in
// order: on pIn GetActualDataLength, on pOut GetSize, GetPointer on pIn then pOut, then (after
// converting) CopySampleProperties, then SetActualDataLength on pOut.
//
// Converts n whole frames: every whole input frame, but no more than fit in the output
// sample's GetSize, so nothing is written past it. The output length is n * output channels *
// bytes per sample. An input longer than the renderer's blocks is rendered in pieces. A
// format with no conversion path (see SampleFormatOf) converts nothing and sets the output
// length to 0. Once frames went out of a renderer that lags its input, `clock` restarts at
// pIn's stop time (pIn's GetTime is asked once more).
//
// Returns S_OK; the failure of either GetPointer (or a null buffer when there is audio to
// convert) before anything is converted or the output is touched; E_UNEXPECTED, likewise, if
// there is audio but the renderer is not prepared; and a failure of SetActualDataLength.
// The result of CopySampleProperties is not examined. Runs on the streaming thread; takes no
// lock and allocates nothing.
HRESULT TransformSample(Renderer& renderer, const WAVEFORMATEXTENSIBLE* format, IMediaSample* pIn,
                        IMediaSample* pOut, TailClock& clock);

// Fills pOut with the next piece of the renderer's tail: as many of its TailFrames() as fit in
// pOut's GetSize, rendered in `format`, timed from `clock` (the pieces add up without drift)
// and marked a sync point. E_FAIL when pOut holds no whole frame; the failure of GetPointer or
// SetActualDataLength. Streaming thread; allocates nothing.
HRESULT TailSample(Renderer& renderer, const WAVEFORMATEXTENSIBLE* format, TailClock& clock, IMediaSample* pOut);

// Copies timing and flags from pIn to pOut: the start and stop times when pIn's GetTime gives
// exactly S_OK, the media times likewise, then the sync-point, preroll and discontinuity
// flags. A flag query answering anything but S_OK or S_FALSE stops the copy with
// E_UNEXPECTED. Otherwise returns what SetDiscontinuity returned.
HRESULT CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut);

}  // namespace decoder
