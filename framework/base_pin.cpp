#include "framework/base_pin.h"

#include <new>

#include "framework/enumerators.h"
#include "framework/wide_string.h"

namespace {

// Failures that only say "this type was not taken". Negotiation reports a more specific
// failure in preference to these.
bool IsGeneralRefusal(HRESULT hr) { return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED; }

// CheckMediaType's refusals, as connection results: a success code other than S_OK and the
// general failures become VFW_E_TYPE_NOT_ACCEPTED; other failures stay as they are.
HRESULT AsConnectionRefusal(HRESULT hr)
{
    return (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

}  // namespace

CBasePin::CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT*, LPCWSTR pinName,
                   PIN_DIRECTION dir)
    : CUnknown(objectName, nullptr),
      m_pName(WideDuplicate(pinName)),
      m_Connected(nullptr),
      m_dir(dir),
      m_pLock(lock),
      m_bRunTimeError(false),
      m_bCanReconnectWhenActive(false),
      m_bTryMyTypesFirst(false),
      m_pFilter(filter),
      m_pQSink(nullptr),
      m_TypeVersion(1),
      m_tStart(0),
      m_tStop(0x7FFFFFFFFFFFFFFFLL),
      m_dRate(1.0)
{
}

CBasePin::~CBasePin() { delete[] m_pName; }

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IPin)) return GetInterface(static_cast<IPin*>(this), ppv);
    if (IsEqualGUID(riid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

// ---- Connection ---------------------------------------------------------------------------

STDMETHODIMP CBasePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (!pReceivePin) return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected) return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;

    HRESULT hr = AgreeMediaType(pReceivePin, static_cast<const CMediaType*>(pmt));
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    return S_OK;
}

HRESULT CBasePin::AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt)
{
    if (pmt && !pmt->IsPartiallySpecified()) return AttemptConnection(pReceivePin, pmt);

    HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        IEnumMediaTypes* types = nullptr;
        HRESULT hr = (pass == (m_bTryMyTypesFirst ? 1 : 0)) ? pReceivePin->EnumMediaTypes(&types)
                                                            : EnumMediaTypes(&types);
        if (FAILED(hr) || !types) continue;
        hr = TryMediaTypes(pReceivePin, pmt, types);
        types->Release();
        if (SUCCEEDED(hr)) return S_OK;
        // A later pass's answer replaces an earlier one's, unless it is only a refusal.
        if (!IsGeneralRefusal(hr)) failure = hr;
    }
    return failure;
}

HRESULT CBasePin::TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum)
{
    HRESULT hr = pEnum->Reset();
    if (FAILED(hr)) return hr;

    HRESULT failure = S_OK;
    for (;;) {
        AM_MEDIA_TYPE* type = nullptr;
        ULONG fetched = 0;
        if (pEnum->Next(1, &type, &fetched) != S_OK) return failure != S_OK ? failure : VFW_E_NO_ACCEPTABLE_TYPES;

        const CMediaType* candidate = static_cast<const CMediaType*>(type);
        hr = VFW_E_NO_ACCEPTABLE_TYPES;
        if (candidate && (!pmt || candidate->MatchesPartial(pmt))) {
            hr = AttemptConnection(pReceivePin, candidate);
            if (FAILED(hr) && failure == S_OK && !IsGeneralRefusal(hr)) failure = hr;
        }
        DeleteMediaType(type);
        // Any success means the connection stands (CompleteConnect may answer with a success
        // code other than S_OK); trying another type would connect a connected pin again.
        if (SUCCEEDED(hr)) return S_OK;
    }
}

