// The base of every pin: connection negotiation with a peer pin, the connection's media
// type, the pin queries of IPin, and IQualityControl.
#pragma once

#include "com/unknown.h"
#include "framework/atomic_field.h"
#include "framework/base_filter.h"
#include "framework/lock.h"
#include "framework/media_type.h"
#include "platform/platform.h"

// Abstract base of a pin. A pin belongs to one filter, which creates and deletes it; it has
// no reference count of its own: every reference on it is a reference on its filter, so the
// pin lives exactly as long as the filter. It shares the filter's lock.
//
// While connected it holds one reference on the peer pin. It must be disconnected before it
// is destroyed (the destructor does not release the peer).
//
// Threads: connection operations run on the control thread under the filter lock; the lock
// order across two filters is the connecting filter's, then the receiving filter's. The
// informational queries and NewSegment take no lock.
class CBasePin : public CUnknown, public IPin, public IQualityControl {
public:
    // `filter` and `lock` must outlive the pin. The name is copied (a pin without one
    // answers queries with an empty name); `phr` is not written.
    CBasePin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR pinName,
             PIN_DIRECTION dir);

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // Count on the owning filter and return its count.
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;
    ~CBasePin() override;

    DECLARE_IUNKNOWN

    // Agrees a media type with `pReceivePin` and connects. A fully specified `pmt` is the only
    // type tried; a partial or null one restricts the types offered by the peer and then by
    // this pin (see AgreeMediaType).
    STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    // The peer's side of Connect: check the peer and the type, then connect.
    STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    // Only while the filter is stopped; S_FALSE when not connected. A failing BreakConnect
    // leaves the pin connected.
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pPin) override;
    // Writes over the caller's record without freeing what it held.
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pPinDir) override;
    STDMETHODIMP QueryId(LPWSTR* Id) override;
    // CheckMediaType's answer, with failures turned into S_FALSE.
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    STDMETHODIMP QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    STDMETHODIMP EndOfStream() override;
    // Records the segment; derived pins pass it on.
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override;
    // The sink is kept without a reference.
    STDMETHODIMP SetSink(IQualityControl* piqc) override;

    // Version of the list of preferred media types, read by media-type enumerators.
    virtual LONG GetMediaTypeVersion();
    // Called by the filter, under its lock, on connected pins only: Active going from Stopped
    // to Paused, Inactive going to Stopped, Run going to Running.
    virtual HRESULT Active();
    virtual HRESULT Inactive();
    virtual HRESULT Run(REFERENCE_TIME tStart);
    // S_OK accepts the type; anything else refuses it.
    virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    // Stores a copy as the connection type. A failure (the copy could not be made) refuses
    // the connection being made, which is undone.
    virtual HRESULT SetMediaType(const CMediaType* pmt);
    // Refuses a peer of the same direction (VFW_E_INVALID_DIRECTION).
    virtual HRESULT CheckConnect(IPin* pPin);
    // Undoes what CheckConnect and CompleteConnect set up.
    virtual HRESULT BreakConnect();
    virtual HRESULT CompleteConnect(IPin* pReceivePin);
    // The preferred type at `iPosition`; the base has none (E_UNEXPECTED).
    virtual HRESULT GetMediaType(int iPosition, CMediaType* pMediaType);

    bool IsConnected() const { return m_Connected != nullptr; }
    bool IsStopped() const { return m_pFilter->IsStopped(); }
    LPWSTR Name() const { return m_pName; }
    // The connected peer, without a reference; null when not connected.
    IPin* GetConnected() const { return m_Connected; }
    CMediaType& CurrentMediaType() { return m_mt; }
    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
    double CurrentRate() const { return m_dRate; }

protected:
    // Tries the types of the peer's enumerator and of this pin's, in the order set by
    // m_bTryMyTypesFirst; the caller holds the lock.
    HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt);
    // Tries each type of `pEnum` that matches `pmt` (all of them when `pmt` is null) until
    // one connects. Keeps the first failure that says more than "not accepted".
    HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum);
    // Connects with exactly `pmt`, or undoes every step and leaves the pin unconnected.
    HRESULT AttemptConnection(IPin* pReceivePin, const CMediaType* pmt);

    WCHAR* m_pName;
    // Written under the pin lock; IsConnected reads it without, from any thread.
    CAtomicField<IPin*> m_Connected;
    PIN_DIRECTION m_dir;
    CCritSec* const m_pLock;
    CAtomicField<bool> m_bRunTimeError;
    bool m_bCanReconnectWhenActive;
    bool m_bTryMyTypesFirst;
    CBaseFilter* const m_pFilter;
    IQualityControl* m_pQSink;
    LONG m_TypeVersion;
    CMediaType m_mt;
    REFERENCE_TIME m_tStart;
    REFERENCE_TIME m_tStop;
    double m_dRate;
};
