#include "framework/output_pin.h"

#include "framework/input_pin.h"

HRESULT CreatePosPassThru(LPUNKNOWN pAgg, BOOL bRenderer, IPin* pPin, IUnknown** ppPassThru)
{
    if (!ppPassThru) return E_POINTER;
    *ppPassThru = nullptr;

    IUnknown* object = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_SeekingPassThru, pAgg, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&object));
    if (FAILED(hr)) return hr;

    ISeekingPassThru* passThru = nullptr;
    hr = object->QueryInterface(IID_ISeekingPassThru, reinterpret_cast<void**>(&passThru));
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    hr = passThru->Init(bRenderer, pPin);
    passThru->Release();
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    *ppPassThru = object;
    return S_OK;
}

CBaseOutputPin::CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                               LPCWSTR pinName)
    : CBasePin(objectName, filter, lock, phr, pinName, PINDIR_OUTPUT), m_pAllocator(nullptr), m_pInputPin(nullptr)
{
}

CBaseOutputPin::~CBaseOutputPin() = default;

STDMETHODIMP CBaseOutputPin::EndOfStream() { return E_UNEXPECTED; }

HRESULT CBaseOutputPin::Active()
{
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive()
{
    m_bRunTimeError = false;
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT CBaseOutputPin::CheckConnect(IPin* pPin)
{
    HRESULT hr = CBasePin::CheckConnect(pPin);
    if (FAILED(hr)) return hr;
    // A failed attempt may leave a reference from an earlier one: BreakConnect runs on every
    // failure path, but hold at most one.
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    IMemInputPin* input = nullptr;
    hr = pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    if (FAILED(hr)) return hr;
    if (!input) return E_NOINTERFACE;
    m_pInputPin = input;
    return S_OK;
}

HRESULT CBaseOutputPin::BreakConnect()
{
    if (m_pAllocator) {
        HRESULT hr = m_pAllocator->Decommit();
        if (FAILED(hr)) return hr;
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) { return DecideAllocator(m_pInputPin, &m_pAllocator); }

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc)
{
    *ppAlloc = nullptr;
    if (!pPin) return VFW_E_NOT_CONNECTED;

    ALLOCATOR_PROPERTIES props = {0, 0, 0, 0};
    pPin->GetAllocatorRequirements(&props);
    if (props.cbAlign == 0) props.cbAlign = 1;

    // Sizes the allocator just handed over (`hr` says how that went) and announces it
    // downstream; on any failure lets it go.
    auto settle = [&](HRESULT hr) {
        if (SUCCEEDED(hr) && !*ppAlloc) hr = VFW_E_NO_ALLOCATOR;
        if (SUCCEEDED(hr)) hr = DecideBufferSize(*ppAlloc, &props);
        if (SUCCEEDED(hr)) hr = pPin->NotifyAllocator(*ppAlloc, FALSE);
        if (FAILED(hr) && *ppAlloc) {
            (*ppAlloc)->Release();
            *ppAlloc = nullptr;
        }
        return hr;
    };

    // First choice: the downstream pin's allocator. Second choice: this pin's own, sized from
    // the requests as the first attempt left them.
    if (SUCCEEDED(settle(pPin->GetAllocator(ppAlloc)))) return S_OK;
    HRESULT hr = settle(InitAllocator(ppAlloc));
    return SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                          REFERENCE_TIME* pEndTime, DWORD dwFlags)
{
    if (!m_pAllocator) return E_NOINTERFACE;
    return m_pAllocator->GetBuffer(ppSample, pStartTime, pEndTime, dwFlags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* pSample)
{
    if (!m_pInputPin) return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(pSample);
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** ppAlloc) { return CreateMemoryAllocator(ppAlloc); }

HRESULT CBaseOutputPin::DeliverEndOfStream()
{
    if (!m_Connected) return VFW_E_NOT_CONNECTED;
    return m_Connected->EndOfStream();
}

STDMETHODIMP CBaseOutputPin::BeginFlush() { return E_UNEXPECTED; }

STDMETHODIMP CBaseOutputPin::EndFlush() { return E_UNEXPECTED; }

HRESULT CBaseOutputPin::DeliverBeginFlush()
{
    if (!m_Connected) return VFW_E_NOT_CONNECTED;
    return m_Connected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush()
{
    if (!m_Connected) return VFW_E_NOT_CONNECTED;
    return m_Connected->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    if (!m_Connected) return VFW_E_NOT_CONNECTED;
    return m_Connected->NewSegment(tStart, tStop, dRate);
}
