#include "filter/Maincom.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "decoder/allpass.h"
#include "decoder/coefficients.h"
#include "decoder/layouts.h"
#include "decoder/transform.h"
#include "framework/transform_pins.h"

namespace {

// The extensible wave format record.
constexpr DWORD kExtensibleBytes = sizeof(WAVEFORMATEXTENSIBLE);
static_assert(kExtensibleBytes == 40 && sizeof(WAVEFORMATEX) == 18, "wave format records are byte-packed");

// The square four-speaker layout's channel mask: front left and right, back left and right.
constexpr DWORD kSquareChannelMask = 0x33;
// The two-channel outputs' channel mask: front left and right.
constexpr DWORD kStereoChannelMask = 0x3;

static_assert(AMBISONIC_HEADPHONE_LATENCY_FRAMES == decoder::kBinauralLatencyFrames,
              "the host header states the headphone decode's lag");
static_assert(AMBISONIC_MAX_RESPONSE_LENGTH <= decoder::kMaxResponseFrames,
              "the headphone decode takes every response length a host may hand in");
static_assert(AMBISONIC_MIN_RESPONSE_RATE >= decoder::kMinBinauralRate &&
                  AMBISONIC_MAX_RESPONSE_RATE <= decoder::kMaxBinauralRate,
              "a stream at the responses' rate can be decoded for headphones");

bool IsBFormatPcm(const GUID& subformat) { return IsEqualGUID(subformat, KSDATAFORMAT_SUBTYPE_BFORMAT_PCM) != 0; }
bool IsBFormatFloat(const GUID& subformat)
{
    return IsEqualGUID(subformat, KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT) != 0;
}

// Copies the extensible record at the start of a media type's format block, which may lie
// at any alignment; false when the block is missing or too short to hold one.
bool ReadExtensible(const AM_MEDIA_TYPE* mt, WAVEFORMATEXTENSIBLE* format)
{
    if (!mt->pbFormat || mt->cbFormat < kExtensibleBytes) return false;
    std::memcpy(format, mt->pbFormat, kExtensibleBytes);
    return true;
}

// Whether two accepted input formats decode identically: same sample format, channels and
// rate (the rate tunes the shelf filters).
bool SameDecoding(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b)
{
    return IsEqualGUID(a.SubFormat, b.SubFormat) && a.Format.wBitsPerSample == b.Format.wBitsPerSample &&
           a.Format.nChannels == b.Format.nChannels && a.Format.nSamplesPerSec == b.Format.nSamplesPerSec;
}

}  // namespace

CUnknown* WINAPI CVEvava::CreateInstance(LPUNKNOWN pUnk, HRESULT* phr)
{
    CVEvava* filter = new (std::nothrow) CVEvava(nullptr, pUnk, phr);
    if (!filter) {
        if (phr) *phr = E_OUTOFMEMORY;
        return nullptr;
    }
    return filter;
}

CVEvava::CVEvava(const char* name, LPUNKNOWN pUnk, HRESULT* phr)
    : CTransformFilter(name, pUnk, CLSID_BFormatDecoder),
      CPersistStream(pUnk, phr),
      m_pInputFormat(nullptr),
      m_cbInputFormat(0),
      m_DecodeType(0),
      m_Output(AMBISONIC_OUTPUT_SPEAKERS),
      m_nInChannels(0),
      m_nSpeakers(0),
      m_ResponseRate(0),
      m_TailPending(false),
      m_TailTimed(false),
      m_TailStart(0),
      m_CrossoverHz(decoder::kCrossoverHz)
{
    decoder::SetupDecoderCoefficients(m_Decoder.m_Coefficients, m_DecodeType);
}

CVEvava::~CVEvava() { delete[] m_pInputFormat; }

