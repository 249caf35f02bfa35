#include "framework/base_filter.h"

#include <new>

#include "framework/base_pin.h"
#include "framework/enumerators.h"
#include "framework/wide_string.h"

namespace {

// Runs `call` with a first-generation filter mapper between COM start-up and shut-down on
// the calling thread. COM is shut down only when this start-up succeeded, so a thread that
// already uses another concurrency model keeps its own initialisation. Gives the mapper's
// creation failure, else what `call` returned.
template <class Call>
HRESULT WithFilterMapper(Call call)
{
    HRESULT init = CoInitialize(nullptr);
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  reinterpret_cast<void**>(&mapper));
    if (SUCCEEDED(hr)) {
        hr = call(mapper);
        mapper->Release();
    }
    CoFreeUnusedLibraries();
    if (SUCCEEDED(init)) CoUninitialize();
    return hr;
}

// The pin at `index` when it exists and is connected: the only pins a state change tells.
CBasePin* ConnectedPin(CBaseFilter* filter, int index)
{
    CBasePin* pin = filter->GetPin(index);
    return pin && pin->IsConnected() ? pin : nullptr;
}

}  // namespace

CBaseFilter::CBaseFilter(const char* name, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid)
    : CUnknown(name, outer),
      m_State(State_Stopped),
      m_pClock(nullptr),
      m_tStart(0),
      m_clsid(clsid),
      m_pLock(lock),
      m_pName(nullptr),
      m_pGraph(nullptr),
      m_pSink(nullptr),
      m_PinVersion(1)
{
}

CBaseFilter::~CBaseFilter()
{
    delete[] m_pName;
    if (IReferenceClock* clock = m_pClock) clock->Release();
}

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IBaseFilter) || IsEqualGUID(riid, IID_IMediaFilter) ||
        IsEqualGUID(riid, IID_IPersist)) {
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    }
    if (IsEqualGUID(riid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID* pClsID)
{
    if (!pClsID) return E_POINTER;
    *pClsID = m_clsid;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE* State)
{
    if (!State) return E_POINTER;
    *State = m_State;
    return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* pClock)
{
    CAutoLock lock(m_pLock);
    if (pClock) pClock->AddRef();
    if (IReferenceClock* old = m_pClock) old->Release();
    m_pClock = pClock;
    return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** pClock)
{
    if (!pClock) return E_POINTER;
    CAutoLock lock(m_pLock);
    IReferenceClock* clock = m_pClock;
    if (clock) clock->AddRef();
    *pClock = clock;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Stop()
{
    CAutoLock lock(m_pLock);
    HRESULT result = S_OK;
    if (m_State != State_Stopped) {
        int count = GetPinCount();
        for (int i = 0; i < count; ++i) {
            CBasePin* pin = ConnectedPin(this, i);
            if (!pin) continue;
            HRESULT hr = pin->Inactive();
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
    }
    m_State = State_Stopped;
    return result;
}

STDMETHODIMP CBaseFilter::Pause()
{
    CAutoLock lock(m_pLock);
    if (m_State == State_Stopped) {
        int count = GetPinCount();
        for (int i = 0; i < count; ++i) {
            CBasePin* pin = ConnectedPin(this, i);
            if (!pin) continue;
            HRESULT hr = pin->Active();
            if (FAILED(hr)) {
                // The filter stays stopped, so no pin may stay active: a stopped filter's
                // Stop tells no pin, and a committed allocator would otherwise outlive it.
                for (int j = 0; j < i; ++j) {
                    if (CBasePin* done = ConnectedPin(this, j)) done->Inactive();
                }
                return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart)
{
    CAutoLock lock(m_pLock);
    m_tStart = tStart;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    if (m_State != State_Running) {
        int count = GetPinCount();
        for (int i = 0; i < count; ++i) {
            CBasePin* pin = ConnectedPin(this, i);
            if (!pin) continue;
            HRESULT hr = pin->Run(tStart);
            if (FAILED(hr)) return hr;
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& rtStream)
{
    IReferenceClock* clock = m_pClock;
    if (!clock) return VFW_E_NO_CLOCK;
    HRESULT hr = clock->GetTime(&rtStream);
    if (FAILED(hr)) return hr;
    rtStream -= m_tStart;
    return S_OK;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumPins(this, nullptr);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR Id, IPin** ppPin)
{
    if (!ppPin) return E_POINTER;
    CAutoLock lock(m_pLock);
    int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
        CBasePin* pin = GetPin(i);
        if (pin && WideCompare(pin->Name(), Id) == 0) {
            *ppPin = pin;
            pin->AddRef();
            return S_OK;
        }
    }
    *ppPin = nullptr;
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* pInfo)
{
    if (!pInfo) return E_POINTER;
    WideCopyN(pInfo->achName, m_pName, MAX_FILTER_NAME);
    pInfo->pGraph = m_pGraph;
    if (pInfo->pGraph) pInfo->pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName)
{
    CAutoLock lock(m_pLock);
    m_pGraph = pGraph;
    IMediaEventSink* sink = nullptr;
    if (pGraph && SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) && sink) {
        // Held without a reference: the graph owns the filter, not the other way round.
        sink->Release();
    } else {
        sink = nullptr;
    }
    m_pSink = sink;

    delete[] m_pName;
    m_pName = WideDuplicate(pName);
    return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

LONG CBaseFilter::GetPinVersion() { return m_PinVersion; }

STDMETHODIMP CBaseFilter::Register()
{
    const AMOVIESETUP_FILTER* setup = GetSetupData();
    if (!setup) return S_FALSE;
    // Registration reports success whatever the mapper said.
    WithFilterMapper([setup](IFilterMapper* mapper) { return AMovieSetupRegisterFilter(setup, mapper, TRUE); });
    return S_OK;
}

STDMETHODIMP CBaseFilter::Unregister()
{
    const AMOVIESETUP_FILTER* setup = GetSetupData();
    if (!setup) return S_FALSE;
    HRESULT hr =
        WithFilterMapper([setup](IFilterMapper* mapper) { return AMovieSetupRegisterFilter(setup, mapper, FALSE); });
    return hr == kFilterNotRegistered ? S_OK : hr;
}

const AMOVIESETUP_FILTER* CBaseFilter::GetSetupData() { return nullptr; }

HRESULT CBaseFilter::NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2)
{
    IMediaEventSink* sink = m_pSink;
    if (!sink) return E_NOTIMPL;
    if (EventCode == EC_COMPLETE) EventParam2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    return sink->Notify(EventCode, EventParam1, EventParam2);
}
