// Filters for the decoder's graph tests, built on the framework: a source whose output pin
// pushes a scripted series of B-Format samples from a thread of its own, and a sink that
// keeps a copy of everything it receives.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/base_filter.h"
#include "framework/input_pin.h"
#include "framework/output_pin.h"
#include "tests/filter/bformat_types.h"
#include "tests/support/sink_filter.h"
#include "tests/support/source_filter.h"

namespace bformat_test {

// {42465354-0001-4D8B-A1F2-6C3B2E9D0A11} and {42465354-0002-4D8B-A1F2-6C3B2E9D0A11}
inline const CLSID kSourceClsid = {0x42465354, 0x0001, 0x4D8B, {0xA1, 0xF2, 0x6C, 0x3B, 0x2E, 0x9D, 0x0A, 0x11}};
inline const CLSID kSinkClsid = {0x42465354, 0x0002, 0x4D8B, {0xA1, 0xF2, 0x6C, 0x3B, 0x2E, 0x9D, 0x0A, 0x11}};

// One media sample as the source sends it or the sink received it.
struct SampleRecord {
    std::vector<BYTE> data;
    bool timed = false;  // start and stop
    REFERENCE_TIME start = 0, stop = 0;
    bool sync = false, discontinuity = false, preroll = false;
    bool mediaTimed = false;
    LONGLONG mediaStart = 0, mediaStop = 0;
};

// Streams its script while active, in order, then sends end-of-stream once. With `loop` it
// goes round the script for ever. It stops at `limit` samples sent (more can be allowed
// later) and remembers its place across stops, resending a sample that was refused.
class BFormatSourcePin : public test_support::ThreadedSourcePin {
public:
    BFormatSourcePin(CBaseFilter* filter, CCritSec* lock, const TypeShape& type, std::vector<SampleRecord> script,
                     LONG bufferSize)
        : ThreadedSourcePin("B-Format source pin", filter, lock, MakeType(type), 4, bufferSize),
          m_script(std::move(script))
    {
    }
    ~BFormatSourcePin() override { Join(); }

    // Lets the thread go on until `count` samples have been accepted in all.
    void Allow(long count)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_limit = count;
        }
        m_cv.notify_all();
    }

    bool loop = false;
    // Samples accepted downstream (Deliver answered S_OK), in script order.
    std::atomic<long> accepted{0};
    std::atomic<int> refusals{0};
    std::atomic<int> endOfStreams{0};

private:
    void WakeStream() override
    {
        { std::lock_guard<std::mutex> lock(m_mutex); }
        m_cv.notify_all();
    }
    void Stream() override
    {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [this] { return Stopping() || accepted < m_limit; });
                if (Stopping()) return;
            }
            const long n = accepted;
            if (!loop && n >= static_cast<long>(m_script.size())) {
                if (endOfStreams++ == 0) DeliverEndOfStream();
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [this] { return Stopping(); });
                return;
            }
            const SampleRecord& s = m_script[static_cast<size_t>(n) % m_script.size()];
            IMediaSample* sample = nullptr;
            if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0)) || !sample) return;
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            if (!s.data.empty()) std::memcpy(data, s.data.data(), s.data.size());
            sample->SetActualDataLength(static_cast<LONG>(s.data.size()));
            REFERENCE_TIME start = s.start, stop = s.stop;
            sample->SetTime(s.timed ? &start : nullptr, s.timed ? &stop : nullptr);
            LONGLONG mediaStart = s.mediaStart, mediaStop = s.mediaStop;
            sample->SetMediaTime(s.mediaTimed ? &mediaStart : nullptr, s.mediaTimed ? &mediaStop : nullptr);
            sample->SetSyncPoint(s.sync);
            sample->SetDiscontinuity(s.discontinuity);
            sample->SetPreroll(s.preroll);
            HRESULT hr = Deliver(sample);
            sample->Release();
            if (hr != S_OK) {
                // Stopping (or flushing) downstream: resend this one next time.
                ++refusals;
                return;
            }
            ++accepted;
        }
    }

    std::vector<SampleRecord> m_script;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_limit = 0x7FFFFFFF;
};

