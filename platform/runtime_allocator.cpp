// The standard memory allocator (CLSID_MemoryAllocator) and its media samples.
//
// The allocator hands out a fixed set of equal buffers as media samples. Commit allocates
// them in one block; GetBuffer takes a free one (waiting for one to come back unless told
// not to); a sample goes back to the free list when its last reference is released, and
// holds a reference on the allocator while it is out. Decommit stops GetBuffer at once and
// wakes every caller waiting in it; the memory goes when the last outstanding sample is back.
#include "platform/builtin.h"
#include "platform/runtime.h"
#include "platform/native/fault.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace platform {
namespace {

class MemAllocator;

// The sample flags AM_SAMPLE2_PROPERTIES defines; other bits are reserved and not kept.
constexpr DWORD kKnownSampleFlags = AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_PREROLL | AM_SAMPLE_DATADISCONTINUITY |
                                    AM_SAMPLE_TYPECHANGED | AM_SAMPLE_TIMEVALID | AM_SAMPLE_TIMEDISCONTINUITY |
                                    AM_SAMPLE_FLUSH_ON_PAUSE | AM_SAMPLE_STOPVALID | AM_SAMPLE_ENDOFSTREAM;

// True when a prefix of `size` bytes holds the whole of the field at `offset`.
constexpr bool Covers(DWORD size, size_t offset, size_t fieldSize) { return size >= offset + fieldSize; }
#define SAMPLE_FIELD(name) offsetof(AM_SAMPLE2_PROPERTIES, name), sizeof(AM_SAMPLE2_PROPERTIES::name)

class MediaSample final : public IMediaSample2 {
public:
    MediaSample(MemAllocator* owner, BYTE* buffer, LONG size)
        : m_ref(0), m_owner(owner), m_buffer(buffer), m_size(size), m_actual(size)
    {
    }
    ~MediaSample() { DeleteMediaTypeCopy(m_type); }

    // Called by the allocator, under its lock, when it hands the sample out.
    void HandOut() { m_ref.Set(1); }
    bool IsIdle() const { return m_ref.Get() == 0; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IMediaSample || riid == IID_IMediaSample2) {
            *ppv = static_cast<IMediaSample2*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_ref.IncrementIfLive(); }
    STDMETHODIMP_(ULONG) Release() override;

    // IMediaSample
    STDMETHODIMP GetPointer(BYTE** ppBuffer) override
    {
        if (!ppBuffer) return E_POINTER;
        *ppBuffer = m_buffer;
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return m_size; }

    STDMETHODIMP GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override
    {
        if (!pStart || !pEnd) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        if (!(m_flags & AM_SAMPLE_TIMEVALID)) return VFW_E_SAMPLE_TIME_NOT_SET;
        *pStart = m_start;
        if (m_flags & AM_SAMPLE_STOPVALID) {
            *pEnd = m_stop;
            return S_OK;
        }
        // One tick after the start, wrapping at the end of the range as the platform's
        // 64-bit arithmetic does (a signed overflow would be undefined here).
        *pEnd = static_cast<REFERENCE_TIME>(static_cast<uint64_t>(m_start) + 1);
        return VFW_S_NO_STOP_TIME;
    }

    // Both null clears the times; a start alone is a start without a stop time.
    STDMETHODIMP SetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override
    {
        if (!pStart && pEnd) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        m_flags &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
        if (pStart) {
            m_start = *pStart;
            m_flags |= AM_SAMPLE_TIMEVALID;
            if (pEnd) {
                m_stop = *pEnd;
                m_flags |= AM_SAMPLE_STOPVALID;
            }
        }
        return S_OK;
    }

    STDMETHODIMP IsSyncPoint() override { return TestFlag(AM_SAMPLE_SPLICEPOINT); }
    STDMETHODIMP SetSyncPoint(BOOL value) override { return PutFlag(AM_SAMPLE_SPLICEPOINT, value); }
    STDMETHODIMP IsPreroll() override { return TestFlag(AM_SAMPLE_PREROLL); }
    STDMETHODIMP SetPreroll(BOOL value) override { return PutFlag(AM_SAMPLE_PREROLL, value); }
    STDMETHODIMP IsDiscontinuity() override { return TestFlag(AM_SAMPLE_DATADISCONTINUITY); }
    STDMETHODIMP SetDiscontinuity(BOOL value) override { return PutFlag(AM_SAMPLE_DATADISCONTINUITY, value); }

