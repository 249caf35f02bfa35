#include "tools/bformat-decode/source_filter.h"

#include <cstring>

namespace bformat {

namespace {

// {471B1884-8166-48F4-BB82-C3EF8FB6999F}
const CLSID CLSID_FrameSource = {0x471b1884, 0x8166, 0x48f4, {0xbb, 0x82, 0xc3, 0xef, 0x8f, 0xb6, 0x99, 0x9f}};

constexpr long kMinBuffers = 6;
// The stop time of a segment that lasts until end-of-stream.
constexpr REFERENCE_TIME kOpenEnded = 0x7FFFFFFFFFFFFFFF;

uint16_t BlockAlignOf(const std::vector<uint8_t>& block)
{
    return block.size() >= 14 ? static_cast<uint16_t>(block[12] | (block[13] << 8)) : 0;
}

uint32_t RateOf(const std::vector<uint8_t>& block)
{
    return block.size() >= 8 ? (uint32_t{block[4]} | (uint32_t{block[5]} << 8) | (uint32_t{block[6]} << 16) |
                                (uint32_t{block[7]} << 24))
                             : 0;
}

}  // namespace

// ---- the pin ----------------------------------------------------------------------------

CFrameSourcePin::CFrameSourcePin(CFrameSourceFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseOutputPin("frame source output", filter, lock, phr, WIDE("Output")), m_pSource(filter)
{
}

CFrameSourcePin::~CFrameSourcePin()
{
    // The filter is normally stopped first; if not, release the threads from any wait.
    StopThreads();
}

HRESULT CFrameSourcePin::CheckMediaType(const CMediaType* pmt)
{
    if (!pmt) return E_POINTER;
    CMediaType mine;
    HRESULT hr = m_pSource->StreamMediaType(&mine);
    if (FAILED(hr)) return hr;
    const bool same = IsEqualGUID(pmt->majortype, mine.majortype) && IsEqualGUID(pmt->subtype, mine.subtype) &&
                      IsEqualGUID(pmt->formattype, mine.formattype) && pmt->cbFormat == mine.cbFormat &&
                      pmt->pbFormat && std::memcmp(pmt->pbFormat, mine.pbFormat, mine.cbFormat) == 0;
    return same ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CFrameSourcePin::GetMediaType(int iPosition, CMediaType* pMediaType)
{
    if (!pMediaType) return E_POINTER;
    if (iPosition < 0) return E_INVALIDARG;
    if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;
    return m_pSource->StreamMediaType(pMediaType);
}

HRESULT CFrameSourcePin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest)
{
    if (!pAlloc || !pRequest) return E_POINTER;
    const uint16_t frameBytes = BlockAlignOf(m_pSource->m_stream.formatBlock);
    if (frameBytes == 0) return VFW_E_TYPE_NOT_ACCEPTED;
    const long bytes = static_cast<long>(m_pSource->m_stream.framesPerSample) * frameBytes;
    if (pRequest->cBuffers < kMinBuffers) pRequest->cBuffers = kMinBuffers;
    if (pRequest->cbBuffer < bytes) pRequest->cbBuffer = bytes;
    if (pRequest->cbAlign < 1) pRequest->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual;
    HRESULT hr = pAlloc->SetProperties(pRequest, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cBuffers < pRequest->cBuffers || actual.cbBuffer < pRequest->cbBuffer) return E_FAIL;
    m_buffers = actual.cBuffers;
    return S_OK;
}

HRESULT CFrameSourcePin::Active()
{
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr)) return hr;
    StopThreads();
    m_stop = false;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stopQueue = false;
    }
    try {
        m_reader = std::thread([this] { ReadAhead(); });
        m_thread = std::thread([this] { Stream(); });
    } catch (const std::exception&) {
        StopThreads();
        CBaseOutputPin::Inactive();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CFrameSourcePin::Inactive()
{
    StopThreads();
    return CBaseOutputPin::Inactive();
}

void CFrameSourcePin::StopThreads()
{
    m_stop = true;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_stopQueue = true;
    }
    m_queueFilled.notify_all();
    m_queueDrained.notify_all();
    // A decommitted allocator releases the reading thread from its wait for a buffer; the
    // base class's Inactive decommits it again, harmlessly.
    if (m_reader.joinable() && m_pAllocator) m_pAllocator->Decommit();
    if (m_reader.joinable()) m_reader.join();
    if (m_thread.joinable()) m_thread.join();
    std::deque<Filled> left;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        left.swap(m_queue);
    }
    for (Filled& filled : left) {
        if (filled.sample) filled.sample->Release();
    }
}

void CFrameSourcePin::Fail(HRESULT hr, const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(m_pSource->m_errorLock);
        if (m_pSource->m_error.empty()) m_pSource->m_error = text;
    }
    m_pSource->NotifyEvent(EC_ERRORABORT, hr, 0);
}

bool CFrameSourcePin::Queue(Filled&& filled)
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        if (m_stopQueue) return false;
        try {
            m_queue.push_back(std::move(filled));
        } catch (const std::bad_alloc&) {
            // The streaming thread waits on: the abort stops the graph, which releases it.
            Fail(E_OUTOFMEMORY, "out of memory");
            return false;
        }
    }
    m_queueFilled.notify_one();
    return true;
}

