#include "framework/input_pin.h"

#include <cstring>

HRESULT CreateMemoryAllocator(IMemAllocator** ppAllocator)
{
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(ppAllocator));
}

CBaseInputPin::CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                             LPCWSTR pinName)
    : CBasePin(objectName, filter, lock, phr, pinName, PINDIR_INPUT),
      m_pAllocator(nullptr),
      m_bReadOnly(false),
      m_bFlushing(false)
{
    std::memset(&m_SampleProps, 0, sizeof m_SampleProps);
}

CBaseInputPin::~CBaseInputPin()
{
    if (m_pAllocator) m_pAllocator->Release();
}

STDMETHODIMP CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IMemInputPin)) return GetInterface(static_cast<IMemInputPin*>(this), ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseInputPin::Notify(IBaseFilter* pSender, Quality)
{
    return pSender ? S_OK : E_POINTER;
}

HRESULT CBaseInputPin::Inactive()
{
    m_bRunTimeError = false;
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    m_bFlushing = false;
    return m_pAllocator->Decommit();
}

HRESULT CBaseInputPin::BreakConnect()
{
    if (m_pAllocator) {
        HRESULT hr = m_pAllocator->Decommit();
        if (FAILED(hr)) return hr;
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    return S_OK;
}

STDMETHODIMP CBaseInputPin::GetAllocator(IMemAllocator** ppAllocator)
{
    if (!ppAllocator) return E_POINTER;
    CAutoLock lock(m_pLock);
    if (!m_pAllocator) {
        IMemAllocator* created = nullptr;
        HRESULT hr = CreateMemoryAllocator(&created);
        if (FAILED(hr)) return hr;
        m_pAllocator = created;
    }
    *ppAllocator = m_pAllocator;
    m_pAllocator->AddRef();
    return S_OK;
}

STDMETHODIMP CBaseInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    if (!pAllocator) return E_POINTER;
    CAutoLock lock(m_pLock);
    pAllocator->AddRef();
    if (m_pAllocator) m_pAllocator->Release();
    m_pAllocator = pAllocator;
    m_bReadOnly = bReadOnly != FALSE;
    return S_OK;
}

STDMETHODIMP CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT CBaseInputPin::CheckStreaming()
{
    if (IsStopped()) return VFW_E_WRONG_STATE;
    if (m_bFlushing) return S_FALSE;
    if (m_bRunTimeError) return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

STDMETHODIMP CBaseInputPin::Receive(IMediaSample* pSample)
{
    if (!pSample) return E_POINTER;
    HRESULT hr = CheckStreaming();
    if (hr != S_OK) return hr;

    // A media type that a plain sample hands out is ours to free once it has been checked.
    bool ownsType = false;
    IMediaSample2* sample2 = nullptr;
    if (SUCCEEDED(pSample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2))) && sample2) {
        hr = sample2->GetProperties(sizeof m_SampleProps, reinterpret_cast<BYTE*>(&m_SampleProps));
        sample2->Release();
        if (FAILED(hr)) return hr;
    } else {
        m_SampleProps.cbData = sizeof m_SampleProps;
        m_SampleProps.dwTypeSpecificFlags = 0;
        m_SampleProps.dwStreamId = AM_STREAM_MEDIA;
        m_SampleProps.dwSampleFlags = 0;
        if (pSample->IsDiscontinuity() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_DATADISCONTINUITY;
        if (pSample->IsPreroll() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_PREROLL;
        if (pSample->IsSyncPoint() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_SPLICEPOINT;
        if (SUCCEEDED(pSample->GetTime(&m_SampleProps.tStart, &m_SampleProps.tStop))) {
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
        }
        AM_MEDIA_TYPE* type = nullptr;
        if (pSample->GetMediaType(&type) == S_OK) {
            m_SampleProps.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
            ownsType = true;
        } else {
            type = nullptr;
        }
        m_SampleProps.pMediaType = type;
        m_SampleProps.pbBuffer = nullptr;
        pSample->GetPointer(&m_SampleProps.pbBuffer);
        m_SampleProps.lActual = pSample->GetActualDataLength();
        m_SampleProps.cbBuffer = pSample->GetSize();
    }

    if (!(m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED)) return S_OK;

    // A change announced without a type cannot be checked, and is refused.
    AM_MEDIA_TYPE* type = m_SampleProps.pMediaType;
    hr = type ? CheckMediaType(static_cast<const CMediaType*>(type)) : VFW_E_INVALIDMEDIATYPE;
    if (ownsType) {
        DeleteMediaType(type);
        m_SampleProps.pMediaType = nullptr;
    }
    if (hr == S_OK) return S_OK;

    // The stream cannot go on in a type this pin refuses: stop it here and tell the graph.
    m_bRunTimeError = true;
    EndOfStream();
    m_pFilter->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
    return VFW_E_INVALIDMEDIATYPE;
}

STDMETHODIMP CBaseInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed)
{
    if (!pSamples || !nSamplesProcessed) return E_POINTER;
    *nSamplesProcessed = 0;
    HRESULT hr = S_OK;
    for (LONG i = 0; i < nSamples; ++i) {
        hr = Receive(pSamples[i]);
        if (hr != S_OK) break;
        ++*nSamplesProcessed;
    }
    return hr;
}

STDMETHODIMP CBaseInputPin::ReceiveCanBlock()
{
    int outputs = 0;
    int count = m_pFilter->GetPinCount();
    for (int i = 0; i < count; ++i) {
        CBasePin* pin = m_pFilter->GetPin(i);
        if (!pin) continue;
        PIN_DIRECTION dir;
        HRESULT hr = pin->QueryDirection(&dir);
        if (FAILED(hr)) return hr;
        if (dir != PINDIR_OUTPUT) continue;
        IPin* downstream = nullptr;
        if (FAILED(pin->ConnectedTo(&downstream)) || !downstream) continue;
        ++outputs;
        IMemInputPin* input = nullptr;
        hr = downstream->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
        downstream->Release();
        // Any transport but IMemInputPin may block.
        if (FAILED(hr) || !input) return S_OK;
        hr = input->ReceiveCanBlock();
        input->Release();
        if (hr != S_FALSE) return S_OK;
    }
    // A filter with nowhere to send its data is taken to block.
    return outputs == 0 ? S_OK : S_FALSE;
}

STDMETHODIMP CBaseInputPin::BeginFlush()
{
    CAutoLock lock(m_pLock);
    m_bFlushing = true;
    return S_OK;
}

STDMETHODIMP CBaseInputPin::EndFlush()
{
    CAutoLock lock(m_pLock);
    m_bFlushing = false;
    m_bRunTimeError = false;
    return S_OK;
}

HRESULT CBaseInputPin::PassNotify(Quality& q)
{
    if (m_pQSink) return m_pQSink->Notify(m_pFilter, q);
    if (IPin* upstream = m_Connected) {
        IQualityControl* control = nullptr;
        if (SUCCEEDED(upstream->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&control))) && control) {
            HRESULT hr = control->Notify(m_pFilter, q);
            control->Release();
            return hr;
        }
    }
    return VFW_E_NOT_FOUND;
}