    STDMETHODIMP_(LONG) GetActualDataLength() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_actual;
    }
    STDMETHODIMP SetActualDataLength(LONG length) override
    {
        if (length < 0) return E_INVALIDARG;
        if (length > m_size) return VFW_E_BUFFER_OVERFLOW;
        std::lock_guard<std::mutex> lock(m_lock);
        m_actual = length;
        return S_OK;
    }

    // Hands out a task-memory copy the caller frees (format block, then the record).
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppType) override
    {
        if (!ppType) return E_POINTER;
        *ppType = nullptr;
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_type) return S_FALSE;
        AM_MEDIA_TYPE* copy = CreateMediaTypeCopy(*m_type);
        if (!copy) return E_OUTOFMEMORY;
        *ppType = copy;
        return S_OK;
    }

    // A type marks a format change carried by this sample; null takes the mark away.
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* pType) override
    {
        AM_MEDIA_TYPE* copy = nullptr;
        if (pType) {
            if (pType->cbFormat != 0 && !pType->pbFormat) return E_INVALIDARG;
            copy = CreateMediaTypeCopy(*pType);
            if (!copy) return E_OUTOFMEMORY;
        }
        AM_MEDIA_TYPE* old;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            old = m_type;
            m_type = copy;
            if (copy) m_flags |= AM_SAMPLE_TYPECHANGED;
            else m_flags &= ~AM_SAMPLE_TYPECHANGED;
        }
        DeleteMediaTypeCopy(old);
        return S_OK;
    }

    STDMETHODIMP GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override
    {
        if (!pStart || !pEnd) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_mediaTimeValid) return VFW_E_MEDIA_TIME_NOT_SET;
        *pStart = m_mediaStart;
        *pEnd = m_mediaStop;
        return S_OK;
    }

    // Both null clears the media times; otherwise both are needed.
    STDMETHODIMP SetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override
    {
        if (!pStart != !pEnd) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        m_mediaTimeValid = pStart != nullptr;
        if (pStart) {
            m_mediaStart = *pStart;
            m_mediaStop = *pEnd;
        }
        return S_OK;
    }

    // IMediaSample2: the properties record, or any prefix of it.
    STDMETHODIMP GetProperties(DWORD cbProperties, BYTE* pbProperties) override
    {
        if (cbProperties == 0) return S_OK;
        if (!pbProperties) return E_POINTER;
        AM_SAMPLE2_PROPERTIES props;
        std::memset(&props, 0, sizeof props);
        const DWORD size = cbProperties < sizeof props ? cbProperties : static_cast<DWORD>(sizeof props);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            props.cbData = size;
            props.dwTypeSpecificFlags = m_typeSpecificFlags;
            props.dwSampleFlags = m_flags;
            props.lActual = m_actual;
            props.tStart = m_start;
            props.tStop = m_stop;
            props.dwStreamId = m_streamId;
            props.pMediaType = m_type;
        }
        props.pbBuffer = m_buffer;
        props.cbBuffer = m_size;
        std::memcpy(pbProperties, &props, size);
        return S_OK;
    }

    // Applies the fields the prefix holds whole. Nothing changes unless every field is valid:
    // the buffer and its size cannot be changed, the data length must fit the buffer, and a
    // type-change flag needs a media type.
    STDMETHODIMP SetProperties(DWORD cbProperties, const BYTE* pbProperties) override
    {
        if (cbProperties == 0) return S_OK;
        if (!pbProperties) return E_POINTER;
        if (cbProperties > sizeof(AM_SAMPLE2_PROPERTIES)) return E_INVALIDARG;
        AM_SAMPLE2_PROPERTIES in;
        std::memset(&in, 0, sizeof in);
        std::memcpy(&in, pbProperties, cbProperties);
        const DWORD cb = cbProperties;

        if (Covers(cb, SAMPLE_FIELD(lActual)) && (in.lActual < 0 || in.lActual > m_size)) return E_INVALIDARG;
        if (Covers(cb, SAMPLE_FIELD(pbBuffer)) && in.pbBuffer != m_buffer) return E_INVALIDARG;
        if (Covers(cb, SAMPLE_FIELD(cbBuffer)) && in.cbBuffer != m_size) return E_INVALIDARG;
        const bool flagsGiven = Covers(cb, SAMPLE_FIELD(dwSampleFlags));
        const bool typeGiven = Covers(cb, SAMPLE_FIELD(pMediaType));
        const DWORD flags = in.dwSampleFlags & kKnownSampleFlags;

        AM_MEDIA_TYPE* newType = nullptr;
        if (typeGiven && flagsGiven && (flags & AM_SAMPLE_TYPECHANGED)) {
            if (!in.pMediaType) return E_INVALIDARG;
            if (in.pMediaType->cbFormat != 0 && !in.pMediaType->pbFormat) return E_INVALIDARG;
            newType = CreateMediaTypeCopy(*in.pMediaType);
            if (!newType) return E_OUTOFMEMORY;
        }

        AM_MEDIA_TYPE* dropped = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (flagsGiven && (flags & AM_SAMPLE_TYPECHANGED) && !typeGiven && !m_type) return E_INVALIDARG;
            if (Covers(cb, SAMPLE_FIELD(dwTypeSpecificFlags))) m_typeSpecificFlags = in.dwTypeSpecificFlags;
            if (flagsGiven) {
                m_flags = flags;
                if (newType || !(flags & AM_SAMPLE_TYPECHANGED)) {
                    dropped = m_type;
                    m_type = newType;
                }
            }
            if (Covers(cb, SAMPLE_FIELD(lActual))) m_actual = in.lActual;
            if (Covers(cb, SAMPLE_FIELD(tStart))) m_start = in.tStart;
            if (Covers(cb, SAMPLE_FIELD(tStop))) m_stop = in.tStop;
            if (Covers(cb, SAMPLE_FIELD(dwStreamId))) m_streamId = in.dwStreamId;
        }
        DeleteMediaTypeCopy(dropped);
        return S_OK;
    }