STDMETHODIMP CVEvava::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IIPEffect)) return GetInterface(static_cast<IIPEffect*>(this), ppv);
    if (IsEqualGUID(riid, IID_ISpecifyPropertyPages))
        return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    if (IsEqualGUID(riid, IID_IPersistStream)) return GetInterface(static_cast<IPersistStream*>(this), ppv);
    if (IsEqualGUID(riid, IID_IAmbisonicDecoderLayout))
        return GetInterface(static_cast<IAmbisonicDecoderLayout*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CVEvava::GetClassID(CLSID* pClsID) { return CBaseFilter::GetClassID(pClsID); }

bool CVEvava::AnyPinConnected()
{
    return (m_pInput && m_pInput->IsConnected()) || (m_pOutput && m_pOutput->IsConnected());
}

uint32_t CVEvava::OutputChannels() const
{
    if (SpeakerOutput() || m_nSpeakers == 0) return m_nSpeakers;
    return 2;
}

int32_t CVEvava::FramesPerBlock() const { return SpeakerOutput() ? m_Decoder.Capacity() : m_Stereo.Capacity(); }

// ---- Negotiation ------------------------------------------------------------------------

HRESULT CVEvava::CheckInputType(const CMediaType* mtIn)
{
    if (!mtIn) return E_POINTER;
    if (!IsEqualGUID(mtIn->majortype, MEDIATYPE_Audio)) return VFW_E_TYPE_NOT_ACCEPTED;
    WAVEFORMATEXTENSIBLE format;
    if (!ReadExtensible(mtIn, &format)) return VFW_E_TYPE_NOT_ACCEPTED;
    if (!IsEqualGUID(mtIn->formattype, FORMAT_WaveFormatEx)) return VFW_E_TYPE_NOT_ACCEPTED;
    // An extensible record of B-Format with a conversion path: PCM of 16, 24 or 32 bits, or
    // single-precision float.
    if (decoder::SampleFormatOf(&format) == decoder::SampleFormat::None) return VFW_E_TYPE_NOT_ACCEPTED;
    // The whole record that cbSize announces is what gets stored: the block must hold it.
    const DWORD formatBytes = DWORD{format.Format.cbSize} + sizeof(WAVEFORMATEX);
    if (formatBytes > mtIn->cbFormat) return VFW_E_TYPE_NOT_ACCEPTED;
    if (format.Format.nChannels != 4 && format.Format.nChannels != 3) return VFW_E_TYPE_NOT_ACCEPTED;
    // A rate the shelf filters cannot be tuned for (0 among them) cannot be decoded.
    if (!std::isfinite(decoder::AllPass::CoefficientFor(m_CrossoverHz, static_cast<double>(format.Format.nSamplesPerSec))))
        return VFW_E_TYPE_NOT_ACCEPTED;

    // While a pin is connected, its connection, the output type and the buffers rest on the
    // format in force: it does not change, and only a type that decodes the same way fits.
    // Another thread may disconnect and negotiate a new format meanwhile, so the format is
    // read under its lock.
    auto fitsFormatInForce = [&] {
        CAutoLock formatLock(&m_FormatLock);
        const WAVEFORMATEXTENSIBLE* current = InputFormat();
        return current && SameDecoding(*current, format) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    };
    if (AnyPinConnected()) return fitsFormatInForce();

    // The format in force changes under the filter lock: connections hold it, and a host may
    // offer types to the unconnected pin from several threads at once (QueryAccept takes no
    // lock). A sample announcing a type arrives only while both pins are connected, so the
    // streaming thread never gets here with its receive lock held.
    CAutoLock lock(&m_csFilter);
    if (AnyPinConnected()) return fitsFormatInForce();
    if (m_Output == AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL || m_Output == AMBISONIC_OUTPUT_HEADPHONES_RESPONSES) {
        const double rate = format.Format.nSamplesPerSec;
        if (rate < decoder::kMinBinauralRate || rate > decoder::kMaxBinauralRate) return VFW_E_TYPE_NOT_ACCEPTED;
        // Responses are used at the rate they were measured at: the host resamples them.
        if (m_Output == AMBISONIC_OUTPUT_HEADPHONES_RESPONSES && format.Format.nSamplesPerSec != m_ResponseRate)
            return VFW_E_TYPE_NOT_ACCEPTED;
    }
    BYTE* copy = new (std::nothrow) BYTE[formatBytes];
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, mtIn->pbFormat, formatBytes);
    {
        CAutoLock formatLock(&m_FormatLock);
        delete[] m_pInputFormat;
        m_pInputFormat = copy;
        m_cbInputFormat = formatBytes;
    }
    m_nInChannels = format.Format.nChannels;
    if (uint32_t speakers = decoder::SpeakerCount(m_DecodeType)) m_nSpeakers = speakers;
    return S_OK;
}

