// A push source filter for a stream of interleaved audio frames: one output pin that offers
// one media type (an audio type with a wave format block) and delivers the frames from its
// own streaming thread while the filter is paused or running, then end-of-stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/base_filter.h"
#include "framework/output_pin.h"
#include "platform/platform.h"

namespace bformat {

// Where the source filter's frames come from. Read is called on the streaming thread only.
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
};

class CFrameSourceFilter;

class CFrameSourcePin : public CBaseOutputPin {
public:
    CFrameSourcePin(CFrameSourceFilter* filter, CCritSec* lock, HRESULT* phr);
    ~CFrameSourcePin() override;

    // Only the one type of the stream, exactly.
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    // At least 4 buffers of one sample's frames each, or what the downstream pin asks for
    // when it asks for more.
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) override;
    // Starts the streaming thread once the allocator is committed.
    HRESULT Active() override;
    // Stops the streaming thread: decommitting the allocator releases it from a wait for a
    // buffer, and it sees the stop request before it delivers again.
    HRESULT Inactive() override;

private:
    void Stream();
    void Fail(HRESULT hr, const std::string& text);

    CFrameSourceFilter* const m_pSource;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
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
