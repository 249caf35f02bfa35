// A filter pair built on the framework: a source whose output pin streams numbered samples
// from a thread of its own, and a sink whose input pin checks and counts them. They run in
// the platform's filter graph, or connected to each other directly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "framework/base_filter.h"
#include "framework/input_pin.h"
#include "framework/output_pin.h"
#include "tests/support/sink_filter.h"
#include "tests/support/source_filter.h"

namespace streaming {

inline const GUID kStreamMajor = {0x5354524d, 0x0001, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline const GUID kSubtype = {0x5354524d, 0x0002, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline const GUID kRefusedSubtype = {0x5354524d, 0x0003, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline const CLSID kSourceClsid = {0x5354524d, 0x0004, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline const CLSID kSinkClsid = {0x5354524d, 0x0005, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr LONG kBufferSize = 1024;
constexpr REFERENCE_TIME kSampleDuration = 10000;

inline CMediaType StreamType(const GUID& subtype = kSubtype)
{
    CMediaType mt;
    mt.majortype = kStreamMajor;
    mt.subtype = subtype;
    mt.formattype = FORMAT_None;
    return mt;
}

// Streams `count` samples (forever when negative) from the moment the filter leaves
// Stopped, then end-of-stream; each sample holds its sequence number in its first bytes.
class SourcePin : public test_support::ThreadedSourcePin {
public:
    SourcePin(CBaseFilter* filter, CCritSec* lock)
        : ThreadedSourcePin("source pin", filter, lock, StreamType(), 4, kBufferSize)
    {
    }
    ~SourcePin() override { Join(); }

    std::atomic<int> count{20};
    std::atomic<bool> pace{false};          // pause briefly between samples
    std::atomic<bool> refusedTypeNext{false};  // the next sample announces a type the sink refuses
    std::atomic<int> delivered{0};
    std::atomic<int> failures{0};

private:
    void Stream() override
    {
        int sent = 0;
        for (int n = 0; !Stopping() && (count < 0 || n < count); ++n) {
            IMediaSample* sample = nullptr;
            REFERENCE_TIME start = n * kSampleDuration, stop = start + kSampleDuration;
            if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) return;
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            std::memcpy(data, &n, sizeof n);
            sample->SetActualDataLength(kBufferSize);
            sample->SetTime(&start, &stop);
            sample->SetSyncPoint(TRUE);
            if (refusedTypeNext.exchange(false)) {
                CMediaType refused = StreamType(kRefusedSubtype);
                sample->SetMediaType(&refused);
            }
            HRESULT hr = Deliver(sample);
            sample->Release();
            if (hr == S_OK) ++delivered, ++sent;
            // S_FALSE: the sink is flushing and drops the sample; keep going.
            if (FAILED(hr)) {
                ++failures;
                return;
            }
            if (pace) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!Stopping() && sent == count) DeliverEndOfStream();
    }
};

class SourceFilter : public test_support::OnePinFilter<SourcePin> {
public:
    SourceFilter() : OnePinFilter("source", kSourceClsid) {}
};

class SinkFilter;

// Accepts the stream type except its refused subtype, checks each sample's number and
// time, and ends the stream as a renderer does.
class SinkPin : public test_support::SinkPinBase {
public:
    explicit SinkPin(SinkFilter* filter);
    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        return IsEqualGUID(mt->majortype, kStreamMajor) && !IsEqualGUID(mt->subtype, kRefusedSubtype) ? S_OK
                                                                                                    : S_FALSE;
    }
    void Take(IMediaSample*, const AM_SAMPLE2_PROPERTIES& props) override
    {
        int n = -1;
        if (props.lActual >= int(sizeof n)) std::memcpy(&n, props.pbBuffer, sizeof n);
        // Numbers rise by one, except after a flush or a restart.
        bool inOrder = n == m_last + 1 || n == 0 || m_flushed;
        bool timed = (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) && props.tStart == n * kSampleDuration;
        if (!inOrder || !timed) ++disorder;
        m_last = n;
        m_flushed = false;
        ++received;
    }
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override
    {
        CAutoLock lock(m_pLock);
        ++flushes;
        m_sink->FlushArrived();
        return CBaseInputPin::BeginFlush();
    }
    STDMETHODIMP EndFlush() override
    {
        CAutoLock lock(m_pLock);
        {
            CAutoLock receiving(m_pReceiveLock);
            m_flushed = true;
        }
        return CBaseInputPin::EndFlush();
    }

    std::atomic<int> received{0};
    std::atomic<int> disorder{0};
    std::atomic<int> endOfStreams{0};
    std::atomic<int> flushes{0};

private:
    int m_last = -1;
    bool m_flushed = false;
};

class SinkFilter : public test_support::SinkFilterBase {
public:
    SinkFilter() : SinkFilterBase("sink", kSinkClsid), pin(new SinkPin(this)) {}
    ~SinkFilter() override { delete pin; }
    CBasePin* GetPin(int n) override { return n == 0 ? pin : nullptr; }

    SinkPin* const pin;
};

inline SinkPin::SinkPin(SinkFilter* filter) : SinkPinBase("sink pin", filter) {}

inline STDMETHODIMP SinkPin::EndOfStream()
{
    {
        CAutoLock lock(m_pReceiveLock);
        HRESULT hr = CheckStreaming();
        if (hr != S_OK) return hr;
        ++endOfStreams;
    }
    m_sink->EndOfStreamArrived();
    return S_OK;
}

}  // namespace streaming
