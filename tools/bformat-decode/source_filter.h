// A push source filter for a stream of interleaved audio frames: one output pin that offers
// one media type (an audio type with a wave format block) and delivers the frames from its
// own streaming thread while the filter is paused or running, then end-of-stream. A second
// thread of the pin reads ahead: it fills the allocator's buffers from the provider while the
// streaming thread is busy downstream, so reading the file and decoding overlap.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/base_filter.h"
#include "framework/output_pin.h"
#include "platform/platform.h"

namespace bformat {

// Where the source filter's frames come from. Read is called on the pin's reading thread
// only, one call at a time.
class FrameProvider {
public:
    virtual ~FrameProvider() = default;
    // Up to `maxFrames` whole frames into `buffer`: the frames read, 0 at the end, -1 when
    // reading failed (ErrorText says why).
    virtual int64_t Read(uint8_t* buffer, uint64_t maxFrames) = 0;
    virtual std::string ErrorText() const = 0;
};

// What the source offers: the media subtype and the wave format block (a WAVEFORMATEX,
// usually extensible, whose nBlockAlign and nSamplesPerSec the source uses), and how many
// frames go in one media sample.
struct SourceStream {
    GUID subtype;
    std::vector<uint8_t> formatBlock;
    uint32_t framesPerSample = 8192;
    // Run first on the streaming thread (which runs the downstream filters) and on the
    // reading thread each time they start; empty: nothing.
    std::function<void()> onStreamingThreadStart;
    std::function<void()> onReadingThreadStart;
};

class CFrameSourceFilter;

// The output pin and its two threads. The reading thread takes empty buffers from the
// allocator, fills and stamps them and queues them; the streaming thread delivers the queue
// in order, then end-of-stream or the reading failure. The allocator's buffer count bounds
// the queue. Once every buffer but the one downstream is queued, the reading thread sleeps
// until the queue has drained to half, then fills several in a row: one wake-up per few
// samples rather than one per sample. Both threads run from Active to Inactive (control
// thread).
class CFrameSourcePin : public CBaseOutputPin {
public:
    CFrameSourcePin(CFrameSourceFilter* filter, CCritSec* lock, HRESULT* phr);
    ~CFrameSourcePin() override;

    // Only the one type of the stream, exactly.
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    // At least 6 buffers of one sample's frames each, or what the downstream pin asks for
    // when it asks for more.
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) override;
    // Starts the reading and streaming threads once the allocator is committed.
    HRESULT Active() override;
    // Stops both threads: decommitting the allocator releases the reading thread from a wait
    // for a buffer, the streaming thread sees the stop request before it delivers again, and
    // buffers still queued go back to the allocator.
    HRESULT Inactive() override;

private:
    // A filled buffer, or (null sample) the end of the frames: `status` S_OK at the end,
    // a failure when reading failed (`error` says why).
    struct Filled {
        IMediaSample* sample;
        HRESULT status;
        std::string error;
    };

    void ReadAhead();
    void Stream();
    // Queues `filled`; false (and nothing queued) when the pin is stopping or out of memory.
    bool Queue(Filled&& filled);
    void StopThreads();
    void Fail(HRESULT hr, const std::string& text);

    CFrameSourceFilter* const m_pSource;
    std::thread m_reader;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};

    long m_buffers = 0;  // the allocator's buffer count, set on connection

    std::mutex m_queueLock;
    std::condition_variable m_queueFilled;   // the streaming thread waits for an entry
    std::condition_variable m_queueDrained;  // the reading thread waits for room
    std::deque<Filled> m_queue;              // each sample with one reference
    bool m_stopQueue = false;                // under m_queueLock: both threads leave
};

// Owns no reference on the provider, which must outlive the filter's streaming.
class CFrameSourceFilter : public CBaseFilter {
public:
    // Created with a reference count of 0, as every COM object here.
    CFrameSourceFilter(const SourceStream& stream, FrameProvider* provider, HRESULT* phr);
    ~CFrameSourceFilter() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;

    // The media type of the stream, as the pin offers it.
    HRESULT StreamMediaType(CMediaType* pmt) const;

    // After a run ends with EC_ERRORABORT from this filter: why, in one line. Any thread.
    std::string ErrorText() const;
    uint64_t FramesDelivered() const { return m_framesDelivered; }

private:
    friend class CFrameSourcePin;

    CCritSec m_lock;
    SourceStream m_stream;
    FrameProvider* const m_provider;
    CFrameSourcePin m_pin;
    std::atomic<uint64_t> m_framesDelivered{0};
    mutable std::mutex m_errorLock;
    std::string m_error;
};

}  // namespace bformat
