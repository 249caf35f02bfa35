// A small filter graph manager (CLSID_FilterGraph), so that hosts drive filters the same
// way on both builds.
//
// It keeps the filters a host adds (one reference each; a filter keeps an uncounted pointer
// back), connects pins the host names, runs, pauses and stops the filters together, and
// queues the events filters send. It builds no graphs by itself: Render and the file calls
// are not offered.
//
// State changes go to the filters downstream first, renderers before the filters feeding
// them, so that no filter pushes data at a filter still in the old state. Run from Stopped
// pauses every filter first; without a clock chosen the graph picks one (a filter's own
// clock, else the system clock) and hands it to every filter; each filter is then told to
// run from the clock's time now plus a short start-up delay, less the stream time already
// played before a pause.
//
// Events: EC_COMPLETE from renderers is counted and, once every renderer (a filter with a
// connected input pin and no connected output pin) has sent one while the graph is active,
// one EC_COMPLETE goes to the queue. Every other event is queued as it comes.
#include "platform/builtin.h"
#include "platform/runtime.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace platform {
namespace {

using WideString = std::basic_string<WCHAR>;

// The delay between the Run call and the stream's start time, so that every filter is
// running by the time the first sample is due.
constexpr REFERENCE_TIME kStartDelay = 10 * 10000;  // 10 ms

// Calls `visit` for each pin of `filter`, in the filter's order, until it answers false.
void ForEachPin(IBaseFilter* filter, const std::function<bool(IPin*)>& visit)
{
    IEnumPins* pins = nullptr;
    if (FAILED(filter->EnumPins(&pins)) || !pins) return;
    IPin* pin = nullptr;
    ULONG fetched = 0;
    bool more = true;
    while (more && pins->Next(1, &pin, &fetched) == S_OK && fetched == 1 && pin) {
        more = visit(pin);
        pin->Release();
        pin = nullptr;
    }
    pins->Release();
}

PIN_DIRECTION DirectionOf(IPin* pin)
{
    PIN_DIRECTION direction = PINDIR_INPUT;
    pin->QueryDirection(&direction);
    return direction;
}

// The filter a pin belongs to, without a reference (the caller knows the filter is alive,
// because the graph holds it); null when the pin does not say.
IBaseFilter* OwnerOf(IPin* pin)
{
    PIN_INFO info;
    std::memset(&info, 0, sizeof info);
    if (FAILED(pin->QueryPinInfo(&info)) || !info.pFilter) return nullptr;
    IBaseFilter* owner = info.pFilter;
    info.pFilter->Release();
    return owner;
}

struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
};

class FilterEnumerator final : public SingleInterfaceObject<IEnumFilters, &IID_IEnumFilters> {
public:
    // Holds a reference on each filter.
    explicit FilterEnumerator(std::vector<IBaseFilter*> filters, size_t position = 0)
        : m_filters(std::move(filters)), m_position(position)
    {
        for (IBaseFilter* filter : m_filters) filter->AddRef();
    }
    ~FilterEnumerator()
    {
        for (IBaseFilter* filter : m_filters) filter->Release();
    }

