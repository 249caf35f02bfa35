// The base of a filter with one input pin and one output pin that turns each input sample
// into one output sample.
#pragma once

#include "framework/atomic_field.h"
#include "framework/base_filter.h"
#include "framework/lock.h"
#include "framework/media_type.h"
#include "platform/platform.h"

class CTransformInputPin;
class CTransformOutputPin;

// Abstract transform filter. It creates its two pins, "XForm In" (id "In") and "XForm Out"
// (id "Out"), together on the first pin request; for each sample the input pin accepts it
// takes a buffer from the output allocator, copies the input's timing and flags onto it,
// calls Transform and delivers (or drops) the result; end-of-stream, flushes and new segments
// go straight downstream. A derived filter supplies the type checks, the output type, the
// buffer sizing and Transform.
//
// Ownership: the filter owns both pins (deleted with it) and both locks.
//
// Threads and locks:
//  - the control thread (state changes, connections) works under the filter lock, which is
//    also the base filter's state lock and both pins' lock;
//  - the upstream streaming thread runs Receive and EndOfStream under the receive lock only,
//    so transforming and delivering downstream never hold the filter lock;
//  - Stop takes the receive lock after making the input pin inactive and so waits for the
//    sample in progress; Pause takes it around StartStreaming. The filter lock always comes
//    first.
class CTransformFilter : public CBaseFilter {
public:
    CTransformFilter(const char* name, LPUNKNOWN outer, REFCLSID clsid);
    // Deletes the input pin, then the output pin. The pins must be disconnected.
    ~CTransformFilter() override;

    int GetPinCount() override;
    // Creates both pins on the first call, whatever n; 0 is the input, 1 the output, any
    // other index null. Null for every index while the pins cannot be created (the next call
    // tries again).
    CBasePin* GetPin(int n) override;
    // "In" and "Out" (exact, case-sensitive) select GetPin(0) and GetPin(1); anything else
    // gives VFW_E_NOT_FOUND, and a pin that could not be created E_OUTOFMEMORY.
    STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;
    // With both pins connected: input pin inactive, then (holding the receive lock, so after
    // the sample in progress) output pin inactive and StopStreaming. A failing StopStreaming
    // is returned and leaves the state as it was.
    STDMETHODIMP Stop() override;
    // From Stopped with both pins connected: StartStreaming, then the pins become active. With
    // the input unconnected, sends one end-of-stream downstream (until the next Stop). Clears
    // the skipped-sample and quality-change flags.
    STDMETHODIMP Pause() override;

    // ---- Hooks for the derived filter, in slot order ----

    // Fills `pOut` from `pIn`. S_OK delivers pOut; S_FALSE drops it (counted as a skipped
    // frame); anything else drops it and is returned upstream. Default: E_UNEXPECTED.
    virtual HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut);
    // S_OK accepts the input type; anything else refuses it.
    virtual HRESULT CheckInputType(const CMediaType* mtIn) = 0;
    // S_OK accepts the pair of input and output types.
    virtual HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) = 0;
    // Sets the output allocator's properties (see CBaseOutputPin::DecideBufferSize).
    virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) = 0;
    // The output type proposed at `iPosition`; VFW_S_NO_MORE_ITEMS past the last.
    virtual HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) = 0;
    // Bracket a run of streaming; both run under the receive lock. Default S_OK.
    virtual HRESULT StartStreaming();
    virtual HRESULT StopStreaming();
    // A quality message from downstream. S_FALSE (the default) passes it upstream.
    virtual HRESULT AlterQuality(Quality q);
    // Told after a pin has stored its connection type; the result is not examined.
    virtual HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt);
    // Connection steps of either pin; the pins call them before their own.
    virtual HRESULT CheckConnect(PIN_DIRECTION dir, IPin* pPin);
    virtual HRESULT BreakConnect(PIN_DIRECTION dir);
    virtual HRESULT CompleteConnect(PIN_DIRECTION direction, IPin* pReceivePin);
    // The per-sample path; the input pin calls it with the receive lock held after it has
    // accepted the sample and recorded its properties.
    virtual HRESULT Receive(IMediaSample* pSample);
    // Passed downstream through the output pin.
    virtual HRESULT EndOfStream();
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();
    virtual HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

protected:
    // Gets an output buffer for the input sample whose properties the input pin recorded and
    // copies its times and flags onto it. *ppOutSample holds what the allocator handed out
    // (null or the failure's leftovers included); on success the caller owns one reference.
    HRESULT InitializeOutputSample(IMediaSample* pSample, IMediaSample** ppOutSample);

    // An end-of-stream went downstream while paused without an input connection.
    bool m_bEOSDelivered;
    // The last input sample was dropped. Written by the streaming thread, cleared by Pause.
    CAtomicField<bool> m_bSampleSkipped;
    // EC_QUALITY_CHANGE has been raised since the last Pause.
    CAtomicField<bool> m_bQualityChanged;

    CCritSec m_csFilter;
    CCritSec m_csReceive;

    // Null until CreatePins has made both. The output is published before the input, so a
    // thread that reads a non-null input pin without the filter lock also sees the output.
    CAtomicField<CTransformInputPin*> m_pInput;
    CAtomicField<CTransformOutputPin*> m_pOutput;

private:
    friend class CTransformInputPin;
    friend class CTransformOutputPin;

    // Creates both pins or neither, under the filter lock; safe to call from several threads.
    void CreatePins();
};
