// Test doubles for the graph runtime's tests: filters over the kit's fake pins that record
// what the runtime asks of them and answer the calls it makes.
#pragma once

#include "tests/platform/runtime_test_support.h"
#include "tests/support/fakes.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace runtime_test {

using WideString = std::basic_string<WCHAR>;

using fakes::CallLog;
using fakes::FakePin;

// Enumerates the pins of a FakeFilter, holding a reference on each.
class FakePinEnumerator final : public IEnumPins, public fakes::Counted<FakePinEnumerator> {
public:
    explicit FakePinEnumerator(const std::vector<FakePin*>& pins) : m_pins(pins)
    {
        for (FakePin* pin : m_pins) pin->AddRef();
    }
    ~FakePinEnumerator() override
    {
        for (FakePin* pin : m_pins) pin->Release();
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        return Offer(riid == IID_IUnknown || riid == IID_IEnumPins ? static_cast<IEnumPins*>(this) : nullptr, ppv);
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
    std::vector<FakePin*> m_pins;
    size_t m_position = 0;
};

// A filter with the pins a test gives it (none by default), recording the graph's calls. A
// renderer offers IMediaSeeking on the filter, as renderers do.
class FakeFilter final : public IBaseFilter, public fakes::SeekingAnswers, public fakes::Counted<FakeFilter> {
public:
    explicit FakeFilter(const char* tag, CallLog* log = nullptr) : m_tag(tag), m_log(log) {}
    ~FakeFilter() override
    {
        for (FakePin* pin : m_pins) pin->Release();
        if (m_clock) m_clock->Release();
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

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
        void* itf = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            itf = static_cast<IBaseFilter*>(this);
        if (riid == IID_IMediaSeeking && m_seeking) itf = static_cast<IMediaSeeking*>(this);
        return Offer(itf, ppv);
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
