#include "decoder/transform.h"

#include <algorithm>

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

namespace {

// Whole frames of the input that fit the output: `render(format, src, dst, frames)` converts
// frames of inChannels samples into frames of outChannels samples.
template <class Render>
HRESULT TransformFrames(bool ready, uint32_t inChannels, uint32_t outChannels, const WAVEFORMATEXTENSIBLE* format,
                        IMediaSample* pIn, IMediaSample* pOut, Render render)
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
        if (!ready) return E_UNEXPECTED;
        const size_t inFrameBytes = bytes * inChannels;
        outFrameBytes = bytes * outChannels;
        const size_t inFrames = static_cast<size_t>(inLength) / inFrameBytes;
        const size_t outFrames = outSize > 0 ? static_cast<size_t>(outSize) / outFrameBytes : 0;
        frames = inFrames < outFrames ? inFrames : outFrames;
        if (frames > 0 && (!src || !dst)) return E_POINTER;
        render(sampleFormat, src, dst, frames);
    }

    CopySampleProperties(pIn, pOut);
    hr = pOut->SetActualDataLength(static_cast<LONG>(frames * outFrameBytes));
    return FAILED(hr) ? hr : S_OK;
}

}  // namespace

HRESULT TransformSample(Renderer& renderer, const WAVEFORMATEXTENSIBLE* format, IMediaSample* pIn,
                        IMediaSample* pOut, TailClock& clock)
{
    size_t rendered = 0;
    const HRESULT hr = TransformFrames(renderer.IsReady(), renderer.Stream().inChannels, renderer.OutputChannels(),
                                       format, pIn, pOut,
                                       [&](SampleFormat f, const uint8_t* src, uint8_t* dst, size_t frames) {
                                           renderer.Render(f, src, dst, frames);
                                           rendered = frames;
                                       });
    // Only an output that lags its input asks where its tail goes on.
    if (hr == S_OK && rendered > 0 && renderer.TailFrames() > 0) {
        REFERENCE_TIME start = 0, stop = 0;
        clock.timed = pIn->GetTime(&start, &stop) == S_OK;
        clock.start = stop;
        clock.delivered = 0;
    }
    return hr;
}

HRESULT TailSample(Renderer& renderer, const WAVEFORMATEXTENSIBLE* format, TailClock& clock, IMediaSample* pOut)
{
    if (!pOut) return E_POINTER;
    const SampleFormat sampleFormat = SampleFormatOf(format);
    const size_t frameBytes = size_t{renderer.OutputChannels()} * BytesPerSample(sampleFormat);
    const LONG size = pOut->GetSize();
    const size_t fit = size > 0 && frameBytes > 0 ? static_cast<size_t>(size) / frameBytes : 0;
    const size_t n = std::min(renderer.TailFrames(), fit);
    BYTE* dst = nullptr;
    HRESULT hr = pOut->GetPointer(&dst);
    if (FAILED(hr)) return hr;
    if (n == 0 || !dst) return E_FAIL;
    renderer.RenderTail(sampleFormat, dst, n);
    hr = pOut->SetActualDataLength(static_cast<LONG>(n * frameBytes));
    if (FAILED(hr)) return hr;
    if (clock.timed) {
        const double rate = format->Format.nSamplesPerSec;
        auto at = [&](size_t f) { return clock.start + static_cast<REFERENCE_TIME>(f * 10000000.0 / rate); };
        REFERENCE_TIME start = at(clock.delivered), stop = at(clock.delivered + n);
        pOut->SetTime(&start, &stop);
    }
    clock.delivered += n;
    pOut->SetSyncPoint(TRUE);
    return S_OK;
}

}  // namespace decoder