// The reading thread: fill a buffer from the provider, stamp it with its stream time and
// queue it, until the provider runs dry or fails (both queued as the last entry) or the
// filter stops.
void CFrameSourcePin::ReadAhead()
{
    if (m_pSource->m_stream.onReadingThreadStart) m_pSource->m_stream.onReadingThreadStart();
    const SourceStream& stream = m_pSource->m_stream;
    const uint16_t frameBytes = BlockAlignOf(stream.formatBlock);
    const uint32_t rate = RateOf(stream.formatBlock);
    uint64_t position = 0;
    bool first = true;

    // Sleeps when all buffers but one are queued, until no more than this many are.
    const size_t refillMark = static_cast<size_t>(m_buffers / 2 - 1);
    while (!m_stop) {
        {
            std::unique_lock<std::mutex> lock(m_queueLock);
            if (m_queue.size() + 1 >= static_cast<size_t>(m_buffers)) {
                m_queueDrained.wait(lock, [&] { return m_stopQueue || m_queue.size() <= refillMark; });
            }
            if (m_stopQueue) return;
        }
        IMediaSample* sample = nullptr;
        HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
        if (FAILED(hr) || !sample) {
            // A decommitted allocator is how a stop reaches this thread.
            if (!m_stop) Queue({nullptr, FAILED(hr) ? hr : E_POINTER, "no buffer to read the audio into"});
            return;
        }
        BYTE* buffer = nullptr;
        const long size = sample->GetSize();
        if (FAILED(sample->GetPointer(&buffer)) || !buffer || size < frameBytes) {
            sample->Release();
            Queue({nullptr, E_UNEXPECTED, "the buffer for the audio is unusable"});
            return;
        }
        const int64_t frames = m_pSource->m_provider->Read(buffer, static_cast<uint64_t>(size) / frameBytes);
        if (frames <= 0) {
            sample->Release();
            if (frames < 0) Queue({nullptr, E_FAIL, m_pSource->m_provider->ErrorText()});
            else Queue({nullptr, S_OK, std::string()});
            return;
        }
        REFERENCE_TIME start = static_cast<REFERENCE_TIME>(position * 10000000ull / rate);
        position += static_cast<uint64_t>(frames);
        REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(position * 10000000ull / rate);
        sample->SetActualDataLength(static_cast<long>(frames * frameBytes));
        sample->SetTime(&start, &stop);
        sample->SetSyncPoint(TRUE);
        sample->SetDiscontinuity(first ? TRUE : FALSE);
        first = false;
        if (!Queue({sample, S_OK, std::string()})) {
            sample->Release();
            return;
        }
    }
}

// The streaming thread: pass the queued buffers on in order, then end-of-stream or the
// reading failure (the graph hears of it), until the downstream filter refuses more or the
// filter stops.
void CFrameSourcePin::Stream()
{
    if (m_pSource->m_stream.onStreamingThreadStart) m_pSource->m_stream.onStreamingThreadStart();
    const uint16_t frameBytes = BlockAlignOf(m_pSource->m_stream.formatBlock);
    const size_t refillMark = static_cast<size_t>(m_buffers / 2 - 1);
    DeliverNewSegment(0, kOpenEnded, 1.0);
    for (;;) {
        Filled next{nullptr, S_OK, std::string()};
        bool refill = false;
        {
            std::unique_lock<std::mutex> lock(m_queueLock);
            m_queueFilled.wait(lock, [this] { return m_stopQueue || !m_queue.empty(); });
            if (m_stopQueue) return;
            next = std::move(m_queue.front());
            m_queue.pop_front();
            refill = m_queue.size() == refillMark;
        }
        if (refill) m_queueDrained.notify_one();
        if (!next.sample) {
            if (FAILED(next.status)) Fail(next.status, next.error);
            else DeliverEndOfStream();
            return;
        }
        const long length = next.sample->GetActualDataLength();
        const HRESULT hr = Deliver(next.sample);
        next.sample->Release();
        if (hr != S_OK) {
            // S_FALSE: the downstream filter wants no more (it is flushing or has ended the
            // stream itself). A failure has been reported downstream unless we are stopping.
            if (FAILED(hr) && !m_stop) Fail(hr, "the decoder refused the audio");
            return;
        }
        m_pSource->m_framesDelivered += static_cast<uint64_t>(length) / frameBytes;
    }
}

// ---- the filter -------------------------------------------------------------------------

CFrameSourceFilter::CFrameSourceFilter(const SourceStream& stream, FrameProvider* provider, HRESULT* phr)
    : CBaseFilter("frame source", nullptr, &m_lock, CLSID_FrameSource),
      m_stream(stream),
      m_provider(provider),
      m_pin(this, &m_lock, phr)
{
}

CFrameSourceFilter::~CFrameSourceFilter() = default;

CBasePin* CFrameSourceFilter::GetPin(int n)
{
    return n == 0 ? &m_pin : nullptr;
}

HRESULT CFrameSourceFilter::StreamMediaType(CMediaType* pmt) const
{
    if (!pmt) return E_POINTER;
    FreeMediaType(*pmt);
    pmt->InitMediaType();
    pmt->majortype = MEDIATYPE_Audio;
    pmt->subtype = m_stream.subtype;
    pmt->formattype = FORMAT_WaveFormatEx;
    pmt->bFixedSizeSamples = TRUE;
    pmt->bTemporalCompression = FALSE;
    pmt->lSampleSize = BlockAlignOf(m_stream.formatBlock);
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(m_stream.formatBlock.size()));
    if (!block) return E_OUTOFMEMORY;
    std::memcpy(block, m_stream.formatBlock.data(), m_stream.formatBlock.size());
    pmt->pbFormat = block;
    pmt->cbFormat = static_cast<ULONG>(m_stream.formatBlock.size());
    return S_OK;
}

std::string CFrameSourceFilter::ErrorText() const
{
    std::lock_guard<std::mutex> lock(m_errorLock);
    return m_error;
}

}  // namespace bformat