    STDMETHODIMP Next(ULONG count, IBaseFilter** filters, ULONG* fetched) override
    {
        if (!filters) return E_POINTER;
        if (count > 1 && !fetched) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_lock);
        ULONG n = 0;
        while (n < count && m_position < m_filters.size()) {
            filters[n] = m_filters[m_position++];
            filters[n]->AddRef();
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        size_t left = m_filters.size() - m_position;
        if (count > left) {
            m_position = m_filters.size();
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumFilters** clone) override
    {
        if (!clone) return E_POINTER;
        *clone = nullptr;
        std::lock_guard<std::mutex> lock(m_lock);
        try {
            *clone = new FilterEnumerator(m_filters, m_position);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    std::mutex m_lock;
    std::vector<IBaseFilter*> m_filters;
    size_t m_position;
};

class FilterGraph final : public IGraphBuilder,
                          public IMediaFilter,
                          public IMediaEventSink,
                          public WithoutAutomation<IMediaControl>,
                          public WithoutAutomation<IMediaEvent> {
public:
    FilterGraph() = default;

    // ---- IUnknown ----------------------------------------------------------------------

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
            *ppv = static_cast<IGraphBuilder*>(this);
        else if (riid == IID_IMediaFilter || riid == IID_IPersist) *ppv = static_cast<IMediaFilter*>(this);
        else if (riid == IID_IMediaEventSink) *ppv = static_cast<IMediaEventSink*>(this);
        else if (riid == IID_IMediaControl) *ppv = static_cast<IMediaControl*>(this);
        else if (riid == IID_IMediaEvent) *ppv = static_cast<IMediaEvent*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_ref.Increment(); }
    STDMETHODIMP_(ULONG) Release() override
    {
        return m_ref.Release([this] {
            // Filters take and drop references on the graph while it takes itself apart.
            m_ref.Stabilise();
            Shutdown();
            delete this;
        });
    }

    // ---- IFilterGraph ------------------------------------------------------------------

    STDMETHODIMP AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override
    {
        if (!pFilter) return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        if (Find(pFilter) != m_filters.end()) return E_INVALIDARG;  // already in this graph
        WideString name;
        HRESULT hr = UniqueName(pName, name);
        if (FAILED(hr)) return hr;
        try {
            m_filters.push_back({pFilter, name});
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        pFilter->AddRef();
        HRESULT joined = pFilter->JoinFilterGraph(static_cast<IGraphBuilder*>(this), name.c_str());
        if (FAILED(joined)) {
            m_filters.pop_back();
            pFilter->Release();
            return joined;
        }
        if (m_clock) pFilter->SetSyncSource(m_clock);
        return hr;
    }

    // Disconnects the filter's pins (both ends of each connection), tells the filter it left
    // and drops the graph's reference on it. Only a stopped graph lets filters go.
    STDMETHODIMP RemoveFilter(IBaseFilter* pFilter) override
    {
        if (!pFilter) return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        auto it = Find(pFilter);
        if (it == m_filters.end()) return VFW_E_NOT_FOUND;
        if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
        DisconnectAll(pFilter);
        pFilter->SetSyncSource(nullptr);
        pFilter->JoinFilterGraph(nullptr, nullptr);
        m_filters.erase(Find(pFilter));
        pFilter->Release();
        return S_OK;
    }

    STDMETHODIMP EnumFilters(IEnumFilters** ppEnum) override
    {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        try {
            std::vector<IBaseFilter*> filters;
            filters.reserve(m_filters.size());
            for (const Entry& entry : m_filters) filters.push_back(entry.filter);
            *ppEnum = new FilterEnumerator(std::move(filters));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    STDMETHODIMP FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override
    {
        if (!ppFilter) return E_POINTER;
        *ppFilter = nullptr;
        if (!pName) return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        for (const Entry& entry : m_filters) {
            if (entry.name == pName) {
                *ppFilter = entry.filter;
                entry.filter->AddRef();
                return S_OK;
            }
        }
        return VFW_E_NOT_FOUND;
    }

    STDMETHODIMP ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override
    {
        if (!ppinOut || !ppinIn) return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
        IBaseFilter* upstream = OwnerOf(ppinOut);
        IBaseFilter* downstream = OwnerOf(ppinIn);
        if (!upstream || !downstream || Find(upstream) == m_filters.end() || Find(downstream) == m_filters.end())
            return VFW_E_NOT_IN_GRAPH;
        if (DirectionOf(ppinOut) != PINDIR_OUTPUT || DirectionOf(ppinIn) != PINDIR_INPUT)
            return VFW_E_INVALID_DIRECTION;
        if (IsDownstreamOf(upstream, downstream)) return VFW_E_CIRCULAR_GRAPH;
        return ppinOut->Connect(ppinIn, pmt);
    }

    STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }

    // Breaks this end of a connection only, as the caller asked.
    STDMETHODIMP Disconnect(IPin* ppin) override
    {
        if (!ppin) return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
        return ppin->Disconnect();
    }

    STDMETHODIMP SetDefaultSyncSource() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        IReferenceClock* clock = nullptr;
        HRESULT hr = DefaultClock(&clock);
        if (FAILED(hr)) return hr;
        hr = UseClock(clock);
        clock->Release();
        return hr;
    }

    // ---- IGraphBuilder: only the direct connection is offered --------------------------

    STDMETHODIMP Connect(IPin* ppinOut, IPin* ppinIn) override { return ConnectDirect(ppinOut, ppinIn, nullptr); }
    STDMETHODIMP Render(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter** ppFilter) override
    {
        if (ppFilter) *ppFilter = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetLogFile(DWORD_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP Abort() override { return E_NOTIMPL; }
    STDMETHODIMP ShouldOperationContinue() override { return S_OK; }

    // ---- IMediaFilter: the graph as one filter -------------------------------------------

    STDMETHODIMP GetClassID(CLSID* pClassID) override
    {
        if (!pClassID) return E_POINTER;
        *pClassID = CLSID_FilterGraph;
        return S_OK;
    }
    STDMETHODIMP Stop() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        return StopLocked();
    }
    STDMETHODIMP Pause() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        return PauseLocked();
    }
    STDMETHODIMP Run(REFERENCE_TIME tStart) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        return RunLocked(&tStart);
    }
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override
    {
        if (!State) return E_POINTER;
        return QueryState(dwMilliSecsTimeout, State);
    }
    // A null clock runs the graph without one: filters render as fast as data comes.
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        return UseClock(pClock);
    }
    STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override
    {
        if (!pClock) return E_POINTER;
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        *pClock = m_clock;
        if (m_clock) m_clock->AddRef();
        return S_OK;
    }

    // ---- IMediaEventSink ---------------------------------------------------------------

    STDMETHODIMP Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override
    {
        std::lock_guard<std::mutex> lock(m_eventLock);
        if (EventCode == EC_COMPLETE && m_completeDefault) {
            if (!m_active || m_completeQueued) return S_OK;
            ++m_completed;
            if (m_completed < m_renderers) return S_OK;
            m_completeQueued = true;
            EventParam2 = 0;
        }
        try {
            m_events.push_back({EventCode, EventParam1, EventParam2});
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        m_eventArrived.notify_all();
        return S_OK;
    }

    // ---- IMediaControl -----------------------------------------------------------------

    STDMETHODIMP Run() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        return RunLocked(nullptr);
    }
    // IMediaControl::Pause and Stop are the graph's own (above).
    STDMETHODIMP GetState(LONG msTimeout, OAFilterState* pfs) override
    {
        if (!pfs) return E_POINTER;
        FILTER_STATE state = State_Stopped;
        HRESULT hr = QueryState(static_cast<DWORD>(msTimeout), &state);
        *pfs = static_cast<OAFilterState>(state);
        return hr;
    }
    STDMETHODIMP RenderFile(BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddSourceFilter(BSTR, IDispatch** ppUnk) override
    {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP get_FilterCollection(IDispatch** ppUnk) override
    {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP get_RegFilterCollection(IDispatch** ppUnk) override
    {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }
    // Pauses, so that filters cue their data, and then stops.
    STDMETHODIMP StopWhenReady() override
    {
        std::lock_guard<std::recursive_mutex> lock(m_graphLock);
        HRESULT hr = PauseLocked();
        HRESULT stopped = StopLocked();
        return FAILED(hr) ? hr : stopped;
    }

    // ---- IMediaEvent -------------------------------------------------------------------

    // There are no event objects to wait on here; callers wait in GetEvent.
    STDMETHODIMP GetEventHandle(OAEVENT* hEvent) override
    {
        if (!hEvent) return E_POINTER;
        *hEvent = 0;
        return E_NOTIMPL;
    }

    STDMETHODIMP GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) override
    {
        if (!lEventCode || !lParam1 || !lParam2) return E_POINTER;
        std::unique_lock<std::mutex> lock(m_eventLock);
        if (!WaitForEvents(lock, Deadline(msTimeout), [] { return false; })) return E_ABORT;
        Event event = m_events.front();
        m_events.pop_front();
        *lEventCode = event.code;
        *lParam1 = event.param1;
        *lParam2 = event.param2;
        return S_OK;
    }

    // Waits for the end of the stream or an abort, dropping every other event meanwhile.
    STDMETHODIMP WaitForCompletion(LONG msTimeout, LONG* pEvCode) override
    {
        if (!pEvCode) return E_POINTER;
        *pEvCode = 0;
        const auto deadline = Deadline(msTimeout);
        std::unique_lock<std::mutex> lock(m_eventLock);
        for (;;) {
            if (!m_running) return VFW_E_WRONG_STATE;
            if (!WaitForEvents(lock, deadline, [this] { return !m_running; })) return m_running ? E_ABORT : VFW_E_WRONG_STATE;
            if (!m_running) return VFW_E_WRONG_STATE;
            Event event = m_events.front();
            m_events.pop_front();
            if (event.code == EC_COMPLETE || event.code == EC_ERRORABORT || event.code == EC_USERABORT) {
                *pEvCode = event.code;
                return S_OK;
            }
        }
    }

    // Only EC_COMPLETE has default handling here; with it cancelled every renderer's
    // EC_COMPLETE reaches the queue as sent.
    STDMETHODIMP CancelDefaultHandling(LONG lEvCode) override { return SetCompleteDefault(lEvCode, false); }
    STDMETHODIMP RestoreDefaultHandling(LONG lEvCode) override { return SetCompleteDefault(lEvCode, true); }

    // Nothing queued here owns memory of its own.
    STDMETHODIMP FreeEventParams(LONG, LONG_PTR, LONG_PTR) override { return S_OK; }

private:
    struct Entry {
        IBaseFilter* filter;  // counted
        WideString name;
    };
    using Clock = std::chrono::steady_clock;

    ~FilterGraph() = default;

    std::vector<Entry>::iterator Find(IBaseFilter* filter)
    {
        return std::find_if(m_filters.begin(), m_filters.end(), [filter](const Entry& e) { return e.filter == filter; });
    }
    bool NameTaken(const WideString& name) const
    {
        return std::any_of(m_filters.begin(), m_filters.end(), [&](const Entry& e) { return e.name == name; });
    }

    // The requested name if free (S_OK); else the name with a number added
    // (VFW_S_DUPLICATE_NAME); a graph-made name when none is given (S_OK).
    HRESULT UniqueName(LPCWSTR requested, WideString& name)
    {
        const size_t room = MAX_FILTER_NAME - 1;
        try {
            WideString base;
            if (requested && requested[0]) {
                base.assign(requested, std::min(std::char_traits<WCHAR>::length(requested), room));
                if (!NameTaken(base)) {
                    name = base;
                    return S_OK;
                }
            } else {
                base = WIDE("Filter");
            }
            if (base.size() > room - 5) base.resize(room - 5);
            for (int n = 1; n <= 9999; ++n) {
                WCHAR suffix[6] = {u' ', 0, 0, 0, 0, 0};
                for (int d = 4, v = n; d >= 1; --d, v /= 10) suffix[d] = static_cast<WCHAR>(u'0' + v % 10);
                WideString candidate = base + suffix;
                if (!NameTaken(candidate)) {
                    name = candidate;
                    return requested && requested[0] ? VFW_S_DUPLICATE_NAME : S_OK;
                }
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return VFW_E_DUPLICATE_NAME;
    }

    // Breaks every connection of the filter, at both ends.
    void DisconnectAll(IBaseFilter* filter)
    {
        ForEachPin(filter, [](IPin* pin) {
            IPin* peer = nullptr;
            if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer) {
                peer->Disconnect();
                peer->Release();
            }
            pin->Disconnect();
            return true;
        });
    }

    // The graph's filters that take data from `filter`'s connected output pins.
    std::vector<IBaseFilter*> DownstreamOf(IBaseFilter* filter)
    {
        std::vector<IBaseFilter*> next;
        ForEachPin(filter, [&](IPin* pin) {
            if (DirectionOf(pin) != PINDIR_OUTPUT) return true;
            IPin* peer = nullptr;
            if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer) {
                IBaseFilter* owner = OwnerOf(peer);
                peer->Release();
                if (owner && Find(owner) != m_filters.end()) next.push_back(owner);
            }
            return true;
        });
        return next;
    }

    // True when `target` takes data, directly or through other filters, from `from`, or is it.
    bool IsDownstreamOf(IBaseFilter* target, IBaseFilter* from)
    {
        std::vector<IBaseFilter*> seen;
        std::vector<IBaseFilter*> pending{from};
        while (!pending.empty()) {
            IBaseFilter* filter = pending.back();
            pending.pop_back();
            if (filter == target) return true;
            if (std::find(seen.begin(), seen.end(), filter) != seen.end()) continue;
            seen.push_back(filter);
            for (IBaseFilter* next : DownstreamOf(filter)) pending.push_back(next);
        }
        return false;
    }

    // Every filter after all the filters it feeds: renderers first, sources last. A filter
    // reached twice (a loop in a broken graph) keeps its first place.
    std::vector<IBaseFilter*> DownstreamFirst()
    {
        std::vector<IBaseFilter*> order;
        std::vector<IBaseFilter*> visited;
        std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* filter) {
            if (std::find(visited.begin(), visited.end(), filter) != visited.end()) return;
            visited.push_back(filter);
            for (IBaseFilter* next : DownstreamOf(filter)) visit(next);
            order.push_back(filter);
        };
        for (const Entry& entry : m_filters) visit(entry.filter);
        return order;
    }

    // Filters with at least one connected input pin and no connected output pin.
    LONG CountRenderers()
    {
        LONG renderers = 0;
        for (const Entry& entry : m_filters) {
            int inputs = 0, outputs = 0;
            ForEachPin(entry.filter, [&](IPin* pin) {
                IPin* peer = nullptr;
                if (SUCCEEDED(pin->ConnectedTo(&peer)) && peer) {
                    peer->Release();
                    (DirectionOf(pin) == PINDIR_INPUT ? inputs : outputs)++;
                }
                return true;
            });
            if (inputs > 0 && outputs == 0) ++renderers;
        }
        return renderers;
    }

    // A filter's own clock if one offers it (renderers are asked first), else the system
    // clock.
    HRESULT DefaultClock(IReferenceClock** clock)
    {
        *clock = nullptr;
        for (IBaseFilter* filter : DownstreamFirst())
            if (SUCCEEDED(filter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(clock))) && *clock)
                return S_OK;
        *clock = nullptr;
        return CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                reinterpret_cast<void**>(clock));
    }

