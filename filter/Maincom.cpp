#include "filter/Maincom.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

#include "decoder/allpass.h"
#include "decoder/binaural.h"
#include "decoder/binaural_design.h"
#include "decoder/decoder_state.h"
#include "decoder/kernels/matrix.h"
#include "framework/transform_pins.h"

namespace {

// The extensible wave format record.
constexpr DWORD kExtensibleBytes = sizeof(WAVEFORMATEXTENSIBLE);
static_assert(kExtensibleBytes == 40 && sizeof(WAVEFORMATEX) == 18, "wave format records are byte-packed");

// What each AMBISONIC_OUTPUT value asks the engine for: the kind of renderer, and whether it
// renders the responses a host handed in.
struct OutputRequest {
    decoder::OutputKind kind;
    bool measured;
};
constexpr OutputRequest kOutputRequests[] = {
    {decoder::OutputKind::Speakers, false},    // AMBISONIC_OUTPUT_SPEAKERS
    {decoder::OutputKind::Uhj, false},         // AMBISONIC_OUTPUT_UHJ_STEREO
    {decoder::OutputKind::Headphones, false},  // AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL
    {decoder::OutputKind::Headphones, true},   // AMBISONIC_OUTPUT_HEADPHONES_RESPONSES
};
static_assert(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES + 1 == sizeof kOutputRequests / sizeof kOutputRequests[0],
              "every output a host can choose has its request");

static_assert(AMBISONIC_HEADPHONE_LATENCY_FRAMES == decoder::kBinauralLatencyFrames,
              "the host header states the headphone decode's lag");
static_assert(AMBISONIC_MAX_RESPONSE_LENGTH <= decoder::kMaxResponseFrames,
              "the headphone decode takes every response length a host may hand in");
static_assert(AMBISONIC_MAX_RESPONSE_DIRECTIONS <= decoder::kMaxDesignResponses,
              "the headphone design takes every measured set a host may hand in");
static_assert(AMBISONIC_MAX_SPEAKERS <= decoder::kMaxRigSpeakers &&
                  AMBISONIC_MAX_SPEAKERS <= decoder::kernels::kMaxMatrixOutputs,
              "every rig a host may hand in can be designed and decoded (without its LFE channel)");
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
    HRESULT hr = S_OK;
    CVEvava* filter = new (std::nothrow) CVEvava(nullptr, pUnk, &hr);
    if (!filter) hr = E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete filter;
        if (phr) *phr = hr;
        return nullptr;
    }
    return filter;
}

