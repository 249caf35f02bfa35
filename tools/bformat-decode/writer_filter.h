// A renderer filter that hands every audio sample it receives to a sink (a file, for the
// command-line decoder), counts frames, and ends the stream
// with EC_COMPLETE once end-of-stream has arrived and the filter runs.
//
// The sink is written on a thread of the filter's own: Receive queues the sample (keeping a
// reference, so its buffer stays untouched) and returns, and the upstream filter fills its
// next buffer while this one is written. The upstream allocator's buffer count bounds the
// queue. Or, when the filter writes on demand, the queue is written by whichever thread calls
// WriteReceived (the threads that deliver upstream, each after its delivery, so that a sample
// is written by the thread that made it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/base_filter.h"
#include "framework/input_pin.h"
#include "platform/platform.h"
#include "tools/bformat-decode/wave_format.h"

namespace bformat {

// Takes the samples in order, on the streaming thread.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // False, with a one-line reason, when the bytes could not be kept.
    virtual bool Write(const uint8_t* data, size_t bytes, std::string& error) = 0;
};

class CSinkWriterFilter;

class CSinkInputPin : public CBaseInputPin {
public:
    CSinkInputPin(CSinkWriterFilter* filter, CCritSec* lock, HRESULT* phr);
    ~CSinkInputPin() override;

    // Audio in the extensible wave format with the PCM subformat at 16, 24 or 32 bits or the
    // IEEE float subformat at 32 bits, any channel count up to 32, a consistent block size.
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    // A new stream starts: no end-of-stream seen, no EC_COMPLETE sent; the writing thread
    // starts.
    HRESULT Active() override;
    // Drops what is still queued and ends the writing thread once it has finished the sample
    // in hand.
    HRESULT Inactive() override;

    // Checks the sample and queues it for writing; E_FAIL once a write has failed.
    STDMETHODIMP Receive(IMediaSample* pSample) override;
    // Queued behind the samples: EC_COMPLETE follows the last write.
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;

private:
    friend class CSinkWriterFilter;
    void CompleteIfDone();
    void WriteQueued();
    // Writes the queue's entries until it is empty or the pin stops; the caller holds
    // m_writeLock.
    void DrainQueue();
    void Write(IMediaSample* sample);
    void StopThread();
    void DropQueued();

    CSinkWriterFilter* const m_pWriter;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_endOfStreamQueued{false};
    std::atomic<bool> m_endOfStream{false};  // written: every sample before it is in the sink
    std::atomic<bool> m_completed{false};

    std::thread m_thread;
    std::mutex m_queueLock;
    std::condition_variable m_queueChanged;
    std::deque<IMediaSample*> m_queue;  // counted references; null marks end-of-stream
    bool m_stopThread = false;
    std::mutex m_writeLock;  // held while writing on demand
};

// Owns no reference on the sink, which must outlive the filter's streaming.
class CSinkWriterFilter : public CBaseFilter {
public:
    CSinkWriterFilter(SampleSink* sink, HRESULT* phr);
    ~CSinkWriterFilter() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    // The format block of the connection, as the upstream filter proposed it; empty when
    // not connected.
    std::vector<uint8_t> FormatBlock() const;
    uint64_t FramesWritten() const { return m_frames; }
    // Why the stream was aborted, in one line; empty when it was not. Any thread.
    std::string ErrorText() const;
    // True once EC_COMPLETE has been sent for the stream started last.
    bool Completed() const;
    // No writing thread: samples and end-of-stream wait in the queue for WriteReceived. Set
    // while the filter is stopped.
    void SetWritesOnDemand(bool onDemand) { m_writesOnDemand = onDemand; }
    // Writes what is queued, in order, on the calling thread; one caller at a time, the others
    // wait and then write what is left. Any thread, while the filter runs.
    void WriteReceived();

private:
    friend class CSinkInputPin;

    CCritSec m_lock;
    SampleSink* const m_sink;
    CSinkInputPin m_pin;

    // Written on the streaming thread while connected; read by any thread.
    mutable std::mutex m_stateLock;
    std::vector<uint8_t> m_format;
    uint32_t m_frameBytes = 0;
    std::string m_error;
    std::atomic<uint64_t> m_frames{0};
    bool m_writesOnDemand = false;
};

}  // namespace bformat
