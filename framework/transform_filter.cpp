#include "framework/transform_filter.h"

#include <cstddef>
#include <new>

#include "framework/transform_pins.h"
#include "framework/wide_string.h"

namespace {

// The prefix of AM_SAMPLE2_PROPERTIES that describes the output buffer itself (cbData,
// dwTypeSpecificFlags, dwSampleFlags, lActual), and the prefix written back (up to tStop).
constexpr DWORD kOwnPropertyBytes = offsetof(AM_SAMPLE2_PROPERTIES, tStart);
constexpr DWORD kCopiedPropertyBytes = offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId);
static_assert(kOwnPropertyBytes == 16 && kCopiedPropertyBytes == 32, "AM_SAMPLE2_PROPERTIES layout");

}  // namespace

CTransformFilter::CTransformFilter(const char* name, LPUNKNOWN outer, REFCLSID clsid)
    : CBaseFilter(name, outer, &m_csFilter, clsid),
      m_bEOSDelivered(false),
      m_bSampleSkipped(false),
      m_bQualityChanged(false),
      m_pInput(nullptr),
      m_pOutput(nullptr)
{
}

CTransformFilter::~CTransformFilter()
{
    delete m_pInput;
    delete m_pOutput;
}

int CTransformFilter::GetPinCount() { return 2; }

void CTransformFilter::CreatePins()
{
    CAutoLock lock(&m_csFilter);
    if (m_pInput) return;

    HRESULT hr = S_OK;
    CTransformInputPin* input = new (std::nothrow) CTransformInputPin(nullptr, this, &hr, WIDE("XForm In"));
    if (!input) return;
    CTransformOutputPin* output = new (std::nothrow) CTransformOutputPin(nullptr, this, &hr, WIDE("XForm Out"));
    if (!output) {
        delete input;
        return;
    }
    // Output first: the input pin is what other threads test for.
    m_pOutput = output;
    m_pInput = input;
}

CBasePin* CTransformFilter::GetPin(int n)
{
    CTransformInputPin* input = m_pInput;
    if (!input) {
        CreatePins();
        input = m_pInput;
    }
    if (!input) return nullptr;
    if (n == 0) return input;
    if (n == 1) return m_pOutput;
    return nullptr;
}

STDMETHODIMP CTransformFilter::FindPin(LPCWSTR Id, IPin** ppPin)
{
    if (!ppPin) return E_POINTER;
    CBasePin* pin = nullptr;
    if (WideCompare(Id, WIDE("In")) == 0) {
        pin = GetPin(0);
    } else if (WideCompare(Id, WIDE("Out")) == 0) {
        pin = GetPin(1);
    } else {
        *ppPin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    *ppPin = pin;
    if (!pin) return E_OUTOFMEMORY;
    pin->AddRef();
    return S_OK;
}

// ---- State changes ----------------------------------------------------------------------

STDMETHODIMP CTransformFilter::Stop()
{
    CAutoLock lock(&m_csFilter);
    if (m_State == State_Stopped) return S_OK;

    if (!m_pInput || !m_pInput->IsConnected() || !m_pOutput->IsConnected()) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
        return S_OK;
    }

    // Inactive before waiting: the input pin then refuses further samples and the upstream
    // allocator releases a thread blocked in GetBuffer, so the receive lock comes free.
    m_pInput->Inactive();

    CAutoLock receiveLock(&m_csReceive);
    m_pOutput->Inactive();
    HRESULT hr = StopStreaming();
    if (SUCCEEDED(hr)) {
        m_State = State_Stopped;
        m_bEOSDelivered = false;
    }
    return hr;
}

STDMETHODIMP CTransformFilter::Pause()
{
    CAutoLock lock(&m_csFilter);
    HRESULT hr = S_OK;

    if (m_State == State_Paused) {
        // Nothing to do.
    } else if (!m_pInput || !m_pInput->IsConnected()) {
        // Nothing will ever arrive: tell downstream so that it does not wait for data.
        if (m_pOutput && !m_bEOSDelivered) {
            m_pOutput->DeliverEndOfStream();
            m_bEOSDelivered = true;
        }
        m_State = State_Paused;
    } else if (!m_pOutput->IsConnected()) {
        m_State = State_Paused;
    } else {
        const bool starting = m_State == State_Stopped;
        if (starting) {
            CAutoLock receiveLock(&m_csReceive);
            hr = StartStreaming();
        }
        if (SUCCEEDED(hr)) {
            hr = CBaseFilter::Pause();
            // The filter stays stopped when a pin cannot become active; close the streaming
            // run that was just opened so that the next Pause starts a fresh one.
            if (FAILED(hr) && starting) {
                CAutoLock receiveLock(&m_csReceive);
                StopStreaming();
            }
        }
    }

    m_bSampleSkipped = false;
    m_bQualityChanged = false;
    return hr;
}

// ---- Hooks ------------------------------------------------------------------------------

HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) { return E_UNEXPECTED; }
HRESULT CTransformFilter::StartStreaming() { return S_OK; }
HRESULT CTransformFilter::StopStreaming() { return S_OK; }
HRESULT CTransformFilter::AlterQuality(Quality) { return S_FALSE; }
HRESULT CTransformFilter::SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }
HRESULT CTransformFilter::CheckConnect(PIN_DIRECTION, IPin*) { return S_OK; }
HRESULT CTransformFilter::BreakConnect(PIN_DIRECTION) { return S_OK; }
HRESULT CTransformFilter::CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }

// ---- The sample path --------------------------------------------------------------------

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* pSample, IMediaSample** ppOutSample)
{
    const AM_SAMPLE2_PROPERTIES* const in = m_pInput->SampleProps();

    DWORD flags = m_bSampleSkipped ? AM_GBF_PREVFRAMESKIPPED : 0;
    if (!(in->dwSampleFlags & AM_SAMPLE_SPLICEPOINT)) flags |= AM_GBF_NOTASYNCPOINT;

    // Only valid times go to the allocator (GetBuffer takes writable pointers: hand it copies).
    REFERENCE_TIME start = in->tStart;
    REFERENCE_TIME stop = in->tStop;
    IMediaSample* out = nullptr;
    HRESULT hr = m_pOutput->GetDeliveryBuffer(&out, (in->dwSampleFlags & AM_SAMPLE_TIMEVALID) ? &start : nullptr,
                                              (in->dwSampleFlags & AM_SAMPLE_STOPVALID) ? &stop : nullptr, flags);
    *ppOutSample = out;
    if (FAILED(hr)) return hr;
    if (!out) return E_POINTER;

    IMediaSample2* out2 = nullptr;
    if (SUCCEEDED(out->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&out2))) && out2) {
        // The first four fields (cbData, dwTypeSpecificFlags, dwSampleFlags, lActual) are the
        // output's; a failed read leaves them zero.
        AM_SAMPLE2_PROPERTIES props = {};
        out2->GetProperties(kOwnPropertyBytes, reinterpret_cast<BYTE*>(&props));
        props.dwTypeSpecificFlags = in->dwTypeSpecificFlags;
        // The output keeps its own type-change mark: the input's type is not the output's.
        props.dwSampleFlags = (props.dwSampleFlags & AM_SAMPLE_TYPECHANGED) | (in->dwSampleFlags & ~AM_SAMPLE_TYPECHANGED);
        props.tStart = in->tStart;
        props.tStop = in->tStop;
        props.cbData = kCopiedPropertyBytes;
        out2->SetProperties(kCopiedPropertyBytes, reinterpret_cast<const BYTE*>(&props));
        if (in->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) m_bSampleSkipped = false;
        out2->Release();
    } else {
        if (in->dwSampleFlags & AM_SAMPLE_TIMEVALID) out->SetTime(&start, &stop);
        if (in->dwSampleFlags & AM_SAMPLE_SPLICEPOINT) out->SetSyncPoint(TRUE);
        if (in->dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) {
            out->SetDiscontinuity(TRUE);
            m_bSampleSkipped = false;
        }
        LONGLONG mediaStart = 0, mediaStop = 0;
        if (pSample->GetMediaTime(&mediaStart, &mediaStop) == S_OK) out->SetMediaTime(&mediaStart, &mediaStop);
    }
    return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* pSample)
{
    // Anything but media data (a control stream, for one) passes through unchanged.
    if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->Deliver(pSample);

    IMediaSample* out = nullptr;
    HRESULT hr = InitializeOutputSample(pSample, &out);
    if (FAILED(hr)) return hr;

    hr = Transform(pSample, out);
    if (hr == S_OK) {
        hr = m_pOutput->Deliver(out);
        m_bSampleSkipped = false;
        out->Release();
        return hr;
    }

    out->Release();
    if (hr == S_FALSE) {
        // A dropped sample is not an error; the graph hears once per Pause that quality
        // suffers.
        m_bSampleSkipped = true;
        if (!m_bQualityChanged) {
            NotifyEvent(EC_QUALITY_CHANGE, 0, 0);
            m_bQualityChanged = true;
        }
        return S_OK;
    }
    return hr;
}

// ---- Notices passed downstream ----------------------------------------------------------

HRESULT CTransformFilter::EndOfStream() { return m_pOutput ? m_pOutput->DeliverEndOfStream() : S_OK; }

HRESULT CTransformFilter::BeginFlush() { return m_pOutput ? m_pOutput->DeliverBeginFlush() : S_OK; }

HRESULT CTransformFilter::EndFlush()
{
    // The input pin calls this only while the output pin is connected, so it exists; answer
    // a stray call without pins all the same.
    return m_pOutput ? m_pOutput->DeliverEndFlush() : S_OK;
}

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    return m_pOutput ? m_pOutput->DeliverNewSegment(tStart, tStop, dRate) : S_OK;
}
