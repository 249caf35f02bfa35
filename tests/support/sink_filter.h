// The two halves of the test sinks. The filter: one input pin, the filter lock and a receive
// lock, and the way a renderer ends a stream; the pin lives in the derived class, which
// answers GetPin. The pin: an input pin that takes each sample the base pin lets through.
#pragma once

#include "framework/base_filter.h"
#include "framework/input_pin.h"

namespace test_support {

// EC_COMPLETE goes out once end-of-stream has arrived and the filter runs, whichever comes
// last. A sink that completed while merely paused would end a run before the graph started
// it, and a graph may then drop the event. Stopping or flushing forgets a pending end.
// The pin calls EndOfStreamArrived and FlushArrived from the streaming thread; the graph's
// thread calls Run and Stop.
class SinkFilterBase : public CBaseFilter {
public:
    SinkFilterBase(const char* name, const CLSID& clsid) : CBaseFilter(name, nullptr, &m_lock, clsid) {}
    int GetPinCount() override { return 1; }

    // Once the pin is inactive, waits for a sample still being received.
    STDMETHODIMP Stop() override
    {
        CAutoLock lock(&m_lock);
        m_endPending = false;
        HRESULT hr = CBaseFilter::Stop();
        CAutoLock receiving(&m_receiveLock);
        return hr;
    }
    STDMETHODIMP Run(REFERENCE_TIME start) override
    {
        bool complete;
        {
            CAutoLock lock(&m_lock);
            HRESULT hr = CBaseFilter::Run(start);
            if (FAILED(hr)) return hr;
            complete = m_endPending;
            m_endPending = false;
        }
        if (complete) NotifyEvent(EC_COMPLETE, S_OK, 0);
        return S_OK;
    }

    // Called outside the receive lock: the graph may be stopping this filter meanwhile.
    void EndOfStreamArrived()
    {
        {
            CAutoLock lock(&m_lock);
            if (m_State != State_Running) {
                m_endPending = true;
                return;
            }
        }
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    }
    void FlushArrived()
    {
        CAutoLock lock(&m_lock);
        m_endPending = false;
    }

    CCritSec* FilterLock() { return &m_lock; }
    CCritSec* ReceiveLock() { return &m_receiveLock; }

private:
    CCritSec m_lock;
    CCritSec m_receiveLock;
    bool m_endPending = false;
};

// The input pin "In" of a SinkFilterBase. Each sample that passes the base pin's checks goes
// to Take, under the filter's receive lock, on the streaming thread.
class SinkPinBase : public CBaseInputPin {
public:
    SinkPinBase(const char* name, SinkFilterBase* filter)
        : CBaseInputPin(name, filter, filter->FilterLock(), nullptr, WIDE("In")),
          m_sink(filter),
          m_pReceiveLock(filter->ReceiveLock())
    {
    }

    STDMETHODIMP Receive(IMediaSample* sample) final
    {
        CAutoLock lock(m_pReceiveLock);
        HRESULT hr = CBaseInputPin::Receive(sample);
        if (hr != S_OK) return hr;
        Take(sample, *SampleProps());
        return S_OK;
    }

protected:
    virtual void Take(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props) = 0;

    SinkFilterBase* const m_sink;
    CCritSec* const m_pReceiveLock;
};

}  // namespace test_support
