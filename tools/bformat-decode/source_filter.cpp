#include "tools/bformat-decode/source_filter.h"

#include <cstring>

#include "tools/bformat-decode/wave_format.h"

namespace bformat {

namespace {

// {471B1884-8166-48F4-BB82-C3EF8FB6999F}
const CLSID CLSID_FrameSource = {0x471b1884, 0x8166, 0x48f4, {0xbb, 0x82, 0xc3, 0xef, 0x8f, 0xb6, 0x99, 0x9f}};

constexpr long kMinBuffers = 6;
// The stop time of a segment that lasts until end-of-stream.
constexpr REFERENCE_TIME kOpenEnded = 0x7FFFFFFFFFFFFFFF;

// The fields of the stream's format block; zeros for a block too short to hold them.
WaveFormat FormatOf(const std::vector<uint8_t>& block)
{
    WaveFormat format;
    ReadWaveFormat(block.data(), block.size(), format);
    return format;
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
    const uint16_t frameBytes = FormatOf(m_pSource->m_stream.formatBlock).blockAlign;
    if (frameBytes == 0) return VFW_E_TYPE_NOT_ACCEPTED;
    const long bytes = static_cast<long>(m_pSource->m_stream.framesPerSample) * frameBytes;
    if (pRequest->cBuffers < kMinBuffers) pRequest->cBuffers = kMinBuffers;
    if (pRequest->cbBuffer < bytes) pRequest->cbBuffer = bytes;
    if (pRequest->cbAlign < 1) pRequest->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual;
    HRESULT hr = pAlloc->SetProperties(pRequest, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cBuffers < pRequest->cBuffers || actual.cbBuffer < pRequest->cbBuffer) return E_FAIL;
    return S_OK;
}

HRESULT CFrameSourcePin::Active()
{
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr)) return hr;
    StopThreads();
    {
        std::lock_guard<std::mutex> lock(m_readLock);
        m_nextPlace = 0;
        m_framesRead = 0;
        m_readEnded = false;
    }
    {
        std::lock_guard<std::mutex> lock(m_turnLock);
        m_turn = 0;
        m_streamEnded = false;
        m_stop = false;
    }
    const unsigned threads = m_pSource->m_stream.deliveringThreads >= 2 ? 2 : 1;
    try {
        m_threads.reserve(threads);
        for (unsigned t = 0; t < threads; ++t) m_threads.emplace_back([this] { Deliverer(); });
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
    {
        // Under the turn lock, so that a thread about to wait for its turn sees it.
        std::lock_guard<std::mutex> lock(m_turnLock);
        m_stop = true;
    }
    m_turnChanged.notify_all();
    // A decommitted allocator releases a thread from its wait for a buffer; the base class's
    // Inactive decommits it again, harmlessly.
    if (!m_threads.empty() && m_pAllocator) m_pAllocator->Decommit();
    for (std::thread& thread : m_threads) {
        if (thread.joinable()) thread.join();
    }
    m_threads.clear();
}

void CFrameSourcePin::Fail(HRESULT hr, const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(m_pSource->m_errorLock);
        if (m_pSource->m_error.empty()) m_pSource->m_error = text;
    }
    m_pSource->NotifyEvent(EC_ERRORABORT, hr, 0);
}

bool CFrameSourcePin::FillNext(uint16_t frameBytes, uint32_t rate, Filled& filled, uint64_t& place)
{
    IMediaSample* sample = nullptr;
    const HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    // A decommitted allocator is how a stop reaches a thread waiting for a buffer.
    if (m_stop) {
        if (sample) sample->Release();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_readLock);
    place = m_nextPlace++;
    filled = {nullptr, S_OK, std::string()};
    if (m_readEnded) {
        // The end has its place already; this one only follows it.
        if (sample) sample->Release();
        return true;
    }
    m_readEnded = true;  // until a read succeeds
    if (FAILED(hr) || !sample) {
        filled = {nullptr, FAILED(hr) ? hr : E_POINTER, "no buffer to read the audio into"};
        return true;
    }
    BYTE* buffer = nullptr;
    const long size = sample->GetSize();
    if (FAILED(sample->GetPointer(&buffer)) || !buffer || size < frameBytes) {
        sample->Release();
        filled = {nullptr, E_UNEXPECTED, "the buffer for the audio is unusable"};
        return true;
    }
    const int64_t frames = m_pSource->m_provider->Read(buffer, static_cast<uint64_t>(size) / frameBytes);
    if (frames <= 0) {
        sample->Release();
        if (frames < 0) filled = {nullptr, E_FAIL, m_pSource->m_provider->ErrorText()};
        return true;
    }
    m_readEnded = false;
    REFERENCE_TIME start = static_cast<REFERENCE_TIME>(m_framesRead * 10000000ull / rate);
    const bool first = m_framesRead == 0;
    m_framesRead += static_cast<uint64_t>(frames);
    REFERENCE_TIME stop = static_cast<REFERENCE_TIME>(m_framesRead * 10000000ull / rate);
    sample->SetActualDataLength(static_cast<long>(frames * frameBytes));
    sample->SetTime(&start, &stop);
    sample->SetSyncPoint(TRUE);
    sample->SetDiscontinuity(first ? TRUE : FALSE);
    filled.sample = sample;
    return true;
}

bool CFrameSourcePin::WaitForTurn(uint64_t place)
{
    std::unique_lock<std::mutex> lock(m_turnLock);
    m_turnChanged.wait(lock, [&] { return m_stop || m_streamEnded || m_turn == place; });
    return !m_stop && !m_streamEnded;
}

bool CFrameSourcePin::DeliverInTurn(uint16_t frameBytes, Filled& filled, uint64_t place)
{
    bool more = true;
    if (place == 0) DeliverNewSegment(0, kOpenEnded, 1.0);
    if (!filled.sample) {
        if (FAILED(filled.status)) Fail(filled.status, filled.error);
        else DeliverEndOfStream();
        more = false;
    } else {
        const long length = filled.sample->GetActualDataLength();
        const HRESULT hr = Deliver(filled.sample);
        filled.sample->Release();
        filled.sample = nullptr;
        if (hr == S_OK) {
            m_pSource->m_framesDelivered += static_cast<uint64_t>(length) / frameBytes;
        } else {
            // S_FALSE: the downstream filter wants no more (it is flushing or has ended the
            // stream itself). A failure has been reported downstream unless we are stopping.
            if (FAILED(hr) && !m_stop) Fail(hr, "the decoder refused the audio");
            more = false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_turnLock);
        m_turn = place + 1;
        if (!more) m_streamEnded = true;
    }
    m_turnChanged.notify_all();
    return more;
}

// A delivering thread: fill, wait for the turn, deliver, until the stream ends or the pin
// stops.
void CFrameSourcePin::Deliverer()
{
    const SourceStream& stream = m_pSource->m_stream;
    const WaveFormat format = FormatOf(stream.formatBlock);
    const uint16_t frameBytes = format.blockAlign;
    const uint32_t rate = format.sampleRate;
    for (;;) {
        Filled filled{nullptr, S_OK, std::string()};
        uint64_t place = 0;
        if (!FillNext(frameBytes, rate, filled, place)) return;
        if (!WaitForTurn(place)) {
            if (filled.sample) filled.sample->Release();
            return;
        }
        const bool more = DeliverInTurn(frameBytes, filled, place);
        if (stream.afterDelivery) stream.afterDelivery();
        if (!more) return;
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
    pmt->lSampleSize = FormatOf(m_stream.formatBlock).blockAlign;
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
