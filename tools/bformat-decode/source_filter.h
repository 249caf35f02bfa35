// A push source filter for a stream of interleaved audio frames: one output pin that offers
// one media type (an audio type with a wave format block) and delivers the frames from
// threads of its own while the filter is paused or running, then end-of-stream. With two
// delivering threads, one reads the next frames while the other delivers, so reading the file
// and decoding overlap, and each buffer is read and passed on by the same thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/base_filter.h"
#include "framework/output_pin.h"
#include "platform/platform.h"

namespace bformat {

// Where the source filter's frames come from. Read is called on the pin's delivering
// threads, one call at a time, never two at once.
class FrameProvider {
public:
    virtual ~FrameProvider() = default;
    // Up to `maxFrames` whole frames into `buffer`: the frames read, 0 at the end, -1 when
    // reading failed (ErrorText says why).
    virtual int64_t Read(uint8_t* buffer, uint64_t maxFrames) = 0;
    virtual std::string ErrorText() const = 0;
};

// What the source offers: the media subtype and the wave format block (a WAVEFORMATEX,
// usually extensible, whose nBlockAlign and nSamplesPerSec the source uses), how many frames
// go in one media sample, and how many threads deliver them.
struct SourceStream {
    GUID subtype;
    std::vector<uint8_t> formatBlock;
    uint32_t framesPerSample = 8192;
    // 1 or 2.
    unsigned deliveringThreads = 1;
    // Run on a delivering thread after each of its deliveries (a sample, end-of-stream or a
    // failure), once it has handed the turn on; empty: nothing.
    std::function<void()> afterDelivery;
};

class CFrameSourceFilter;

// The output pin and its delivering threads. Each thread in a loop takes an empty buffer
// from the allocator, fills it with the next frames (the reads are taken one at a time, so
// each buffer gets its place in the stream when it is filled), waits until every earlier
// buffer has been delivered, delivers its own (the downstream filters run on this thread), and
// hands the turn on. The end of the frames, or the reading failure, takes its turn the same
// way. The allocator's buffer count bounds the buffers in flight. The threads run from Active
// to Inactive (control thread).
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
    // Starts the delivering threads once the allocator is committed.
    HRESULT Active() override;
    // Stops the threads: decommitting the allocator releases a thread waiting for a buffer,
    // and a thread waiting for its turn sees the stop request; buffers not yet delivered go
    // back to the allocator.
    HRESULT Inactive() override;

private:
    // A filled buffer, or (null sample) the end of the frames: `status` S_OK at the end,
    // a failure when reading failed (`error` says why).
    struct Filled {
        IMediaSample* sample;
        HRESULT status;
        std::string error;
    };

    void Deliverer();
    // Takes a buffer and fills it with the next frames (of `frameBytes` bytes, stamped at
    // `rate` frames a second), or says why there are none; `place` is the fill's place in the
    // stream. False when the pin is stopping.
    bool FillNext(uint16_t frameBytes, uint32_t rate, Filled& filled, uint64_t& place);
    // Waits until every delivery before `place` is done; false when the pin is stopping or the
    // stream has ended.
    bool WaitForTurn(uint64_t place);
    // Delivers `filled`, then hands the turn to `place` + 1; false once the stream has ended
    // (end-of-stream, failure, or the downstream filter wants no more).
    bool DeliverInTurn(uint16_t frameBytes, Filled& filled, uint64_t place);
    void StopThreads();
    void Fail(HRESULT hr, const std::string& text);

    CFrameSourceFilter* const m_pSource;
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};  // written under m_turnLock

    std::mutex m_readLock;          // one fill at a time
    uint64_t m_nextPlace = 0;       // under m_readLock
    uint64_t m_framesRead = 0;      // under m_readLock: for the time stamps
    bool m_readEnded = false;       // under m_readLock: the end or a failure has been read

    std::mutex m_turnLock;
    std::condition_variable m_turnChanged;
    uint64_t m_turn = 0;            // under m_turnLock: the place delivered next
    bool m_streamEnded = false;     // under m_turnLock
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