    // Makes `clock` (which may be null) the graph's clock and every filter's, and tells the
    // host with EC_CLOCK_CHANGED when that changes the clock.
    HRESULT UseClock(IReferenceClock* clock)
    {
        if (m_state != State_Stopped && clock != m_clock) return VFW_E_NOT_STOPPED;
        const bool changed = clock != m_clock;
        if (clock) clock->AddRef();
        if (m_clock) m_clock->Release();
        m_clock = clock;
        m_clockChosen = true;
        if (changed) Notify(EC_CLOCK_CHANGED, 0, 0);
        HRESULT result = S_OK;
        for (const Entry& entry : m_filters) {
            HRESULT hr = entry.filter->SetSyncSource(clock);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
        return result;
    }

    REFERENCE_TIME ClockNow()
    {
        REFERENCE_TIME now = 0;
        if (m_clock) m_clock->GetTime(&now);
        return now;
    }

    // Calls `change` on every filter, downstream first. Every filter is told, whatever the
    // others answer; the answer is the first failure, else S_FALSE if any filter has not
    // finished its change yet, else S_OK.
    template <typename Change>
    HRESULT ChangeState(Change change)
    {
        HRESULT result = S_OK;
        for (IBaseFilter* filter : DownstreamFirst()) {
            HRESULT hr = change(filter);
            if (FAILED(hr)) {
                if (SUCCEEDED(result)) result = hr;
            } else if (hr == S_FALSE && result == S_OK) {
                result = S_FALSE;
            }
        }
        return result;
    }

    void SetActive(bool active, bool running)
    {
        std::lock_guard<std::mutex> lock(m_eventLock);
        if (active && !m_active) {
            m_completed = 0;
            m_completeQueued = false;
        }
        m_active = active;
        m_running = running;
        m_eventArrived.notify_all();
    }

    HRESULT StopLocked()
    {
        HRESULT hr = ChangeState([](IBaseFilter* filter) { return filter->Stop(); });
        m_state = State_Stopped;
        m_pausedAt = 0;
        SetActive(false, false);
        return hr;
    }

    HRESULT PauseLocked()
    {
        if (m_state == State_Paused) return S_OK;
        if (m_state == State_Stopped) {
            if (!m_clockChosen) {
                HRESULT hr = SetDefaultSyncSource();
                if (FAILED(hr)) return hr;
            }
            {
                LONG renderers = CountRenderers();
                std::lock_guard<std::mutex> lock(m_eventLock);
                m_renderers = renderers;
            }
            SetActive(true, false);
            m_pausedAt = 0;
        } else {
            // Keep the stream time played so far, so that Run resumes from it.
            m_pausedAt = std::max<REFERENCE_TIME>(0, ClockNow() - m_start);
        }
        HRESULT hr = ChangeState([](IBaseFilter* filter) { return filter->Pause(); });
        if (FAILED(hr)) {
            StopLocked();
            return hr;
        }
        m_state = State_Paused;
        SetActive(true, false);
        return hr;
    }

    // Runs from the given start time, or from the clock's time now plus the start-up delay.
    HRESULT RunLocked(const REFERENCE_TIME* start)
    {
        if (m_state == State_Running) return S_OK;
        HRESULT paused = S_OK;
        if (m_state == State_Stopped) {
            paused = PauseLocked();
            if (FAILED(paused)) return paused;
        }
        m_start = start ? *start : ClockNow() + kStartDelay - m_pausedAt;
        const REFERENCE_TIME startTime = m_start;
        HRESULT hr = ChangeState([startTime](IBaseFilter* filter) { return filter->Run(startTime); });
        if (FAILED(hr)) {
            StopLocked();
            return hr;
        }
        m_state = State_Running;
        SetActive(true, true);
        return hr == S_OK ? paused : hr;
    }

    // The graph's state; a filter still on its way there makes the answer
    // VFW_S_STATE_INTERMEDIATE, one that cannot cue data VFW_S_CANT_CUE.
    HRESULT QueryState(DWORD timeout, FILTER_STATE* state)
    {
        std::vector<IBaseFilter*> filters;
        {
            std::lock_guard<std::recursive_mutex> lock(m_graphLock);
            *state = m_state;
            try {
                for (const Entry& entry : m_filters) filters.push_back(entry.filter);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            for (IBaseFilter* filter : filters) filter->AddRef();
        }
        HRESULT result = S_OK;
        for (IBaseFilter* filter : filters) {
            FILTER_STATE filterState;
            HRESULT hr = filter->GetState(timeout, &filterState);
            if (FAILED(hr)) {
                if (SUCCEEDED(result)) result = hr;
            } else if (hr == VFW_S_STATE_INTERMEDIATE) {
                if (SUCCEEDED(result)) result = hr;
            } else if (hr == VFW_S_CANT_CUE && result == S_OK) {
                result = hr;
            }
            filter->Release();
        }
        return result;
    }

    static Clock::time_point Deadline(LONG msTimeout)
    {
        if (msTimeout < 0) return Clock::time_point::max();  // INFINITE
        return Clock::now() + std::chrono::milliseconds(msTimeout);
    }

    // Waits under the event lock until an event is queued (true), or the deadline passes or
    // `stop` says so with the queue still empty (false).
    template <typename Stop>
    bool WaitForEvents(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Stop stop)
    {
        for (;;) {
            if (!m_events.empty()) return true;
            if (stop()) return false;
            if (deadline == Clock::time_point::max()) {
                m_eventArrived.wait(lock);
            } else if (m_eventArrived.wait_until(lock, deadline) == std::cv_status::timeout) {
                return !m_events.empty();
            }
        }
    }

    HRESULT SetCompleteDefault(LONG code, bool enabled)
    {
        if (code != EC_COMPLETE) return E_INVALIDARG;
        std::lock_guard<std::mutex> lock(m_eventLock);
        m_completeDefault = enabled;
        return S_OK;
    }

    // On the last release: stop, break every connection, and let every filter go.
    void Shutdown()
    {
        std::vector<Entry> filters;
        {
            std::lock_guard<std::recursive_mutex> lock(m_graphLock);
            if (m_state != State_Stopped) StopLocked();
            for (const Entry& entry : m_filters) DisconnectAll(entry.filter);
            for (const Entry& entry : m_filters) {
                entry.filter->SetSyncSource(nullptr);
                entry.filter->JoinFilterGraph(nullptr, nullptr);
            }
            filters.swap(m_filters);
        }
        for (Entry& entry : filters) entry.filter->Release();
        if (m_clock) m_clock->Release();
        m_clock = nullptr;
    }

    RefCount m_ref;

    // Filters, connections, state and clock.
    std::recursive_mutex m_graphLock;
    std::vector<Entry> m_filters;
    FILTER_STATE m_state = State_Stopped;
    IReferenceClock* m_clock = nullptr;  // counted
    bool m_clockChosen = false;          // a clock (or none) was chosen by the host or the graph
    REFERENCE_TIME m_start = 0;          // the start time the filters last ran from
    REFERENCE_TIME m_pausedAt = 0;       // stream time played before the last pause

    // Events; filters notify from their own threads, so only this lock guards them.
    std::mutex m_eventLock;
    std::condition_variable m_eventArrived;
    std::deque<Event> m_events;
    bool m_active = false;   // paused or running
    bool m_running = false;  // running
    bool m_completeDefault = true;
    bool m_completeQueued = false;
    LONG m_renderers = 0;
    LONG m_completed = 0;
};

const BuiltinClass registration(CLSID_FilterGraph, CreateUnaggregated<FilterGraph>);

}  // namespace
}  // namespace platform