CVEvava::CVEvava(const char* name, LPUNKNOWN pUnk, HRESULT* phr)
    : CTransformFilter(name, pUnk, CLSID_BFormatDecoder),
      CPersistStream(pUnk, phr),
      m_pInputFormat(nullptr),
      m_cbInputFormat(0),
      m_RigKind(AMBISONIC_RIG_KIND_LAYOUT),
      m_Preset(-1),
      m_Output(AMBISONIC_OUTPUT_SPEAKERS),
      m_SilentLfe(false),
      m_nInChannels(0),
      m_InputConvention(AMBISONIC_CONVENTION_FUMA),
      m_InputChannels(0)
{
    HRESULT hr = E_OUTOFMEMORY;
    try {
        hr = ChooseOutput(AMBISONIC_OUTPUT_SPEAKERS, decoder::BuiltInRig(decoder::LayoutId::Square),
                          AMBISONIC_RIG_KIND_LAYOUT, -1, m_Responses, false);
    } catch (const std::bad_alloc&) {
    }
    // CreateInstance destroys a filter that could not make its renderer.
    if (FAILED(hr) && phr) *phr = hr;
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
    if (IsEqualGUID(riid, IID_IAmbisonicDecoderRig)) return GetInterface(static_cast<IAmbisonicDecoderRig*>(this), ppv);
    if (IsEqualGUID(riid, IID_IAmbisonicDecoderRotation))
        return GetInterface(static_cast<IAmbisonicDecoderRotation*>(this), ppv);
    if (IsEqualGUID(riid, IID_IAmbisonicDecoderRigMatrices))
        return GetInterface(static_cast<IAmbisonicDecoderRigMatrices*>(this), ppv);

    if (IsEqualGUID(riid, IID_IAmbisonicDecoderInput))
        return GetInterface(static_cast<IAmbisonicDecoderInput*>(this), ppv);
    return CTransformFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CVEvava::GetClassID(CLSID* pClsID) { return CBaseFilter::GetClassID(pClsID); }

bool CVEvava::AnyPinConnected()
{
    return (m_pInput && m_pInput->IsConnected()) || (m_pOutput && m_pOutput->IsConnected());
}

uint32_t CVEvava::OutputChannels() const { return m_nInChannels ? m_pRenderer->OutputChannels() : 0; }

// ---- Negotiation ------------------------------------------------------------------------

HRESULT CVEvava::CheckInputType(const CMediaType* mtIn)
{
    if (!mtIn) return E_POINTER;
    if (!IsEqualGUID(mtIn->majortype, MEDIATYPE_Audio)) return VFW_E_TYPE_NOT_ACCEPTED;
    WAVEFORMATEXTENSIBLE format;
    if (!ReadExtensible(mtIn, &format)) return VFW_E_TYPE_NOT_ACCEPTED;
    if (!IsEqualGUID(mtIn->formattype, FORMAT_WaveFormatEx)) return VFW_E_TYPE_NOT_ACCEPTED;
    // The whole record that cbSize announces is what gets stored: the block must hold it.
    const DWORD formatBytes = DWORD{format.Format.cbSize} + sizeof(WAVEFORMATEX);
    if (formatBytes > mtIn->cbFormat) return VFW_E_TYPE_NOT_ACCEPTED;
    // A rate the shelf filters cannot be tuned for (0 among them) cannot be decoded.
    const double rate = format.Format.nSamplesPerSec;
    if (!std::isfinite(decoder::AllPass::CoefficientFor(decoder::kCrossoverHz, rate)))
        return VFW_E_TYPE_NOT_ACCEPTED;

    // While a pin is connected, its connection, the output type and the buffers rest on the
    // format in force: it does not change, and only a type that decodes the same way fits.
    // Another thread may disconnect and negotiate a new format meanwhile, so the format is
    // read under its lock.
    auto fitsFormatInForce = [&] {
        CAutoLock formatLock(&m_FormatLock);
        const WAVEFORMATEXTENSIBLE* current = InputFormat();
        return current && AcceptsInput(format) && SameDecoding(*current, format) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    };
    if (AnyPinConnected()) return fitsFormatInForce();

    // The format in force changes under the filter lock: connections hold it, and a host may
    // offer types to the unconnected pin from several threads at once (QueryAccept takes no
    // lock). A sample announcing a type arrives only while both pins are connected, so the
    // streaming thread never gets here with its receive lock held.
    CAutoLock lock(&m_csFilter);
    if (AnyPinConnected()) return fitsFormatInForce();
    // An extensible record of B-Format with a conversion path and the channels the input in
    // force has.
    if (!AcceptsInput(format)) return VFW_E_TYPE_NOT_ACCEPTED;
    // The output's own limits (the headphone decode's rates; handed-in responses are used at
    // the rate they were measured at: the host resamples them).
    if (!m_pRenderer->AcceptsRate(rate)) return VFW_E_TYPE_NOT_ACCEPTED;
    BYTE* copy = new (std::nothrow) BYTE[formatBytes];
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, mtIn->pbFormat, formatBytes);
    // The stored record names the B-Format subtype the decoding reads it as.
    std::memcpy(copy + offsetof(WAVEFORMATEXTENSIBLE, SubFormat), &format.SubFormat, sizeof(GUID));
    {
        CAutoLock formatLock(&m_FormatLock);
        delete[] m_pInputFormat;
        m_pInputFormat = copy;
        m_cbInputFormat = formatBytes;
    }
    m_nInChannels = format.Format.nChannels;
    return S_OK;
}