class BFormatSource : public test_support::OnePinFilter<BFormatSourcePin> {
public:
    BFormatSource(const TypeShape& type, std::vector<SampleRecord> script, LONG bufferSize)
        : OnePinFilter("B-Format source", kSourceClsid, type, std::move(script), bufferSize)
    {
    }
};

// Accepts any extensible wave format and records, in arrival order, each sample and each
// notice ("sample", "eos", "begin flush", "end flush", "segment").
class BFormatSinkPin : public test_support::SinkPinBase {
public:
    explicit BFormatSinkPin(test_support::SinkFilterBase* filter) : SinkPinBase("B-Format sink pin", filter) {}

    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        const WAVEFORMATEXTENSIBLE f = FormatOf(*mt);
        return IsEqualGUID(mt->majortype, MEDIATYPE_Audio) && IsEqualGUID(mt->formattype, FORMAT_WaveFormatEx) &&
                       mt->cbFormat >= sizeof f && f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE
                   ? S_OK
                   : S_FALSE;
    }
    void Take(IMediaSample* sample, const AM_SAMPLE2_PROPERTIES& props) override
    {
        SampleRecord r;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const LONG n = sample->GetActualDataLength();
        if (data && n > 0) r.data.assign(data, data + n);
        r.timed = (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) && (props.dwSampleFlags & AM_SAMPLE_STOPVALID);
        r.start = props.tStart;
        r.stop = props.tStop;
        r.sync = (props.dwSampleFlags & AM_SAMPLE_SPLICEPOINT) != 0;
        r.discontinuity = (props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0;
        r.preroll = (props.dwSampleFlags & AM_SAMPLE_PREROLL) != 0;
        r.mediaTimed = sample->GetMediaTime(&r.mediaStart, &r.mediaStop) == S_OK;
        Record("sample", &r);
    }
    STDMETHODIMP EndOfStream() override
    {
        {
            CAutoLock lock(m_pReceiveLock);
            HRESULT hr = CheckStreaming();
            if (hr != S_OK) return hr;
            Record("eos");
        }
        m_sink->EndOfStreamArrived();
        return S_OK;
    }
    STDMETHODIMP BeginFlush() override
    {
        m_sink->FlushArrived();
        HRESULT hr = CBaseInputPin::BeginFlush();
        Record("begin flush");
        return hr;
    }
    STDMETHODIMP EndFlush() override
    {
        HRESULT hr = CBaseInputPin::EndFlush();
        Record("end flush");
        return hr;
    }
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override
    {
        CBaseInputPin::NewSegment(start, stop, rate);
        Record("segment " + std::to_string(start) + " " + std::to_string(stop) + " " + std::to_string(rate));
        return S_OK;
    }

    std::vector<SampleRecord> Samples() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples;
    }
    std::vector<std::string> Notices() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_notices;
    }
    size_t SampleCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples.size();
    }
    // Waits until `what` has been recorded `count` times; false on timeout.
    bool WaitFor(const std::string& what, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] {
            size_t n = 0;
            for (const auto& e : m_notices) n += e == what;
            return n >= count;
        });
    }

private:
    void Record(const std::string& what, SampleRecord* sample = nullptr)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_notices.push_back(what);
            if (sample) m_samples.push_back(std::move(*sample));
        }
        m_cv.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<SampleRecord> m_samples;
    std::vector<std::string> m_notices;
};

class BFormatSink : public test_support::SinkFilterBase {
public:
    BFormatSink() : SinkFilterBase("B-Format sink", kSinkClsid), pin(new BFormatSinkPin(this)) {}
    ~BFormatSink() override { delete pin; }
    CBasePin* GetPin(int n) override { return n == 0 ? pin : nullptr; }

    BFormatSinkPin* const pin;
};

}  // namespace bformat_test
