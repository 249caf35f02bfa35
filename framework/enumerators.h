// Enumerators over a filter's pins and over a pin's preferred media types.
#pragma once

#include "framework/base_filter.h"
#include "framework/base_pin.h"
#include "framework/list.h"
#include "platform/platform.h"

// IEnumPins over a CBaseFilter. It holds a reference on the filter for its whole life and
// remembers the filter's pin version: when the version changes it starts over by itself at
// the next Next, still skipping the pins it has already returned (it keeps them, without
// references, only to compare identities). Reset forgets them.
//
// Its own reference count starts at 1, for the creator. One thread at a time; no lock.
class CEnumPins : public IEnumPins {
public:
    // With `source`, continues where `source` stands (position, count, version, returned pins).
    CEnumPins(CBaseFilter* filter, CEnumPins* source);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // Without `pcFetched` only one pin may be asked for (E_INVALIDARG otherwise). S_FALSE when
    // fewer pins were returned than asked for; VFW_E_ENUM_OUT_OF_SYNC when the filter gives no
    // pin for an index below its count (pins already written stay in the array).
    STDMETHODIMP Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
    // S_FALSE, without moving, when fewer pins are left; VFW_E_ENUM_OUT_OF_SYNC when the pin
    // set changed.
    STDMETHODIMP Skip(ULONG cPins) override;
    STDMETHODIMP Reset() override;
    // VFW_E_ENUM_OUT_OF_SYNC (and null) when the pin set changed.
    STDMETHODIMP Clone(IEnumPins** ppEnum) override;
    virtual ~CEnumPins();

private:
    bool AreWeOutOfSync() const { return m_pFilter->GetPinVersion() != m_Version; }
    void Refresh();

    int m_Position;
    int m_PinCount;
    CBaseFilter* const m_pFilter;
    LONG m_Version;
    LONG volatile m_cRef;
    CGenericList<CBasePin> m_PinCache;
};

// IEnumMediaTypes over a CBasePin's GetMediaType list. It holds a reference on the pin (and
// so on its filter). When the pin's type version changes it refuses Next, Skip and Clone
// with VFW_E_ENUM_OUT_OF_SYNC until Reset.
//
// Each record Next returns is the caller's, freed with DeleteMediaType. Its own reference
// count starts at 1, for the creator. One thread at a time; no lock.
class CEnumMediaTypes : public IEnumMediaTypes {
public:
    // With `source`, continues where `source` stands.
    CEnumMediaTypes(CBasePin* pin, CEnumMediaTypes* source);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // Without `pcFetched` only one type may be asked for (E_INVALIDARG otherwise). S_FALSE
    // when the pin ran out of types (or a record could not be allocated) first.
    STDMETHODIMP Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
    // Moves on even past the end; S_FALSE when no type stands before the new position.
    STDMETHODIMP Skip(ULONG cMediaTypes) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** ppEnum) override;
    virtual ~CEnumMediaTypes();

private:
    bool AreWeOutOfSync() const { return m_pPin->GetMediaTypeVersion() != m_Version; }

    ULONG m_Position;
    CBasePin* const m_pPin;
    LONG m_Version;
    LONG volatile m_cRef;
};