HRESULT CVEvava::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut)
{
    if (!mtIn || !mtOut) return E_POINTER;
    WAVEFORMATEXTENSIBLE in, out;
    if (!ReadExtensible(mtIn, &in) || !ReadExtensible(mtOut, &out)) return VFW_E_TYPE_NOT_ACCEPTED;
    {
        // The subtype the decoding reads the input as.
        CAutoLock formatLock(&m_FormatLock);
        AcceptsInput(in);
    }
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
    format.dwChannelMask = m_pRenderer->ChannelMask();
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
    if (!format || m_nInChannels == 0) return E_UNEXPECTED;

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

    // The renderer's blocks hold the output buffer's bytes counted in frames of the narrower
    // of input and output: at least the frames of one input buffer.
    const uint32_t narrower = std::min(m_nInChannels, OutputChannels());
    const uint32_t frameBytes = narrower * decoder::BytesPerSample(decoder::SampleFormatOf(format));
    const uint32_t frames = static_cast<uint32_t>(pProperties->cbBuffer) / frameBytes;
    if (frames == 0) return E_FAIL;
    decoder::StreamDescription stream;
    stream.inChannels = m_nInChannels;
    stream.convention = InputConvention();
    stream.sampleRate = static_cast<double>(format->Format.nSamplesPerSec);
    stream.maxBlockFrames = static_cast<int32_t>(frames);
    // A rotation set before the stream starts is in force from its first frame.
    PickUpRotation();
    switch (m_pRenderer->Prepare(stream)) {
    case decoder::PrepareResult::Ok: return S_OK;
    case decoder::PrepareResult::OutOfMemory: return E_OUTOFMEMORY;
    case decoder::PrepareResult::BadSampleRate: return VFW_E_TYPE_NOT_ACCEPTED;
    case decoder::PrepareResult::BadBlockFrames: return E_FAIL;
    default: return E_UNEXPECTED;
    }
}

// ---- Higher-order input -------------------------------------------------------------------

namespace {

// The engine's name for one of AMBISONIC_CONVENTION; false for another value.
bool EngineConvention(LONG convention, decoder::InputConvention& engine)
{
    switch (convention) {
    case AMBISONIC_CONVENTION_FUMA: engine = decoder::InputConvention::Fuma; return true;
    case AMBISONIC_CONVENTION_AMBIX: engine = decoder::InputConvention::Ambix; return true;
    case AMBISONIC_CONVENTION_N3D: engine = decoder::InputConvention::N3d; return true;
    default: return false;
    }
}

}  // namespace

decoder::InputConvention CVEvava::InputConvention() const
{
    decoder::InputConvention engine = decoder::InputConvention::Fuma;
    EngineConvention(m_InputConvention, engine);
    return engine;
}

