// Output pins that push samples into a downstream IMemInputPin, and the creation of the
// platform's seeking pass-through object.
#pragma once

#include "framework/base_pin.h"
#include "platform/platform.h"

// Creates the platform's seeking pass-through object (CLSID_SeekingPassThru), aggregated by
// `pAgg`, and initialises it to forward position and seeking requests through `pPin`. On
// success *ppPassThru is the object's IUnknown with one reference for the caller; on any
// failure it is null and the failure is returned.
HRESULT CreatePosPassThru(LPUNKNOWN pAgg, BOOL bRenderer, IPin* pPin, IUnknown** ppPassThru);

// Abstract base of an output pin. It connects only to a peer with IMemInputPin, agrees the
// connection's allocator when the connection completes (the derived pin sizes the buffers in
// DecideBufferSize), commits the allocator when the filter starts and decommits it when it
// stops, and offers the filter the calls that get empty buffers and pass samples,
// end-of-stream, flushes and new segments downstream.
//
// Ownership: while connected it holds one reference on the downstream IMemInputPin and one
// on the allocator; BreakConnect releases both.
//
// Threads: connection work and Active/Inactive run on the control thread under the filter
// lock. GetDeliveryBuffer, Deliver and the Deliver... calls run on the streaming thread
// without a lock; connections change only while the filter is stopped.
class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(const char* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, LPCWSTR pinName);
    ~CBaseOutputPin() override;

    // End-of-stream and flushes go to input pins only: E_UNEXPECTED.
    STDMETHODIMP EndOfStream() override;
    // Commits the allocator (VFW_E_NO_ALLOCATOR without one).
    HRESULT Active() override;
    // Clears the run-time error and decommits the allocator (VFW_E_NO_ALLOCATOR without one).
    HRESULT Inactive() override;
    // The base pin's direction check, then the peer's IMemInputPin, kept for delivery.
    HRESULT CheckConnect(IPin* pPin) override;
    // Decommits and releases the allocator (a failing Decommit keeps everything and is
    // returned), then releases the downstream IMemInputPin.
    HRESULT BreakConnect() override;
    // Agrees the allocator with DecideAllocator.
    HRESULT CompleteConnect(IPin* pReceivePin) override;

    // The downstream pin's allocator if DecideBufferSize takes it, else this pin's own from
    // InitAllocator; the one chosen is announced with NotifyAllocator (never read-only). On
    // failure *ppAlloc is null and the last call's failure is returned.
    virtual HRESULT DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);
    // Sets the buffer count, size, alignment and prefix on `pAlloc` (IMemAllocator::
    // SetProperties). `ppropInputRequest` holds the downstream pin's requests (alignment at
    // least 1) and may be changed. A failure refuses that allocator.
    virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* ppropInputRequest) = 0;
    // An empty sample from the allocator, with one reference for the caller; E_NOINTERFACE
    // without an allocator.
    virtual HRESULT GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                      REFERENCE_TIME* pEndTime, DWORD dwFlags);
    // The downstream Receive's answer; the caller keeps its own reference on the sample.
    virtual HRESULT Deliver(IMediaSample* pSample);
    // Creates this pin's own allocator, the platform's memory allocator.
    virtual HRESULT InitAllocator(IMemAllocator** ppAlloc);
    // The Deliver... calls pass to the connected pin (VFW_E_NOT_CONNECTED without one).
    virtual HRESULT DeliverEndOfStream();
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    virtual HRESULT DeliverBeginFlush();
    virtual HRESULT DeliverEndFlush();
    // Does not change this pin's own segment.
    virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

protected:
    IMemAllocator* m_pAllocator;
    IMemInputPin* m_pInputPin;
};