HRESULT CBasePin::AttemptConnection(IPin* pReceivePin, const CMediaType* pmt)
{
    HRESULT hr = CheckConnect(pReceivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }

    hr = CheckMediaType(pmt);
    if (hr == S_OK) {
        // Connected already, so the pin looks connected while the peer completes its side.
        m_Connected = pReceivePin;
        m_Connected->AddRef();
        // A type that cannot be kept (out of memory) would leave a connection without its
        // format: refuse it here rather than stand on it.
        hr = SetMediaType(pmt);
        if (SUCCEEDED(hr)) hr = pReceivePin->ReceiveConnection(static_cast<IPin*>(this), pmt);
        if (SUCCEEDED(hr)) {
            hr = CompleteConnect(pReceivePin);
            if (SUCCEEDED(hr)) return hr;
            pReceivePin->Disconnect();
        }
    } else {
        hr = AsConnectionRefusal(hr);
    }

    BreakConnect();
    if (m_Connected) {
        m_Connected->Release();
        m_Connected = nullptr;
    }
    return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
{
    if (!pConnector || !pmt) return E_POINTER;
    CAutoLock lock(m_pLock);
    if (m_Connected) return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;

    HRESULT hr = CheckConnect(pConnector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    const CMediaType* type = static_cast<const CMediaType*>(pmt);
    hr = CheckMediaType(type);
    if (hr != S_OK) {
        BreakConnect();
        return AsConnectionRefusal(hr);
    }

    m_Connected = pConnector;
    m_Connected->AddRef();
    hr = SetMediaType(type);
    if (SUCCEEDED(hr)) hr = CompleteConnect(pConnector);
    if (FAILED(hr)) {
        m_Connected->Release();
        m_Connected = nullptr;
        BreakConnect();
        return hr;
    }
    return S_OK;
}

STDMETHODIMP CBasePin::Disconnect()
{
    CAutoLock lock(m_pLock);
    if (!IsStopped()) return VFW_E_NOT_STOPPED;
    if (!m_Connected) return S_FALSE;
    HRESULT hr = BreakConnect();
    if (FAILED(hr)) return hr;
    m_Connected->Release();
    m_Connected = nullptr;
    return S_OK;
}

// ---- Queries ------------------------------------------------------------------------------

STDMETHODIMP CBasePin::ConnectedTo(IPin** pPin)
{
    if (!pPin) return E_POINTER;
    IPin* peer = m_Connected;
    *pPin = peer;
    if (!peer) return VFW_E_NOT_CONNECTED;
    peer->AddRef();
    return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt) return E_POINTER;
    CAutoLock lock(m_pLock);
    CMediaType* target = static_cast<CMediaType*>(pmt);
    if (!m_Connected) {
        target->InitMediaType();
        return VFW_E_NOT_CONNECTED;
    }
    HRESULT hr = CopyMediaType(pmt, &m_mt);
    if (FAILED(hr)) {
        // A type without its format block would be a different type: hand out none.
        FreeMediaType(*pmt);
        target->InitMediaType();
    }
    return hr;
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* pInfo)
{
    if (!pInfo) return E_POINTER;
    pInfo->pFilter = m_pFilter;
    m_pFilter->AddRef();
    WideCopyN(pInfo->achName, m_pName, MAX_PIN_NAME);
    pInfo->dir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* pPinDir)
{
    if (!pPinDir) return E_POINTER;
    *pPinDir = m_dir;
    return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR* Id) { return AMGetWideString(m_pName ? m_pName : WIDE(""), Id); }

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (!pmt) return E_POINTER;
    HRESULT hr = CheckMediaType(static_cast<const CMediaType*>(pmt));
    return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumMediaTypes(this, nullptr);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::EndOfStream() { return S_OK; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl* piqc)
{
    CAutoLock lock(m_pLock);
    m_pQSink = piqc;
    return S_OK;
}

// ---- Hooks --------------------------------------------------------------------------------

LONG CBasePin::GetMediaTypeVersion() { return m_TypeVersion; }

HRESULT CBasePin::Active() { return S_OK; }

HRESULT CBasePin::Inactive()
{
    m_bRunTimeError = false;
    return S_OK;
}

HRESULT CBasePin::Run(REFERENCE_TIME) { return S_OK; }

HRESULT CBasePin::SetMediaType(const CMediaType* pmt) { return m_mt.Set(*pmt); }

HRESULT CBasePin::CheckConnect(IPin* pPin)
{
    // A peer that cannot say its direction is taken to have ours, and is refused.
    PIN_DIRECTION peer = m_dir;
    pPin->QueryDirection(&peer);
    return peer == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect() { return S_OK; }

HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }

HRESULT CBasePin::GetMediaType(int, CMediaType*) { return E_UNEXPECTED; }