private:
    HRESULT TestFlag(DWORD flag)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return (m_flags & flag) ? S_OK : S_FALSE;
    }
    HRESULT PutFlag(DWORD flag, BOOL value)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (value) m_flags |= flag;
        else m_flags &= ~flag;
        return S_OK;
    }
    // Back to a plain sample, its data length the whole buffer, before the sample returns to
    // the free list.
    void Reset()
    {
        AM_MEDIA_TYPE* old;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            old = m_type;
            m_type = nullptr;
            m_flags = 0;
            m_typeSpecificFlags = 0;
            m_streamId = AM_STREAM_MEDIA;
            m_actual = m_size;
            m_start = m_stop = 0;
            m_mediaTimeValid = false;
            m_mediaStart = m_mediaStop = 0;
        }
        DeleteMediaTypeCopy(old);
    }

    RefCount m_ref;
    MemAllocator* const m_owner;  // counted only while the sample is out
    BYTE* const m_buffer;
    const LONG m_size;

    std::mutex m_lock;
    DWORD m_flags = 0;
    DWORD m_typeSpecificFlags = 0;
    DWORD m_streamId = AM_STREAM_MEDIA;
    LONG m_actual;
    REFERENCE_TIME m_start = 0;
    REFERENCE_TIME m_stop = 0;
    bool m_mediaTimeValid = false;
    LONGLONG m_mediaStart = 0;
    LONGLONG m_mediaStop = 0;
    AM_MEDIA_TYPE* m_type = nullptr;  // task-memory copy, present while TYPECHANGED is set
};

class MemAllocator final : public SingleInterfaceObject<IMemAllocator, &IID_IMemAllocator> {
public:
    MemAllocator() { std::memset(&m_props, 0, sizeof m_props); }
    ~MemAllocator() { FreeBuffers(); }

