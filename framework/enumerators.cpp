#include "framework/enumerators.h"

#include <algorithm>
#include <cstring>
#include <new>

// ---- CEnumPins ----------------------------------------------------------------------------

CEnumPins::CEnumPins(CBaseFilter* filter, CEnumPins* source)
    : m_Position(0), m_PinCount(0), m_pFilter(filter), m_Version(0), m_cRef(1)
{
    m_pFilter->AddRef();
    if (source) {
        m_Position = source->m_Position;
        m_PinCount = source->m_PinCount;
        m_Version = source->m_Version;
        // A pin that cannot be remembered may be returned twice; nothing worse.
        m_PinCache.AddTail(&source->m_PinCache);
    } else {
        m_Version = m_pFilter->GetPinVersion();
        m_PinCount = m_pFilter->GetPinCount();
    }
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

STDMETHODIMP CEnumPins::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IEnumPins) || IsEqualGUID(riid, IID_IUnknown)) return GetInterface(this, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumPins::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CEnumPins::Release()
{
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

void CEnumPins::Refresh()
{
    m_Version = m_pFilter->GetPinVersion();
    m_PinCount = m_pFilter->GetPinCount();
    m_Position = 0;
}

STDMETHODIMP CEnumPins::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched)
{
    if (!ppPins) return E_POINTER;
    if (pcFetched) {
        *pcFetched = 0;
    } else if (cPins > 1) {
        return E_INVALIDARG;
    }
    // A changed pin set starts over from the first pin; the pins already returned stay
    // remembered and are not returned again.
    if (AreWeOutOfSync()) Refresh();

    LONG wanted = std::min(static_cast<LONG>(m_PinCount - m_Position), static_cast<LONG>(cPins));
    if (wanted == 0) return S_FALSE;

    ULONG fetched = 0;
    while (wanted != 0 && m_Position < m_PinCount) {
        CBasePin* pin = m_pFilter->GetPin(m_Position++);
        if (!pin) {
            // A failed call hands nothing out: take back the pins written so far, which the
            // caller cannot know about.
            for (ULONG i = 0; i < fetched; ++i) {
                ppPins[i]->Release();
                ppPins[i] = nullptr;
            }
            return VFW_E_ENUM_OUT_OF_SYNC;
        }
        if (m_PinCache.Find(pin)) continue;
        ppPins[fetched++] = pin;
        pin->AddRef();
        m_PinCache.AddTail(pin);
        --wanted;
    }
    if (pcFetched) *pcFetched = fetched;
    return fetched == cPins ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG cPins)
{
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG left = static_cast<ULONG>(m_PinCount - m_Position);
    if (cPins > left) return S_FALSE;
    m_Position += static_cast<int>(cPins);
    return S_OK;
}

STDMETHODIMP CEnumPins::Reset()
{
    Refresh();
    m_PinCache.RemoveAll();
    return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    if (AreWeOutOfSync()) {
        *ppEnum = nullptr;
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    *ppEnum = new (std::nothrow) CEnumPins(m_pFilter, this);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

// ---- CEnumMediaTypes ----------------------------------------------------------------------

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin, CEnumMediaTypes* source)
    : m_Position(0), m_pPin(pin), m_Version(0), m_cRef(1)
{
    m_pPin->AddRef();
    if (source) {
        m_Position = source->m_Position;
        m_Version = source->m_Version;
    } else {
        m_Version = m_pPin->GetMediaTypeVersion();
    }
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

STDMETHODIMP CEnumMediaTypes::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IEnumMediaTypes) || IsEqualGUID(riid, IID_IUnknown)) return GetInterface(this, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumMediaTypes::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CEnumMediaTypes::Release()
{
    LONG count = InterlockedDecrement(&m_cRef);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched)
{
    if (!ppMediaTypes) return E_POINTER;
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    if (pcFetched) {
        *pcFetched = 0;
    } else if (cMediaTypes > 1) {
        return E_INVALIDARG;
    }

    ULONG fetched = 0;
    while (fetched < cMediaTypes) {
        CMediaType type;
        HRESULT hr = m_pPin->GetMediaType(static_cast<int>(m_Position++), &type);
        if (hr != S_OK) break;
        AM_MEDIA_TYPE* record = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!record) break;
        // The record takes over the format block and the pUnk reference.
        std::memcpy(record, static_cast<AM_MEDIA_TYPE*>(&type), sizeof(AM_MEDIA_TYPE));
        type.cbFormat = 0;
        type.pbFormat = nullptr;
        type.pUnk = nullptr;
        ppMediaTypes[fetched++] = record;
    }
    if (pcFetched) *pcFetched = fetched;
    return fetched == cMediaTypes ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG cMediaTypes)
{
    if (cMediaTypes == 0) return S_OK;
    if (AreWeOutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    m_Position += cMediaTypes;
    CMediaType type;
    return m_pPin->GetMediaType(static_cast<int>(m_Position - 1), &type) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Reset()
{
    m_Position = 0;
    m_Version = m_pPin->GetMediaTypeVersion();
    return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    if (AreWeOutOfSync()) {
        *ppEnum = nullptr;
        return VFW_E_ENUM_OUT_OF_SYNC;
    }
    *ppEnum = new (std::nothrow) CEnumMediaTypes(m_pPin, this);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}
