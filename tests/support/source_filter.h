// The common half of the test sources: a filter with one output pin that offers one media
// type and streams from a thread of its own while the filter is active. What a stream holds
// is the derived pin's Stream.
#pragma once

#include <atomic>
#include <thread>

#include "framework/base_filter.h"
#include "framework/output_pin.h"
#include "tests/support/one_pin_filter.h"

namespace test_support {

// The thread starts when the pin becomes active and is joined when it becomes inactive;
// Stream runs on it and returns once Stopping() is true or a delivery fails. A derived pin
// calls Join in its destructor, so a thread still running never outlives the members it uses.
class ThreadedSourcePin : public CBaseOutputPin {
public:
    ThreadedSourcePin(const char* name, CBaseFilter* filter, CCritSec* lock, const CMediaType& type, LONG buffers,
                      LONG bufferSize)
        : CBaseOutputPin(name, filter, lock, nullptr, WIDE("Out")),
          m_type(type),
          m_buffers(buffers),
          m_bufferSize(bufferSize)
    {
    }

    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        return IsEqualGUID(mt->majortype, m_type.majortype) && IsEqualGUID(mt->formattype, m_type.formattype)
                   ? S_OK
                   : S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override
    {
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        return mt->Set(m_type);
    }
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override
    {
        ALLOCATOR_PROPERTIES want = {m_buffers, m_bufferSize, request->cbAlign > 0 ? request->cbAlign : 1, 0};
        ALLOCATOR_PROPERTIES got = {};
        HRESULT hr = allocator->SetProperties(&want, &got);
        if (FAILED(hr)) return hr;
        return got.cBuffers >= 1 && got.cbBuffer >= m_bufferSize ? S_OK : E_FAIL;
    }
    HRESULT Active() override
    {
        HRESULT hr = CBaseOutputPin::Active();
        if (FAILED(hr)) return hr;
        m_stop = false;
        m_thread = std::thread([this] { Stream(); });
        return S_OK;
    }
    // Decommitting the allocator wakes a thread that waits for a buffer.
    HRESULT Inactive() override
    {
        m_stop = true;
        WakeStream();
        HRESULT hr = CBaseOutputPin::Inactive();
        Join();
        return hr;
    }

protected:
    virtual void Stream() = 0;
    // Wakes a Stream that waits on something of its own; Stopping() is already true.
    virtual void WakeStream() {}
    bool Stopping() const { return m_stop; }
    void Join()
    {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    const CMediaType m_type;
    const LONG m_buffers;
    const LONG m_bufferSize;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace test_support