HRESULT CVEvava::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut)
{
    if (!mtIn || !mtOut) return E_POINTER;
    WAVEFORMATEXTENSIBLE in, out;
    if (!ReadExtensible(mtIn, &in) || !ReadExtensible(mtOut, &out)) return VFW_E_TYPE_NOT_ACCEPTED;
    const bool channels = in.Format.nChannels == m_nInChannels && out.Format.nChannels == OutputChannels();
    if (!channels) return VFW_E_TYPE_NOT_ACCEPTED;
    if (IsBFormatPcm(in.SubFormat) && IsEqualGUID(out.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return S_OK;
    if (IsBFormatFloat(in.SubFormat) && IsEqualGUID(out.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)) return S_OK;
    return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CVEvava::GetMediaType(int iPosition, CMediaType* pMediaType)
{
    if (!pMediaType) return E_POINTER;
    if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
    if (iPosition < 0) return E_INVALIDARG;
    if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;
    if (!m_pInputFormat) return E_UNEXPECTED;

    HRESULT hr = pMediaType->Set(m_pInput->CurrentMediaType());
    if (FAILED(hr)) return hr;
    WAVEFORMATEXTENSIBLE format;
    if (!ReadExtensible(pMediaType, &format)) return E_UNEXPECTED;

    const GUID* subtype = nullptr;
    if (IsBFormatPcm(format.SubFormat)) subtype = &KSDATAFORMAT_SUBTYPE_PCM;
    else if (IsBFormatFloat(format.SubFormat)) subtype = &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    if (subtype) {
        pMediaType->SetSubtype(subtype);
        // The format in force over the block, never past its end.
        const DWORD n = m_cbInputFormat < pMediaType->cbFormat ? m_cbInputFormat : pMediaType->cbFormat;
        std::memcpy(pMediaType->pbFormat, m_pInputFormat, n);
        std::memcpy(&format, pMediaType->pbFormat, kExtensibleBytes);
        format.SubFormat = *subtype;
    }
    if (SpeakerOutput()) format.dwChannelMask = (m_DecodeType == 0 || m_DecodeType == 1) ? kSquareChannelMask : 0;
    else format.dwChannelMask = kStereoChannelMask;
    format.Format.nChannels = static_cast<WORD>(OutputChannels());
    format.Format.nBlockAlign = static_cast<WORD>(format.Format.nChannels * format.Format.wBitsPerSample / 8);
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * format.Format.nSamplesPerSec;
    std::memcpy(pMediaType->pbFormat, &format, kExtensibleBytes);
    return S_OK;
}

HRESULT CVEvava::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties)
{
    if (!pAlloc || !pProperties) return E_POINTER;
    if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
    const WAVEFORMATEXTENSIBLE* format = InputFormat();
    if (!format || m_nInChannels == 0 || m_nSpeakers == 0) return E_UNEXPECTED;

    pProperties->cBuffers = 2;
    pProperties->cbAlign = 1;

    // As many frames per output buffer as an input buffer holds.
    IMemAllocator* inputAllocator = nullptr;
    HRESULT hr = m_pInput->GetAllocator(&inputAllocator);
    if (FAILED(hr)) return hr;
    ALLOCATOR_PROPERTIES input = {};
    hr = inputAllocator->GetProperties(&input);
    inputAllocator->Release();
    if (FAILED(hr)) return hr;
    const uint64_t outputBytes = uint64_t{static_cast<uint32_t>(input.cbBuffer)} * OutputChannels() / m_nInChannels;
    // A size that wrapped would give buffers too small for the frames an input buffer holds.
    if (input.cbBuffer < 0 || outputBytes > 0x7FFFFFFF) return E_FAIL;
    pProperties->cbBuffer = static_cast<LONG>(outputBytes);

    ALLOCATOR_PROPERTIES granted = {};
    hr = pAlloc->SetProperties(pProperties, &granted);
    if (FAILED(hr)) return hr;
    if (pProperties->cBuffers > granted.cBuffers || pProperties->cbBuffer > granted.cbBuffer) return E_FAIL;

    if (!SpeakerOutput()) return BuildStereoOutput(*format, pProperties->cbBuffer);

    // The shelf filters and planes hold the frames of one output buffer's worth of input
    // frames, which is at least one input buffer.
    const uint32_t frameBytes = m_nInChannels * decoder::BytesPerSample(decoder::SampleFormatOf(format));
    const uint32_t frames = static_cast<uint32_t>(pProperties->cbBuffer) / frameBytes;
    if (frames == 0) return E_FAIL;
    switch (m_Decoder.Allocate(m_nInChannels, m_nSpeakers, static_cast<int32_t>(frames),
                               static_cast<double>(format->Format.nSamplesPerSec), m_CrossoverHz)) {
    case decoder::DecoderState::AllocateResult::Ok: return S_OK;
    case decoder::DecoderState::AllocateResult::OutOfMemory: return E_OUTOFMEMORY;
    default: return E_UNEXPECTED;
    }
}

// ---- Streaming --------------------------------------------------------------------------

HRESULT CVEvava::BuildStereoOutput(const WAVEFORMATEXTENSIBLE& format, LONG bufferBytes)
{
    // As many frames as an output buffer holds: those of an input buffer.
    const uint32_t frameBytes = 2 * decoder::BytesPerSample(decoder::SampleFormatOf(&format));
    const uint32_t frames = static_cast<uint32_t>(bufferBytes) / frameBytes;
    if (frames == 0) return E_FAIL;
    decoder::BinauralSettings settings;
    settings.sampleRate = static_cast<double>(format.Format.nSamplesPerSec);
    settings.inChannels = m_nInChannels;
    settings.maxBlockFrames = static_cast<int32_t>(frames);  // bufferBytes / 4 at most
    settings.decodeType = decoder::kDefaultHeadphoneLayout;
    if (m_Output == AMBISONIC_OUTPUT_HEADPHONES_RESPONSES) {
        settings.responses = m_Responses.data();
        settings.responseCount = m_Responses.size();
    }
    const auto mode = m_Output == AMBISONIC_OUTPUT_UHJ_STEREO ? decoder::StereoOutput::Mode::Uhj
                                                              : decoder::StereoOutput::Mode::Headphones;
    switch (m_Stereo.Setup(mode, settings)) {
    case decoder::BinauralSetupResult::Ok:
        m_TailPending = false;
        return S_OK;
    case decoder::BinauralSetupResult::OutOfMemory: return E_OUTOFMEMORY;
    case decoder::BinauralSetupResult::BadSampleRate: return VFW_E_TYPE_NOT_ACCEPTED;
    case decoder::BinauralSetupResult::BadBlockFrames: return E_FAIL;
    default: return E_UNEXPECTED;
    }
}

HRESULT CVEvava::Transform(IMediaSample* pIn, IMediaSample* pOut)
{
    if (SpeakerOutput()) return decoder::TransformSample(m_Decoder, InputFormat(), pIn, pOut);
    const HRESULT hr = decoder::TransformSample(m_Stereo, InputFormat(), pIn, pOut);
    if (hr == S_OK && m_Stereo.TailFrames() > 0 && pOut->GetActualDataLength() > 0) {
        REFERENCE_TIME start = 0, stop = 0;
        m_TailPending = true;
        m_TailTimed = pIn->GetTime(&start, &stop) == S_OK;
        m_TailStart = stop;
    }
    return hr;
}

HRESULT CVEvava::EndOfStream()
{
    if (m_TailPending) {
        m_TailPending = false;
        // A tail that cannot be delivered is lost, but the end of the stream still goes on.
        DeliverTail();
    }
    return CTransformFilter::EndOfStream();
}

HRESULT CVEvava::DeliverTail()
{
    const decoder::SampleFormat format = decoder::SampleFormatOf(InputFormat());
    const size_t frameBytes = 2 * decoder::BytesPerSample(format);
    const size_t frames = m_Stereo.TailFrames();
    const double rate = InputFormat()->Format.nSamplesPerSec;
    for (size_t done = 0; done < frames;) {
        IMediaSample* out = nullptr;
        HRESULT hr = m_pOutput->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        BYTE* dst = nullptr;
        const LONG size = out->GetSize();
        const size_t n = std::min(frames - done, size > 0 ? static_cast<size_t>(size) / frameBytes : 0);
        hr = out->GetPointer(&dst);
        if (SUCCEEDED(hr) && (n == 0 || !dst)) hr = E_FAIL;
        if (SUCCEEDED(hr)) {
            m_Stereo.RenderTail(format, dst, n);
            hr = out->SetActualDataLength(static_cast<LONG>(n * frameBytes));
        }
        if (SUCCEEDED(hr) && m_TailTimed) {
            // Times from the frames since the tail began, so the pieces add up without drift.
            auto at = [&](size_t f) { return m_TailStart + static_cast<REFERENCE_TIME>(f * 10000000.0 / rate); };
            REFERENCE_TIME start = at(done), stop = at(done + n);
            out->SetTime(&start, &stop);
        }
        if (SUCCEEDED(hr)) {
            out->SetSyncPoint(TRUE);
            hr = m_pOutput->Deliver(out);
        }
        out->Release();
        if (hr != S_OK) return hr;
        done += n;
    }
    return S_OK;
}

HRESULT CVEvava::StartStreaming() { return S_OK; }

HRESULT CVEvava::StopStreaming() { return S_OK; }

// ---- Persistence, property pages, parameters --------------------------------------------

HRESULT CVEvava::WriteToStream(IStream*) { return S_OK; }

HRESULT CVEvava::ReadFromStream(IStream*) { return S_OK; }

STDMETHODIMP CVEvava::GetPages(CAUUID* pPages)
{
    if (!pPages) return E_POINTER;
    pPages->cElems = 1;
    pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pPages->pElems) {
        // No array: a caller that looks at the count alone finds nothing to read.
        pPages->cElems = 0;
        return E_OUTOFMEMORY;
    }
    pPages->pElems[0] = CLSID_BFormatDecoderProperties;
    return S_OK;
}

STDMETHODIMP CVEvava::GetParameter(LONG*)
{
    CAutoLock lock(&m_ParamLock);
    return S_OK;
}

STDMETHODIMP CVEvava::SetParameter(LONG)
{
    CAutoLock lock(&m_ParamLock);
    return S_OK;
}

STDMETHODIMP_(void) CVEvava::NotifyParameter(LONG) {}

// ---- Layout -----------------------------------------------------------------------------

static_assert(AMBISONIC_LAYOUT_TWO_LAYER + 1 == decoder::kLayoutCount, "the host header names every decode type");

STDMETHODIMP CVEvava::GetDecodeType(LONG* decodeType)
{
    if (!decodeType) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    *decodeType = m_DecodeType;
    return S_OK;
}

STDMETHODIMP CVEvava::SetDecodeType(LONG decodeType)
{
    if (decodeType < 0 || decodeType >= decoder::kLayoutCount) return E_INVALIDARG;
    // Connections hold the filter lock while they negotiate, so none can start meanwhile.
    CAutoLock lock(&m_csFilter);
    if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
    m_DecodeType = static_cast<int8_t>(decodeType);
    decoder::SetupDecoderCoefficients(m_Decoder.m_Coefficients, m_DecodeType);
    // A format accepted earlier keeps its input count; the speaker count follows the layout.
    if (m_pInputFormat) m_nSpeakers = decoder::SpeakerCount(m_DecodeType);
    return S_OK;
}

STDMETHODIMP CVEvava::GetOutput(LONG* output)
{
    if (!output) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    *output = m_Output;
    return S_OK;
}

STDMETHODIMP CVEvava::SetOutput(LONG output)
{
    if (output < AMBISONIC_OUTPUT_SPEAKERS || output > AMBISONIC_OUTPUT_HEADPHONES_RESPONSES) return E_INVALIDARG;
    CAutoLock lock(&m_csFilter);
    if (output == AMBISONIC_OUTPUT_HEADPHONES_RESPONSES && m_Responses.empty()) return E_INVALIDARG;
    if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
    m_Output = output;
    return S_OK;
}

namespace {

bool FiniteWithin(float v, float lowest, float highest) { return std::isfinite(v) && v >= lowest && v <= highest; }

}  // namespace

STDMETHODIMP CVEvava::SetHeadphoneResponses(ULONG directions, const float* azimuthDegrees,
                                            const float* elevationDegrees, ULONG length, ULONG sampleRate,
                                            const float* left, const float* right)
{
    if (!azimuthDegrees || !elevationDegrees || !left || !right) return E_POINTER;
    if (directions == 0 || directions > AMBISONIC_MAX_RESPONSE_DIRECTIONS || length == 0 ||
        length > AMBISONIC_MAX_RESPONSE_LENGTH || sampleRate < AMBISONIC_MIN_RESPONSE_RATE ||
        sampleRate > AMBISONIC_MAX_RESPONSE_RATE)
        return E_INVALIDARG;
    for (ULONG d = 0; d < directions; ++d)
        if (!FiniteWithin(azimuthDegrees[d], -360.0f, 360.0f) || !FiniteWithin(elevationDegrees[d], -90.0f, 90.0f))
            return E_INVALIDARG;
    const size_t samples = size_t{directions} * length;
    for (size_t i = 0; i < samples; ++i)
        if (!std::isfinite(left[i]) || !std::isfinite(right[i])) return E_INVALIDARG;

    try {
        // Only the measurements nearest a virtual speaker are kept, in the order handed in:
        // the headphone decode, choosing among them, then picks what it would pick among all.
        std::vector<decoder::Direction> measured(directions);
        for (ULONG d = 0; d < directions; ++d) measured[d] = {azimuthDegrees[d], elevationDegrees[d]};
        std::vector<size_t> nearest;
        for (const decoder::Direction& speaker : decoder::SpeakerDirections(decoder::kDefaultHeadphoneLayout))
            nearest.push_back(decoder::NearestDirection(speaker, measured.data(), measured.size()));
        std::sort(nearest.begin(), nearest.end());
        nearest.erase(std::unique(nearest.begin(), nearest.end()), nearest.end());
        std::vector<decoder::DirectionalResponse> kept(nearest.size());
        for (size_t k = 0; k < nearest.size(); ++k) {
            const size_t d = nearest[k];
            kept[k].azimuthDeg = measured[d].azimuthDeg;
            kept[k].elevationDeg = measured[d].elevationDeg;
            kept[k].left.assign(left + d * length, left + (d + 1) * length);
            kept[k].right.assign(right + d * length, right + (d + 1) * length);
        }

        CAutoLock lock(&m_csFilter);
        if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
        m_Responses.swap(kept);
        m_ResponseRate = sampleRate;
        m_Output = AMBISONIC_OUTPUT_HEADPHONES_RESPONSES;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
