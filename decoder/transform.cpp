#include "decoder/transform.h"

namespace decoder {

SampleFormat SampleFormatOf(const WAVEFORMATEXTENSIBLE* format)
{
    if (!format || format->Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        format->Format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return SampleFormat::None;
    const GUID sub = format->SubFormat;
    const WORD bits = format->Format.wBitsPerSample;
    if (IsEqualGUID(sub, KSDATAFORMAT_SUBTYPE_BFORMAT_PCM)) {
        if (bits == 16) return SampleFormat::Pcm16;
        if (bits == 24) return SampleFormat::Pcm24;
        if (bits == 32) return SampleFormat::Pcm32;
    }
    if (IsEqualGUID(sub, KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT) && bits == 32) return SampleFormat::Float32;
    return SampleFormat::None;
}

namespace {

// Copies one flag through its query and setter; false when the query gives neither answer.
template <class Query, class Set>
bool CopyFlag(Query query, Set set)
{
    const HRESULT hr = query();
    if (hr != S_OK && hr != S_FALSE) return false;
    set(hr == S_OK ? TRUE : FALSE);
    return true;
}

}  // namespace

HRESULT CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut)
{
    if (!pIn || !pOut) return E_POINTER;
    REFERENCE_TIME start = 0, stop = 0;
    if (pIn->GetTime(&start, &stop) == S_OK) pOut->SetTime(&start, &stop);
    LONGLONG mediaStart = 0, mediaStop = 0;
    if (pIn->GetMediaTime(&mediaStart, &mediaStop) == S_OK) pOut->SetMediaTime(&mediaStart, &mediaStop);

    if (!CopyFlag([&] { return pIn->IsSyncPoint(); }, [&](BOOL on) { pOut->SetSyncPoint(on); })) return E_UNEXPECTED;
    if (!CopyFlag([&] { return pIn->IsPreroll(); }, [&](BOOL on) { pOut->SetPreroll(on); })) return E_UNEXPECTED;
    HRESULT result = S_OK;
    if (!CopyFlag([&] { return pIn->IsDiscontinuity(); }, [&](BOOL on) { result = pOut->SetDiscontinuity(on); }))
        return E_UNEXPECTED;
    return result;
}

HRESULT TransformSample(DecoderState& state, const WAVEFORMATEXTENSIBLE* format, IMediaSample* pIn,
                        IMediaSample* pOut)
{
    if (!pIn || !pOut) return E_POINTER;
    const LONG inLength = pIn->GetActualDataLength();
    const LONG outSize = pOut->GetSize();
    BYTE* src = nullptr;
    BYTE* dst = nullptr;
    HRESULT hr = pIn->GetPointer(&src);
    if (FAILED(hr)) return hr;
    hr = pOut->GetPointer(&dst);
    if (FAILED(hr)) return hr;

    const SampleFormat sampleFormat = SampleFormatOf(format);
    const size_t bytes = BytesPerSample(sampleFormat);
    size_t frames = 0;
    size_t outFrameBytes = 0;
    if (bytes != 0 && inLength > 0) {
        if (!state.IsReady()) return E_UNEXPECTED;
        const size_t inFrameBytes = bytes * state.m_nInChannels;
        outFrameBytes = bytes * state.m_nSpeakers;
        const size_t inFrames = static_cast<size_t>(inLength) / inFrameBytes;
        const size_t outFrames = outSize > 0 ? static_cast<size_t>(outSize) / outFrameBytes : 0;
        frames = inFrames < outFrames ? inFrames : outFrames;
        if (frames > 0 && (!src || !dst)) return E_POINTER;
        state.DecodeFrames(sampleFormat, src, dst, frames);
    }

    CopySampleProperties(pIn, pOut);
    hr = pOut->SetActualDataLength(static_cast<LONG>(frames * outFrameBytes));
    return FAILED(hr) ? hr : S_OK;
}

}  // namespace decoder
