#include "tools/bformat-decode/writer_filter.h"

#include <cstring>

namespace bformat {

namespace {

// {5B5E2C75-DA95-4323-B150-52E38F218B8C}
const CLSID CLSID_SinkWriter = {0x5b5e2c75, 0xda95, 0x4323, {0xb1, 0x50, 0x52, 0xe3, 0x8f, 0x21, 0x8b, 0x8c}};

// The fields of an acceptable format block; false for anything the writer refuses.
bool WritableFormat(const AM_MEDIA_TYPE* pmt, WaveFormat& format)
{
    if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Audio) || !IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx) ||
        !pmt->pbFormat || !ReadWaveFormat(pmt->pbFormat, pmt->cbFormat, format) ||
        format.formatTag != kFormatExtensible || format.cbSize < kExtensibleSize - 18 ||
        pmt->cbFormat < 18u + format.cbSize)
        return false;
    if (format.subFormat != kSubtypePcm && format.subFormat != kSubtypeFloat) return false;
    const decoder::SampleFormat type = SampleFormatOf(format);
    return type != decoder::SampleFormat::None && format.channels >= 1 && format.channels <= 32 &&
           format.sampleRate > 0 && format.blockAlign == format.channels * decoder::BytesPerSample(type);
}

}  // namespace

// ---- the pin ----------------------------------------------------------------------------

CSinkInputPin::CSinkInputPin(CSinkWriterFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin("sink writer input", filter, lock, phr, WIDE("Input")), m_pWriter(filter)
{
}

HRESULT CSinkInputPin::CheckMediaType(const CMediaType* pmt)
{
    if (!pmt) return E_POINTER;
    WaveFormat format;
    return WritableFormat(pmt, format) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CSinkInputPin::SetMediaType(const CMediaType* pmt)
{
    WaveFormat format;
    if (!pmt || !WritableFormat(pmt, format)) return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = CBaseInputPin::SetMediaType(pmt);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(m_pWriter->m_stateLock);
    try {
        m_pWriter->m_format.assign(pmt->pbFormat, pmt->pbFormat + 18 + format.cbSize);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_pWriter->m_frameBytes = format.blockAlign;
    return S_OK;
}

CSinkInputPin::~CSinkInputPin()
{
    StopThread();
}

HRESULT CSinkInputPin::Run(REFERENCE_TIME tStart)
{
    HRESULT hr = CBaseInputPin::Run(tStart);
    m_running = true;
    CompleteIfDone();
    return hr;
}

HRESULT CSinkInputPin::Active()
{
    StopThread();
    m_endOfStreamQueued = false;
    m_endOfStream = false;
    m_completed = false;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stopThread = false;
    }
    if (!m_pWriter->m_writesOnDemand) {
        try {
            m_thread = std::thread([this] { WriteQueued(); });
        } catch (const std::exception&) {
            return E_OUTOFMEMORY;
        }
    }
    return CBaseInputPin::Active();
}

HRESULT CSinkInputPin::Inactive()
{
    m_running = false;
    StopThread();
    return CBaseInputPin::Inactive();
}

void CSinkInputPin::StopThread()
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stopThread = true;
    }
    m_queueChanged.notify_all();
    if (m_thread.joinable()) m_thread.join();
    DropQueued();
}

void CSinkInputPin::DropQueued()
{
    std::deque<IMediaSample*> dropped;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        dropped.swap(m_queue);
    }
    for (IMediaSample* sample : dropped) {
        if (sample) sample->Release();
    }
}

STDMETHODIMP CSinkInputPin::Receive(IMediaSample* pSample)
{
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr != S_OK) return hr;
    if (m_endOfStreamQueued) return VFW_E_SAMPLE_REJECTED_EOS;

    const long length = pSample->GetActualDataLength();
    std::string error;
    {
        std::lock_guard<std::mutex> lock(m_pWriter->m_stateLock);
        if (!m_pWriter->m_error.empty()) return E_FAIL;
        if (length < 0 || m_pWriter->m_frameBytes == 0 || length % m_pWriter->m_frameBytes != 0) {
            error = m_pWriter->m_error = "the decoder delivered a partial frame";
        }
    }
    if (!error.empty()) {
        m_pWriter->NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
        return E_FAIL;
    }
    pSample->AddRef();
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        try {
            m_queue.push_back(pSample);
        } catch (const std::bad_alloc&) {
            pSample->Release();
            return E_OUTOFMEMORY;
        }
    }
    m_queueChanged.notify_one();
    return S_OK;
}