    // IMemAllocator
    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override
    {
        if (!pRequest || !pActual) return E_POINTER;
        const ALLOCATOR_PROPERTIES request = *pRequest;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_committed) return VFW_E_ALREADY_COMMITTED;
        if (m_outstanding != 0) return VFW_E_BUFFERS_OUTSTANDING;
        if (request.cbAlign <= 0 || (request.cbAlign & (request.cbAlign - 1)) != 0) return VFW_E_BADALIGN;
        if (request.cBuffers < 0 || request.cbBuffer < 0 || request.cbPrefix < 0) return E_INVALIDARG;
        m_props = request;
        m_propsSet = true;
        *pActual = m_props;
        return S_OK;
    }

    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* pProps) override
    {
        if (!pProps) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        *pProps = m_props;
        return S_OK;
    }

    STDMETHODIMP Commit() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_committed) return S_OK;
        if (!m_propsSet || m_props.cBuffers <= 0 || m_props.cbBuffer <= 0) return VFW_E_SIZENOTSET;
        // Buffers still out from before a Decommit are reused as they are.
        if (!m_memory) {
            HRESULT hr = AllocateBuffers();
            if (FAILED(hr)) return hr;
        }
        m_committed = true;
        return S_OK;
    }

    STDMETHODIMP Decommit() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_committed) return S_OK;
        m_committed = false;
        if (m_outstanding == 0) FreeBuffers();
        m_bufferFreed.notify_all();
        return S_OK;
    }

    STDMETHODIMP GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME*, REFERENCE_TIME*, DWORD dwFlags) override
    {
        if (!ppBuffer) return E_POINTER;
        *ppBuffer = nullptr;
        if (PlatformFaultNext(PLATFORM_FAULT_ALLOCATOR_BUFFER)) return E_OUTOFMEMORY;
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            if (!m_committed) return VFW_E_NOT_COMMITTED;
            if (!m_free.empty()) break;
            if (dwFlags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
            m_bufferFreed.wait(lock);
        }
        MediaSample* sample = m_free.back();
        m_free.pop_back();
        ++m_outstanding;
        m_ref.Increment();  // the sample's hold on the allocator while it is out
        sample->HandOut();
        *ppBuffer = sample;
        return S_OK;
    }

    // Takes back a sample of ours whose last reference is gone (samples call this themselves).
    STDMETHODIMP ReleaseBuffer(IMediaSample* pBuffer) override
    {
        if (!pBuffer) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        MediaSample* sample = nullptr;
        for (MediaSample* candidate : m_samples)
            if (static_cast<IMediaSample*>(candidate) == pBuffer) sample = candidate;
        if (!sample || !sample->IsIdle()) return E_INVALIDARG;
        for (MediaSample* idle : m_free)
            if (idle == sample) return E_INVALIDARG;
        m_free.push_back(sample);  // capacity reserved for every sample at commit
        --m_outstanding;
        if (!m_committed && m_outstanding == 0) FreeBuffers();
        else m_bufferFreed.notify_one();
        return S_OK;
    }

private:
    // Lays the buffers out in one block: each prefix starts on the alignment, the data
    // follows its prefix. Called under the lock.
    HRESULT AllocateBuffers()
    {
        const uint64_t align = static_cast<uint64_t>(m_props.cbAlign);
        const uint64_t span = static_cast<uint64_t>(m_props.cbPrefix) + static_cast<uint64_t>(m_props.cbBuffer);
        const uint64_t stride = (span + align - 1) / align * align;
        const uint64_t count = static_cast<uint64_t>(m_props.cBuffers);
        if (stride != 0 && count > (UINT64_MAX - align) / stride) return E_OUTOFMEMORY;
        const uint64_t total = stride * count + align;
        if (total > SIZE_MAX) return E_OUTOFMEMORY;
        void* memory = std::malloc(static_cast<size_t>(total));
        if (!memory) return E_OUTOFMEMORY;

        const uintptr_t base = (reinterpret_cast<uintptr_t>(memory) + align - 1) / align * align;
        try {
            m_samples.reserve(static_cast<size_t>(count));
            m_free.reserve(static_cast<size_t>(count));
        } catch (const std::bad_alloc&) {
            std::free(memory);
            return E_OUTOFMEMORY;
        }
        for (uint64_t i = 0; i < count; ++i) {
            BYTE* data = reinterpret_cast<BYTE*>(base + i * stride + static_cast<uint64_t>(m_props.cbPrefix));
            MediaSample* sample = new (std::nothrow) MediaSample(this, data, m_props.cbBuffer);
            if (!sample) {
                m_memory = memory;
                FreeBuffers();
                return E_OUTOFMEMORY;
            }
            m_samples.push_back(sample);
            m_free.push_back(sample);
        }
        m_memory = memory;
        return S_OK;
    }

    // Called under the lock, with every sample back on the free list.
    void FreeBuffers()
    {
        for (MediaSample* sample : m_samples) delete sample;
        m_samples.clear();
        m_free.clear();
        std::free(m_memory);
        m_memory = nullptr;
    }

    std::mutex m_lock;
    std::condition_variable m_bufferFreed;
    ALLOCATOR_PROPERTIES m_props;
    bool m_propsSet = false;
    bool m_committed = false;
    void* m_memory = nullptr;
    std::vector<MediaSample*> m_samples;  // every sample over the current memory
    std::vector<MediaSample*> m_free;
    LONG m_outstanding = 0;
};

ULONG MediaSample::Release()
{
    return m_ref.Release([this] {
        // The allocator may go with its last reference, and this sample with it: touch
        // nothing of the sample after handing it back.
        MemAllocator* owner = m_owner;
        Reset();
        owner->ReleaseBuffer(this);
        owner->Release();
    });
}

const BuiltinClass registration(CLSID_MemoryAllocator, CreateUnaggregated<MemAllocator>);

}  // namespace
}  // namespace platform
