// Input pins that receive samples pushed from upstream through IMemInputPin, and the
// creation of the platform's standard memory allocator.
#pragma once

#include "framework/atomic_field.h"
#include "framework/base_pin.h"
#include "platform/platform.h"

// Creates the platform's standard memory allocator (CLSID_MemoryAllocator), in process and
// not aggregated; returns the creation result.
HRESULT CreateMemoryAllocator(IMemAllocator** ppAllocator);

// Abstract base of an input pin: the allocator handshake with the upstream output pin, the
// checks every received sample passes (filter state, flushing, an earlier run-time error, a
// media type change carried by the sample), the sample's properties gathered into one
// record, flushing, and quality messages passed upstream.
//
// Ownership: holds one reference on the allocator of the connection (its own default one
// from GetAllocator, or the one named by NotifyAllocator).
//
// Threads: Receive, ReceiveMultiple, ReceiveCanBlock, CheckStreaming and PassNotify run on
// the upstream streaming thread without a lock; they read the filter state and the flushing
// and run-time error flags, which the control thread changes under the filter lock.
// GetAllocator, NotifyAllocator, BeginFlush and EndFlush take the filter lock.
class CBaseInputPin : public CBasePin, public IMemInputPin {
public:
    CBaseInputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR pinName);
    // Releases the allocator without decommitting it.
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // Quality messages sent to this pin go nowhere (E_POINTER without a sender).
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override;
    // Clears the run-time error; with an allocator, leaves flushing and decommits it
    // (VFW_E_NO_ALLOCATOR without one).
    HRESULT Inactive() override;
    // Decommits and releases the allocator; a failing Decommit keeps it and is returned.
    HRESULT BreakConnect() override;

    // Hands out the connection's allocator, creating the default one on first use.
    STDMETHODIMP GetAllocator(IMemAllocator** ppAllocator) override;
    // Uses `pAllocator` from now on.
    STDMETHODIMP NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    // Checks the sample and fills SampleProps. S_OK: the derived pin processes the sample;
    // S_FALSE while flushing; VFW_E_WRONG_STATE when stopped; VFW_E_RUNTIME_ERROR after a
    // refused media type change, until EndFlush or Inactive. A refused change itself sends
    // end-of-stream (through the virtual EndOfStream), raises EC_ERRORABORT and returns
    // VFW_E_INVALIDMEDIATYPE.
    STDMETHODIMP Receive(IMediaSample* pSample) override;
    // Receive on each sample in turn, through the virtual slot; stops at the first answer
    // other than S_OK and returns it. *nSamplesProcessed counts the S_OK answers.
    STDMETHODIMP ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) override;
    // Whether Receive may block, judged from the filter's connected output pins: S_FALSE only
    // when every one leads to an input pin that says it never blocks.
    STDMETHODIMP ReceiveCanBlock() override;
    // Every sample is refused with S_FALSE until EndFlush; derived pins also discard queued
    // data and pass the flush downstream.
    STDMETHODIMP BeginFlush() override;
    // Leaves flushing and clears the run-time error.
    STDMETHODIMP EndFlush() override;
    // This pin states no requirements (E_NOTIMPL).
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    // Whether a sample may be received now; see Receive for the answers and their order.
    virtual HRESULT CheckStreaming();

    // Passes a quality message upstream: to the sink set with SetSink, else to the connected
    // pin's IQualityControl; VFW_E_NOT_FOUND when there is neither.
    HRESULT PassNotify(Quality& q);

    bool IsReadOnly() const { return m_bReadOnly; }
    bool IsFlushing() const { return m_bFlushing; }
    // Properties of the sample Receive last accepted. For samples without IMediaSample2 the
    // media type they carried has been checked and freed (pMediaType is null); the
    // AM_SAMPLE_TYPECHANGED flag still says that it came.
    AM_SAMPLE2_PROPERTIES* SampleProps() { return &m_SampleProps; }

protected:
    IMemAllocator* m_pAllocator;
    bool m_bReadOnly;
    CAtomicField<bool> m_bFlushing;
    AM_SAMPLE2_PROPERTIES m_SampleProps;
};
