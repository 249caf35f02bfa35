// The two pins of a transform filter. Both are thin: every decision about types,
// connections, buffers, quality and streaming goes to the owning CTransformFilter.
#pragma once

#include <atomic>

#include "framework/input_pin.h"
#include "framework/output_pin.h"
#include "framework/transform_filter.h"
#include "platform/platform.h"

// The input pin, id "In". It checks offered types with the filter's CheckInputType and, while
// the output is connected, CheckTransform against the output's type; it hands each accepted
// sample to the filter's Receive under the receive lock.
//
// Owned by its filter and locked by the filter lock. Receive and EndOfStream run on the
// upstream streaming thread under the receive lock; BeginFlush and EndFlush take the filter
// lock; NewSegment takes none.
class CTransformInputPin : public CBaseInputPin {
public:
    CTransformInputPin(const char* objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR pinName);

    STDMETHODIMP QueryId(LPWSTR* Id) override;
    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT CheckMediaType(const CMediaType* mtIn) override;
    // Stores the connection type, then tells the filter (whose answer is not examined). Only
    // a failure to store the type fails the call.
    HRESULT SetMediaType(const CMediaType* mtIn) override;
    // In this order: the output is not connected (VFW_E_NOT_CONNECTED), the pin is flushing
    // (S_FALSE), the filter is stopped (VFW_E_WRONG_STATE), a refused type change is pending
    // (VFW_E_RUNTIME_ERROR); else S_OK.
    HRESULT CheckStreaming() override;

    STDMETHODIMP Receive(IMediaSample* pSample) override;
    STDMETHODIMP EndOfStream() override;
    // Both need this pin and the output pin connected (VFW_E_NOT_CONNECTED otherwise).
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

private:
    CTransformFilter* const m_pTransformFilter;
};

// The output pin, id "Out". It connects, proposes and accepts types only once the input pin
// is connected, sizes buffers through the filter, passes quality messages to the filter and
// then upstream, and answers IMediaPosition and IMediaSeeking with a platform pass-through
// object that forwards them upstream through the input pin.
//
// Owned by its filter and locked by the filter lock; owns the pass-through object, created on
// the first request for either interface (from any thread, without a lock) and kept until
// the pin goes.
class CTransformOutputPin : public CBaseOutputPin {
public:
    CTransformOutputPin(const char* objectName, CTransformFilter* filter, HRESULT* phr, LPCWSTR pinName);
    ~CTransformOutputPin() override;

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP QueryId(LPWSTR* Id) override;
    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT CheckMediaType(const CMediaType* mtOut) override;
    // As the input pin's.
    HRESULT SetMediaType(const CMediaType* mtOut) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    STDMETHODIMP Notify(IBaseFilter* pSender, Quality q) override;

private:
    CTransformFilter* const m_pTransformFilter;
    std::atomic<IUnknown*> m_pPosition;
};
