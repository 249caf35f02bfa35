// Test doubles for the graph runtime's tests: pins and filters that record what the
// runtime asks of them and answer the calls it makes.
#pragma once

#include "tests/platform/runtime_test_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace runtime_test {

using WideString = std::basic_string<WCHAR>;

// Calls made on filters, in order, as "tag:Call", shared by the filters of one test.
class CallLog {
public:
    void Add(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.push_back(entry);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<std::string> entries;
        entries.swap(m_entries);
        return entries;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_entries;
};

// Reference counting for the doubles; the object deriving from it supplies QueryInterface.
#define RUNTIME_TEST_REFCOUNT                                   \
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; } \
    STDMETHODIMP_(ULONG) Release() override                    \
    {                                                          \
        ULONG count = --m_ref;                                 \
        if (count == 0) delete this;                           \
        return count;                                          \
    }                                                          \
    ULONG References() const { return m_ref.load(); }          \
    std::atomic<ULONG> m_ref{1};

// IMediaSeeking over a stream of kDuration units, recording the positions and rate set.
// The object deriving from it supplies IUnknown.
class SeekingAnswers : public IMediaSeeking {
public:
    static constexpr LONGLONG kDuration = 12345678;
    LONGLONG m_current = 0;
    LONGLONG m_stop = kDuration;
    double m_rate = 1.0;
    int m_setPositionsCalls = 0;

    STDMETHODIMP GetCapabilities(DWORD* caps) override
    {
        if (!caps) return E_POINTER;
        *caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
        return S_OK;
    }
    STDMETHODIMP CheckCapabilities(DWORD* caps) override { return caps ? S_OK : E_POINTER; }
    STDMETHODIMP IsFormatSupported(const GUID* format) override
    {
        if (!format) return E_POINTER;
        return IsEqualGUID(*format, TIME_FORMAT_MEDIA_TIME) ? S_OK : S_FALSE;
    }
    STDMETHODIMP QueryPreferredFormat(GUID* format) override { return GetTimeFormat(format); }
    STDMETHODIMP GetTimeFormat(GUID* format) override
    {
        if (!format) return E_POINTER;
        *format = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    STDMETHODIMP IsUsingTimeFormat(const GUID* format) override { return IsFormatSupported(format); }
    STDMETHODIMP SetTimeFormat(const GUID* format) override
    {
        if (!format) return E_POINTER;
        return IsEqualGUID(*format, TIME_FORMAT_MEDIA_TIME) ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP GetDuration(LONGLONG* duration) override
    {
        if (!duration) return E_POINTER;
        *duration = kDuration;
        return S_OK;
    }
    STDMETHODIMP GetStopPosition(LONGLONG* stop) override { return GetPositions(nullptr, stop); }
    STDMETHODIMP GetCurrentPosition(LONGLONG* current) override { return GetPositions(current, nullptr); }
    STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override
    {
        if (current && (currentFlags & AM_SEEKING_PositioningBitsMask)) m_current = *current;
        if (stop && (stopFlags & AM_SEEKING_PositioningBitsMask)) m_stop = *stop;
        ++m_setPositionsCalls;
        return S_OK;
    }
    STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override
    {
        if (current) *current = m_current;
        if (stop) *stop = m_stop;
        return S_OK;
    }
    STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override
    {
        if (earliest) *earliest = 0;
        if (latest) *latest = kDuration;
        return S_OK;
    }
    STDMETHODIMP SetRate(double rate) override
    {
        if (rate <= 0) return E_INVALIDARG;
        m_rate = rate;
        return S_OK;
    }
    STDMETHODIMP GetRate(double* rate) override
    {
        if (!rate) return E_POINTER;
        *rate = m_rate;
        return S_OK;
    }
    STDMETHODIMP GetPreroll(LONGLONG* preroll) override
    {
        if (!preroll) return E_POINTER;
        *preroll = 0;
        return S_OK;
    }
};

// A pin that connects to any pin, and may answer IMediaSeeking (as the upstream end of a
// seeking pass-through). Its filter owns it, so it holds the filter without a reference.
class FakePin final : public IPin, public SeekingAnswers {
public:
    FakePin(IBaseFilter* owner, PIN_DIRECTION direction, bool seeking = false)
        : m_owner(owner), m_direction(direction), m_seeking(seeking)
    {
    }
    RUNTIME_TEST_REFCOUNT

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPin) *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IMediaSeeking && m_seeking) *ppv = static_cast<IMediaSeeking*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override
    {
        if (!pReceivePin) return E_POINTER;
        if (m_peer) return VFW_E_ALREADY_CONNECTED;
        AM_MEDIA_TYPE type = {};
        type.majortype = MEDIATYPE_Audio;
        HRESULT hr = pReceivePin->ReceiveConnection(this, pmt ? pmt : &type);
        if (SUCCEEDED(hr)) (m_peer = pReceivePin)->AddRef();
        return hr;
    }
    STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE*) override
    {
        if (!pConnector) return E_POINTER;
        if (m_peer) return VFW_E_ALREADY_CONNECTED;
        (m_peer = pConnector)->AddRef();
        return S_OK;
    }
    STDMETHODIMP Disconnect() override
    {
        if (!m_peer) return S_FALSE;
        m_peer->Release();
        m_peer = nullptr;
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin** pPin) override
    {
        if (!pPin) return E_POINTER;
        if ((*pPin = m_peer) == nullptr) return VFW_E_NOT_CONNECTED;
        m_peer->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override
    {
        if (!pInfo) return E_POINTER;
        std::memset(pInfo, 0, sizeof *pInfo);
        if ((pInfo->pFilter = m_owner) != nullptr) m_owner->AddRef();
        pInfo->dir = m_direction;
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* pPinDir) override
    {
        if (!pPinDir) return E_POINTER;
        *pPinDir = m_direction;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override
    {
        if (ppEnum) *ppEnum = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return S_OK; }
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

private:
    ~FakePin()
    {
        if (m_peer) m_peer->Release();
    }
    IBaseFilter* m_owner;
    PIN_DIRECTION m_direction;
    bool m_seeking;
    IPin* m_peer = nullptr;
};

class FakePinEnumerator final : public IEnumPins {
public:
    explicit FakePinEnumerator(const std::vector<FakePin*>& pins) : m_pins(pins)
    {
        for (FakePin* pin : m_pins) pin->AddRef();
    }
    RUNTIME_TEST_REFCOUNT

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IEnumPins) return E_NOINTERFACE;
        *ppv = static_cast<IEnumPins*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override
    {
        if (!pins) return E_POINTER;
        ULONG n = 0;
        for (; n < count && m_position < m_pins.size(); ++n) (pins[n] = m_pins[m_position++])->AddRef();
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        m_position = std::min<size_t>(m_pins.size(), m_position + count);
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins**) override { return E_NOTIMPL; }

private:
    ~FakePinEnumerator()
    {
        for (FakePin* pin : m_pins) pin->Release();
    }
    std::vector<FakePin*> m_pins;
    size_t m_position = 0;
};