bool CVEvava::AcceptsInput(WAVEFORMATEXTENSIBLE& format) const
{
    if (m_InputChannels == 0) {
        // What a host that never asked gets: first-order FuMa in the B-Format subtypes.
        if (format.Format.nChannels != 4 && format.Format.nChannels != 3) return false;
    } else {
        if (format.Format.nChannels != m_InputChannels) return false;
        // The plain subtypes carry the same samples.
        if (IsEqualGUID(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
            format.SubFormat = decoder::KSDATAFORMAT_SUBTYPE_BFORMAT_PCM;
        else if (IsEqualGUID(format.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT))
            format.SubFormat = decoder::KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT;
    }
    return decoder::SampleFormatOf(&format) != decoder::SampleFormat::None;
}

STDMETHODIMP CVEvava::SetInputFormat(LONG convention, ULONG channels)
{
    decoder::InputConvention engine;
    if (!EngineConvention(convention, engine)) return E_INVALIDARG;
    decoder::InputLayout layout;
    if (channels > decoder::kMaxInputChannels || !decoder::DescribeInput(engine, channels, layout)) return E_INVALIDARG;
    CAutoLock lock(&m_csFilter);
    if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
    CAutoLock formatLock(&m_FormatLock);
    m_InputConvention = convention;
    m_InputChannels = channels;
    return S_OK;
}

STDMETHODIMP CVEvava::GetInputFormat(LONG* convention, ULONG* channels)
{
    if (!convention || !channels) return E_POINTER;
    CAutoLock formatLock(&m_FormatLock);
    *convention = m_InputConvention;
    *channels = m_InputChannels;
    return S_OK;
}

STDMETHODIMP CVEvava::GetDecodedOrder(ULONG* order)
{
    if (!order) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    decoder::StreamDescription stream;
    // A host that never asked decodes first-order FuMa.
    stream.inChannels = m_InputChannels ? m_InputChannels : 4;
    stream.convention = InputConvention();
    *order = static_cast<ULONG>(m_pRenderer->DecodedOrder(stream));
    return S_OK;
}

// ---- Streaming --------------------------------------------------------------------------

void CVEvava::PickUpRotation()
{
    decoder::SceneRotation set;
    {
        CAutoLock lock(&m_RotationLock);
        set = m_Rotation;
    }
    const decoder::SceneRotation& current = m_pRenderer->Rotation();
    if (set.yawDeg != current.yawDeg || set.pitchDeg != current.pitchDeg || set.rollDeg != current.rollDeg)
        m_pRenderer->SetRotation(set);
}

HRESULT CVEvava::Transform(IMediaSample* pIn, IMediaSample* pOut)
{
    PickUpRotation();
    return decoder::TransformSample(*m_pRenderer, InputFormat(), pIn, pOut, m_TailClock);
}

HRESULT CVEvava::EndOfStream()
{
    // A tail that cannot be delivered is lost, but the end of the stream still goes on.
    if (m_pRenderer->TailFrames() > 0 && FAILED(DeliverTail())) m_pRenderer->DropTail();
    return CTransformFilter::EndOfStream();
}

HRESULT CVEvava::DeliverTail()
{
    while (m_pRenderer->TailFrames() > 0) {
        IMediaSample* out = nullptr;
        HRESULT hr = m_pOutput->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
        if (FAILED(hr)) return hr;
        if (!out) return E_POINTER;
        hr = decoder::TailSample(*m_pRenderer, InputFormat(), m_TailClock, out);
        if (SUCCEEDED(hr)) hr = m_pOutput->Deliver(out);
        out->Release();
        if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
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

HRESULT CVEvava::ChooseOutput(LONG output, const decoder::Rig& rig, LONG rigKind, LONG preset,
                              const decoder::MeasuredResponses& measured, bool silentLfe)
{
    const OutputRequest& request = kOutputRequests[output];
    if (request.measured && measured.responses.empty()) return E_INVALIDARG;
    try {
        decoder::Rig chosen = rig;
        std::unique_ptr<decoder::Renderer> renderer =
            request.kind == decoder::OutputKind::Speakers
                ? decoder::MakeSpeakerRenderer(chosen, decoder::SpeakerOptions{silentLfe})
                : decoder::MakeRenderer(request.kind, chosen, request.measured ? &measured : nullptr);
        if (!renderer) return E_INVALIDARG;
        m_Rig = std::move(chosen);
        m_RigKind = rigKind;
        m_Preset = preset;
        m_Output = output;
        m_SilentLfe = silentLfe;
        m_pRenderer = std::move(renderer);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CVEvava::ChooseRig(const decoder::Rig& rig, LONG rigKind, LONG preset)
{
    // Connections hold the filter lock while they negotiate, so none can start meanwhile.
    CAutoLock lock(&m_csFilter);
    if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
    // A format accepted earlier keeps its input count; the speakers follow the rig.
    return ChooseOutput(m_Output, rig, rigKind, preset, m_Responses, m_SilentLfe);
}

STDMETHODIMP CVEvava::GetDecodeType(LONG* decodeType)
{
    if (!decodeType) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    *decodeType = decoder::DecodeTypeOf(m_Rig.layout.value_or(decoder::LayoutId::Square));
    return S_OK;
}

STDMETHODIMP CVEvava::SetDecodeType(LONG decodeType)
{
    const std::optional<decoder::LayoutId> layout = decoder::LayoutIdOf(decodeType);
    if (!layout) return E_INVALIDARG;
    return ChooseRig(decoder::BuiltInRig(*layout), AMBISONIC_RIG_KIND_LAYOUT, -1);
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
    if (kOutputRequests[output].measured && m_Responses.responses.empty()) return E_INVALIDARG;
    if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
    return ChooseOutput(output, m_Rig, m_RigKind, m_Preset, m_Responses, m_SilentLfe);
}

namespace {

template <class T>
bool FiniteWithin(T v, double lowest, double highest)
{
    return std::isfinite(v) && v >= lowest && v <= highest;
}

// Whether speaker s of a host's rig stands where the interfaces allow: azimuth -360..360,
// elevation -90..90, distance (when given) 0..AMBISONIC_MAX_SPEAKER_DISTANCE.
template <class T>
bool SpeakerWithin(const T* azimuth, const T* elevation, const T* distance, size_t s)
{
    return FiniteWithin(azimuth[s], -360.0, 360.0) && FiniteWithin(elevation[s], -90.0, 90.0) &&
           (!distance || FiniteWithin(distance[s], 0.0, AMBISONIC_MAX_SPEAKER_DISTANCE));
}

}  // namespace

STDMETHODIMP CVEvava::SetHeadphoneResponses(ULONG directions, const float* azimuthDegrees,
                                            const float* elevationDegrees, ULONG length, ULONG sampleRate,
                                            const float* left, const float* right)
{
    if (!azimuthDegrees || !elevationDegrees || !left || !right) return E_POINTER;
    if (directions == 0 || directions > AMBISONIC_MAX_RESPONSE_DIRECTIONS || length == 0 ||
        length > AMBISONIC_MAX_RESPONSE_LENGTH || uint64_t{directions} * length > AMBISONIC_MAX_RESPONSE_SAMPLES ||
        sampleRate < AMBISONIC_MIN_RESPONSE_RATE || sampleRate > AMBISONIC_MAX_RESPONSE_RATE)
        return E_INVALIDARG;
    for (ULONG d = 0; d < directions; ++d)
        if (!FiniteWithin(azimuthDegrees[d], -360.0f, 360.0f) || !FiniteWithin(elevationDegrees[d], -90.0f, 90.0f))
            return E_INVALIDARG;
    const size_t samples = size_t{directions} * length;
    for (size_t i = 0; i < samples; ++i)
        if (!std::isfinite(left[i]) || !std::isfinite(right[i])) return E_INVALIDARG;

    try {
        // The whole set: the headphone decode is designed from every measurement.
        decoder::MeasuredResponses kept;
        kept.sampleRate = sampleRate;
        kept.responses.resize(directions);
        for (ULONG d = 0; d < directions; ++d) {
            decoder::DirectionalResponse& r = kept.responses[d];
            r.azimuthDeg = azimuthDegrees[d];
            r.elevationDeg = elevationDegrees[d];
            r.left.assign(left + size_t{d} * length, left + (size_t{d} + 1) * length);
            r.right.assign(right + size_t{d} * length, right + (size_t{d} + 1) * length);
        }

        CAutoLock lock(&m_csFilter);
        if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
        const HRESULT hr =
            ChooseOutput(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES, m_Rig, m_RigKind, m_Preset, kept, m_SilentLfe);
        if (SUCCEEDED(hr)) m_Responses = std::move(kept);
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// ---- Rigs -------------------------------------------------------------------------------

static_assert(AMBISONIC_RIG_7_1_4 == 5, "the presets of the host header, in the order of decoder::PresetRigs()");

STDMETHODIMP CVEvava::SetPresetRig(LONG preset)
{
    try {
        const std::vector<decoder::Rig>& presets = decoder::PresetRigs();
        if (preset < AMBISONIC_RIG_STEREO || preset > AMBISONIC_RIG_7_1_4 || static_cast<size_t>(preset) >= presets.size())
            return E_INVALIDARG;
        return ChooseRig(presets[static_cast<size_t>(preset)], AMBISONIC_RIG_KIND_PRESET, preset);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CVEvava::SetSpeakers(ULONG count, const float* azimuthDegrees, const float* elevationDegrees,
                                  const float* distanceMetres, BOOL lfe)
{
    if (!azimuthDegrees || !elevationDegrees) return E_POINTER;
    if (count < AMBISONIC_MIN_SPEAKERS || count > AMBISONIC_MAX_SPEAKERS) return E_INVALIDARG;
    for (ULONG s = 0; s < count; ++s)
        if (!SpeakerWithin(azimuthDegrees, elevationDegrees, distanceMetres, s)) return E_INVALIDARG;
    try {
        std::vector<decoder::Speaker> speakers(count);
        for (ULONG s = 0; s < count; ++s)
            speakers[s] = {azimuthDegrees[s], elevationDegrees[s], distanceMetres ? distanceMetres[s] : 0.0};
        return ChooseDesignedRig(speakers, lfe, {});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CVEvava::ChooseDesignedRig(const std::vector<decoder::Speaker>& speakers, BOOL lfe,
                                   const std::vector<decoder::SpeakerDirection>& imaginary)
{
    // Designed before the lock is taken: a large rig takes milliseconds.
    decoder::Rig rig;
    switch (decoder::MakeRig(speakers, lfe != FALSE, rig, nullptr, imaginary)) {
    case decoder::DesignResult::Ok: break;
    case decoder::DesignResult::OutOfMemory: return E_OUTOFMEMORY;
    default: return E_INVALIDARG;
    }
    return ChooseRig(rig, AMBISONIC_RIG_KIND_CUSTOM, -1);
}

STDMETHODIMP CVEvava::GetRig(LONG* kind, LONG* preset, ULONG* channels)
{
    CAutoLock lock(&m_csFilter);
    if (kind) *kind = m_RigKind;
    if (preset) *preset = m_Preset;
    if (channels) *channels = m_Rig.Channels();
    return S_OK;
}

STDMETHODIMP CVEvava::SetLfeSilent(BOOL silent)
{
    CAutoLock lock(&m_csFilter);
    if (AnyPinConnected()) return VFW_E_ALREADY_CONNECTED;
    return ChooseOutput(m_Output, m_Rig, m_RigKind, m_Preset, m_Responses, silent != FALSE);
}

STDMETHODIMP CVEvava::GetLfeSilent(BOOL* silent)
{
    if (!silent) return E_POINTER;
    CAutoLock lock(&m_csFilter);
    *silent = m_SilentLfe ? TRUE : FALSE;
    return S_OK;
}

STDMETHODIMP CVEvava::SetRigMatrices(ULONG speakers, const double* azimuthDegrees, const double* elevationDegrees,
                                     const double* distanceMetres, BOOL lfe, ULONG order, ULONG channels,
                                     const double* low, const double* high, double crossoverHz)
{
    if (!azimuthDegrees || !elevationDegrees || !low || !high) return E_POINTER;
    if (speakers < 1 || speakers > AMBISONIC_MAX_SPEAKERS || order < 1 || order > AMBISONIC_MAX_INPUT_ORDER ||
        channels < 4 || channels > AMBISONIC_MAX_MATRIX_CHANNELS || channels > (order + 1) * (order + 1) ||
        !FiniteWithin(crossoverHz, 1.0, 1e6))
        return E_INVALIDARG;
    for (ULONG s = 0; s < speakers; ++s)
        if (!SpeakerWithin(azimuthDegrees, elevationDegrees, distanceMetres, s)) return E_INVALIDARG;
    const size_t gains = size_t{speakers} * channels;
    for (size_t i = 0; i < gains; ++i)
        if (!std::isfinite(low[i]) || !std::isfinite(high[i])) return E_INVALIDARG;
    try {
        decoder::Rig rig;
        rig.name = "custom";
        for (ULONG s = 0; s < speakers; ++s)
            rig.speakers.push_back({azimuthDegrees[s], elevationDegrees[s], distanceMetres ? distanceMetres[s] : 0.0});
        if (lfe) {
            rig.lfeChannel = static_cast<int32_t>(speakers);
            rig.speakers.push_back({});
        }
        decoder::DesignedDecoder designed;
        designed.order = static_cast<int>(order);
        designed.shape = decoder::DesignShape::Sphere;
        designed.speakers = speakers;
        designed.channels = channels;
        designed.low.assign(low, low + gains);
        designed.high.assign(high, high + gains);
        rig.designed = std::move(designed);
        rig.crossoverHz = crossoverHz;
        return ChooseRig(rig, AMBISONIC_RIG_KIND_CUSTOM, -1);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP CVEvava::SetRigSpeakers(ULONG speakers, const double* azimuthDegrees, const double* elevationDegrees,
                                     const double* distanceMetres, const double* gains, BOOL lfe, ULONG imaginary,
                                     const double* imaginaryAzimuthDegrees, const double* imaginaryElevationDegrees)
{
    if (!azimuthDegrees || !elevationDegrees || (imaginary > 0 && (!imaginaryAzimuthDegrees || !imaginaryElevationDegrees)))
        return E_POINTER;
    if (speakers < AMBISONIC_MIN_SPEAKERS || speakers > AMBISONIC_MAX_SPEAKERS || imaginary > AMBISONIC_MAX_SPEAKERS)
        return E_INVALIDARG;
    for (ULONG s = 0; s < speakers; ++s)
        if (!SpeakerWithin(azimuthDegrees, elevationDegrees, distanceMetres, s) ||
            (gains && !FiniteWithin(gains[s], 0.0, AMBISONIC_MAX_SPEAKER_GAIN)))
            return E_INVALIDARG;
    for (ULONG k = 0; k < imaginary; ++k)
        if (!SpeakerWithin(imaginaryAzimuthDegrees, imaginaryElevationDegrees, static_cast<const double*>(nullptr), k))
            return E_INVALIDARG;
    try {
        std::vector<decoder::Speaker> rigSpeakers(speakers);
        for (ULONG s = 0; s < speakers; ++s)
            rigSpeakers[s] = {azimuthDegrees[s], elevationDegrees[s], distanceMetres ? distanceMetres[s] : 0.0,
                              gains ? gains[s] : 1.0};
        std::vector<decoder::SpeakerDirection> holes(imaginary);
        for (ULONG k = 0; k < imaginary; ++k) holes[k] = {imaginaryAzimuthDegrees[k], imaginaryElevationDegrees[k]};
        return ChooseDesignedRig(rigSpeakers, lfe, holes);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// ---- Rotation ---------------------------------------------------------------------------

STDMETHODIMP CVEvava::SetRotation(float yawDegrees, float pitchDegrees, float rollDegrees)
{
    if (!FiniteWithin(yawDegrees, -360.0, 360.0) || !FiniteWithin(pitchDegrees, -360.0, 360.0) ||
        !FiniteWithin(rollDegrees, -360.0, 360.0))
        return E_INVALIDARG;
    CAutoLock lock(&m_RotationLock);
    m_Rotation = {yawDegrees, pitchDegrees, rollDegrees};
    return S_OK;
}

STDMETHODIMP CVEvava::GetRotation(float* yawDegrees, float* pitchDegrees, float* rollDegrees)
{
    if (!yawDegrees || !pitchDegrees || !rollDegrees) return E_POINTER;
    CAutoLock lock(&m_RotationLock);
    *yawDegrees = static_cast<float>(m_Rotation.yawDeg);
    *pitchDegrees = static_cast<float>(m_Rotation.pitchDeg);
    *rollDegrees = static_cast<float>(m_Rotation.rollDeg);
    return S_OK;
}
