// The base of every filter object.
#pragma once

#include "com/unknown.h"
#include "framework/atomic_field.h"
#include "framework/filter_setup.h"
#include "framework/lock.h"
#include "platform/platform.h"

class CBasePin;

// ---- CBaseFilter ------------------------------------------------------------------------

// Abstract base of a filter: its run state, reference clock, stream start time, graph
// membership and name, and the IBaseFilter and IAMovieSetup interfaces over them.
//
// Ownership: the derived filter creates and deletes its pins (GetPinCount/GetPin); each pin
// keeps an uncounted pointer back and counts its references on the filter. The filter holds
// one reference on its clock; the graph and its event sink are uncounted (the graph holds
// the filter) and valid only while the filter is in the graph.
//
// Threads: the graph's control thread calls the state changes, connections and queries; the
// lock given at construction (recursive, shared with the pins) serialises them. Streaming
// threads call only StreamTime, NotifyEvent and IsStopped, which take no lock.
class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
public:
    // `lock` must outlive the filter and must not be null; `outer` is the aggregating object
    // or null. The name is a diagnostic label only.
    CBaseFilter(const char* name, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid);

    // IBaseFilter, IMediaFilter and IPersist all answer with the IBaseFilter interface.
    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // Frees the name and releases the clock; the pins are the derived filter's to delete.
    ~CBaseFilter() override;

    DECLARE_IUNKNOWN

    STDMETHODIMP GetClassID(CLSID* pClsID) override;
    // Never reports an intermediate state; the timeout is ignored.
    STDMETHODIMP GetState(DWORD dwMSecs, FILTER_STATE* State) override;
    // Takes a reference on the new clock before releasing the old one, so setting the clock
    // already held is safe. A null clock clears it.
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override;
    // Makes every connected pin inactive, even after one fails, and always ends Stopped;
    // returns the first pin failure.
    STDMETHODIMP Stop() override;
    // From Stopped, makes the connected pins active in index order. When a pin refuses, the
    // pins already made active are made inactive again and the filter stays Stopped.
    STDMETHODIMP Pause() override;
    // Records the start time, pauses first when stopped (through the virtual Pause, so a
    // derived filter's Pause runs; the lock is taken again), then tells the connected pins.
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    // The clock's time less the start time; VFW_E_NO_CLOCK without a clock. Takes no lock:
    // streaming threads call it.
    virtual HRESULT StreamTime(REFERENCE_TIME& rtStream);
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    // Pin ids are pin names, compared exactly (ordinal, case-sensitive).
    STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
    // Keeps the graph and its event sink without references, and a private copy of the name
    // (none if it cannot be allocated). A null graph leaves the filter outside any graph.
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* pVendorInfo) override;

    // Version of the pin set, read by pin enumerators; a filter whose pins change reports a
    // new one.
    virtual LONG GetPinVersion();
    virtual int GetPinCount() = 0;
    // The pin at index n without an added reference. A derived filter may answer null (for
    // example when it could not create its pins); the filter then skips that index.
    virtual CBasePin* GetPin(int n) = 0;

    // Enter the filter into, or remove it from, the first-generation filter mapper, using the
    // record from GetSetupData. S_FALSE when there is none.
    STDMETHODIMP Register() override;
    STDMETHODIMP Unregister() override;
    virtual const AMOVIESETUP_FILTER* GetSetupData();

    // Passes an event to the graph's event sink; E_NOTIMPL outside a graph. For EC_COMPLETE
    // the second parameter is replaced by this filter's IBaseFilter pointer. Any thread.
    HRESULT NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    bool IsStopped() const { return m_State == State_Stopped; }

protected:
    CAtomicField<FILTER_STATE> m_State;
    CAtomicField<IReferenceClock*> m_pClock;
    CAtomicField<REFERENCE_TIME> m_tStart;
    CLSID m_clsid;
    CCritSec* const m_pLock;
    WCHAR* m_pName;
    IFilterGraph* m_pGraph;
    CAtomicField<IMediaEventSink*> m_pSink;
    LONG m_PinVersion;
};