// A filter with the pins a test gives it (none by default), recording the graph's calls. A
// renderer offers IMediaSeeking on the filter, as renderers do.
class FakeFilter final : public IBaseFilter, public SeekingAnswers {
public:
    explicit FakeFilter(const char* tag, CallLog* log = nullptr) : m_tag(tag), m_log(log) {}
    RUNTIME_TEST_REFCOUNT

    FakePin* AddPin(PIN_DIRECTION direction)
    {
        m_pins.push_back(new FakePin(this, direction));
        return m_pins.back();
    }
    void OfferSeeking() { m_seeking = true; }

    // What the graph told the filter.
    IFilterGraph* m_graph = nullptr;  // uncounted, as a filter holds its graph
    WideString m_name;
    int m_joinCalls = 0;
    FILTER_STATE m_state = State_Stopped;
    REFERENCE_TIME m_runStart = -1;
    IReferenceClock* m_clock = nullptr;  // counted

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else if (riid == IID_IMediaSeeking && m_seeking) *ppv = static_cast<IMediaSeeking*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    STDMETHODIMP GetClassID(CLSID* pClassID) override
    {
        if (!pClassID) return E_POINTER;
        *pClassID = GUID_NULL;
        return S_OK;
    }
    STDMETHODIMP Stop() override { return Enter("Stop", State_Stopped); }
    STDMETHODIMP Pause() override { return Enter("Pause", State_Paused); }
    STDMETHODIMP Run(REFERENCE_TIME tStart) override
    {
        m_runStart = tStart;
        return Enter("Run", State_Running);
    }
    STDMETHODIMP GetState(DWORD, FILTER_STATE* State) override
    {
        if (!State) return E_POINTER;
        *State = m_state;
        return S_OK;
    }
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override
    {
        if (pClock) pClock->AddRef();
        if (m_clock) m_clock->Release();
        m_clock = pClock;
        return S_OK;
    }
    STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override
    {
        if (!pClock) return E_POINTER;
        if ((*pClock = m_clock) != nullptr) m_clock->AddRef();
        return S_OK;
    }
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override
    {
        if (!ppEnum) return E_POINTER;
        *ppEnum = new FakePinEnumerator(m_pins);
        return S_OK;
    }
    STDMETHODIMP FindPin(LPCWSTR, IPin** ppPin) override
    {
        if (ppPin) *ppPin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override
    {
        if (!pInfo) return E_POINTER;
        std::memset(pInfo, 0, sizeof *pInfo);
        for (size_t i = 0; i < m_name.size() && i + 1 < MAX_FILTER_NAME; ++i) pInfo->achName[i] = m_name[i];
        if ((pInfo->pGraph = m_graph) != nullptr) m_graph->AddRef();
        return S_OK;
    }
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override
    {
        ++m_joinCalls;
        m_graph = pGraph;
        m_name = pName ? WideString(pName) : WideString();
        return S_OK;
    }
    STDMETHODIMP QueryVendorInfo(LPWSTR* pVendorInfo) override
    {
        if (pVendorInfo) *pVendorInfo = nullptr;
        return E_NOTIMPL;
    }

private:
    ~FakeFilter()
    {
        for (FakePin* pin : m_pins) pin->Release();
        if (m_clock) m_clock->Release();
    }
    HRESULT Enter(const char* call, FILTER_STATE state)
    {
        if (m_log) m_log->Add(m_tag + ":" + call);
        m_state = state;
        return S_OK;
    }

    std::string m_tag;
    CallLog* m_log;
    bool m_seeking = false;
    std::vector<FakePin*> m_pins;
};

}  // namespace runtime_test