STDMETHODIMP CSinkInputPin::EndOfStream()
{
    HRESULT hr = CheckStreaming();
    if (hr != S_OK) return hr;
    if (m_endOfStreamQueued.exchange(true)) return S_OK;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        try {
            m_queue.push_back(nullptr);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    m_queueChanged.notify_one();
    return S_OK;
}

STDMETHODIMP CSinkInputPin::BeginFlush()
{
    HRESULT hr = CBaseInputPin::BeginFlush();
    DropQueued();
    return hr;
}

STDMETHODIMP CSinkInputPin::EndFlush()
{
    m_endOfStreamQueued = false;
    m_endOfStream = false;
    m_completed = false;
    return CBaseInputPin::EndFlush();
}

// The writing thread: samples in the order they came, then end-of-stream.
void CSinkInputPin::WriteQueued()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_queueLock);
            m_queueChanged.wait(lock, [this] { return m_stopThread || !m_queue.empty(); });
            if (m_stopThread) return;
        }
        DrainQueue();
    }
}

void CSinkInputPin::DrainQueue()
{
    for (;;) {
        IMediaSample* sample = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_queueLock);
            if (m_stopThread || m_queue.empty()) return;
            sample = m_queue.front();
            m_queue.pop_front();
        }
        if (sample) {
            Write(sample);
            sample->Release();
        } else {
            m_endOfStream = true;
            CompleteIfDone();
        }
    }
}

// The sink is written outside the state lock, so that Receive, which takes it, never waits
// for the disk; one thread writes at a time (the writing thread, or the caller holding
// m_writeLock).
void CSinkInputPin::Write(IMediaSample* sample)
{
    BYTE* data = nullptr;
    const long length = sample->GetActualDataLength();
    const HRESULT hr = sample->GetPointer(&data);
    uint32_t frameBytes = 0;
    {
        std::lock_guard<std::mutex> lock(m_pWriter->m_stateLock);
        if (!m_pWriter->m_error.empty()) return;
        frameBytes = m_pWriter->m_frameBytes;
    }
    std::string error;
    if (FAILED(hr) || (!data && length > 0)) {
        error = "the decoder delivered a sample without data";
    } else if (length > 0 && m_pWriter->m_sink->Write(data, static_cast<size_t>(length), error)) {
        m_pWriter->m_frames += static_cast<uint64_t>(length) / frameBytes;
    }
    if (error.empty()) return;
    {
        std::lock_guard<std::mutex> lock(m_pWriter->m_stateLock);
        if (m_pWriter->m_error.empty()) m_pWriter->m_error = error;
    }
    m_pWriter->NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
}

// EC_COMPLETE goes out once, when end-of-stream has come and the filter runs, whichever of
// the two happens last: a renderer that completes while merely paused would end the run
// before it started.
void CSinkInputPin::CompleteIfDone()
{
    if (!m_endOfStream || !m_running) return;
    // A failed write has aborted the stream already.
    if (!m_pWriter->ErrorText().empty()) return;
    if (!m_completed.exchange(true)) m_pWriter->NotifyEvent(EC_COMPLETE, S_OK, 0);
}

// ---- the filter -------------------------------------------------------------------------

CSinkWriterFilter::CSinkWriterFilter(SampleSink* sink, HRESULT* phr)
    : CBaseFilter("sink writer", nullptr, &m_lock, CLSID_SinkWriter), m_sink(sink), m_pin(this, &m_lock, phr)
{
}

CSinkWriterFilter::~CSinkWriterFilter() = default;

CBasePin* CSinkWriterFilter::GetPin(int n)
{
    return n == 0 ? &m_pin : nullptr;
}

std::vector<uint8_t> CSinkWriterFilter::FormatBlock() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_format;
}

std::string CSinkWriterFilter::ErrorText() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_error;
}

void CSinkWriterFilter::WriteReceived()
{
    std::lock_guard<std::mutex> writing(m_pin.m_writeLock);
    m_pin.DrainQueue();
}

bool CSinkWriterFilter::Completed() const
{
    return m_pin.m_completed;
}

}  // namespace bformat
