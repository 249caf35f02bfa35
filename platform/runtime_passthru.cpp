// The seeking pass-through object (CLSID_SeekingPassThru).
//
// A filter aggregates it into the pin that answers seeking for it (a transform's output pin,
// a renderer's filter) and gives it the filter's input pin with ISeekingPassThru::Init. Every
// IMediaSeeking and IMediaPosition call is then answered by the same interface of the
// upstream output pin connected to that input pin. The input pin is held without a
// reference: it belongs to the filter that owns this object.
#include "platform/builtin.h"
#include "platform/runtime.h"

#include <mutex>
#include <new>

namespace platform {
namespace {

class SeekingPassThru final : public ISeekingPassThru, public IMediaSeeking, public WithoutAutomation<IMediaPosition> {
public:
    explicit SeekingPassThru(IUnknown* outer) : m_inner(this), m_outer(outer ? outer : &m_inner) {}

    // The non-delegating IUnknown an aggregating object holds.
    IUnknown* NonDelegating() { return &m_inner; }

    // IUnknown of every other interface: the outer object's (or our own when not aggregated).
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_outer->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return m_outer->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_outer->Release(); }

    // ISeekingPassThru
    STDMETHODIMP Init(BOOL, IPin* pPin) override
    {
        if (!pPin) return E_POINTER;
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_pin) return E_FAIL;  // already initialised
        m_pin = pPin;
        return S_OK;
    }

    // IMediaSeeking
    STDMETHODIMP GetCapabilities(DWORD* p) override { return Seek([&](IMediaSeeking* s) { return s->GetCapabilities(p); }); }
    STDMETHODIMP CheckCapabilities(DWORD* p) override { return Seek([&](IMediaSeeking* s) { return s->CheckCapabilities(p); }); }
    STDMETHODIMP IsFormatSupported(const GUID* f) override { return Seek([&](IMediaSeeking* s) { return s->IsFormatSupported(f); }); }
    STDMETHODIMP QueryPreferredFormat(GUID* f) override { return Seek([&](IMediaSeeking* s) { return s->QueryPreferredFormat(f); }); }
    STDMETHODIMP GetTimeFormat(GUID* f) override { return Seek([&](IMediaSeeking* s) { return s->GetTimeFormat(f); }); }
    STDMETHODIMP IsUsingTimeFormat(const GUID* f) override { return Seek([&](IMediaSeeking* s) { return s->IsUsingTimeFormat(f); }); }
    STDMETHODIMP SetTimeFormat(const GUID* f) override { return Seek([&](IMediaSeeking* s) { return s->SetTimeFormat(f); }); }
    STDMETHODIMP GetDuration(LONGLONG* d) override { return Seek([&](IMediaSeeking* s) { return s->GetDuration(d); }); }
    STDMETHODIMP GetStopPosition(LONGLONG* p) override { return Seek([&](IMediaSeeking* s) { return s->GetStopPosition(p); }); }
    STDMETHODIMP GetCurrentPosition(LONGLONG* p) override { return Seek([&](IMediaSeeking* s) { return s->GetCurrentPosition(p); }); }
    STDMETHODIMP ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                                   const GUID* sourceFormat) override
    {
        return Seek([&](IMediaSeeking* s) { return s->ConvertTimeFormat(target, targetFormat, source, sourceFormat); });
    }
    STDMETHODIMP SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override
    {
        return Seek([&](IMediaSeeking* s) { return s->SetPositions(current, currentFlags, stop, stopFlags); });
    }
    STDMETHODIMP GetPositions(LONGLONG* current, LONGLONG* stop) override { return Seek([&](IMediaSeeking* s) { return s->GetPositions(current, stop); }); }
    STDMETHODIMP GetAvailable(LONGLONG* earliest, LONGLONG* latest) override
    {
        return Seek([&](IMediaSeeking* s) { return s->GetAvailable(earliest, latest); });
    }
    STDMETHODIMP SetRate(double rate) override { return Seek([&](IMediaSeeking* s) { return s->SetRate(rate); }); }
    STDMETHODIMP GetRate(double* rate) override { return Seek([&](IMediaSeeking* s) { return s->GetRate(rate); }); }
    STDMETHODIMP GetPreroll(LONGLONG* p) override { return Seek([&](IMediaSeeking* s) { return s->GetPreroll(p); }); }

    // IMediaPosition
    STDMETHODIMP get_Duration(REFTIME* p) override { return Position([&](IMediaPosition* m) { return m->get_Duration(p); }); }
    STDMETHODIMP put_CurrentPosition(REFTIME t) override { return Position([&](IMediaPosition* m) { return m->put_CurrentPosition(t); }); }
    STDMETHODIMP get_CurrentPosition(REFTIME* p) override { return Position([&](IMediaPosition* m) { return m->get_CurrentPosition(p); }); }
    STDMETHODIMP get_StopTime(REFTIME* p) override { return Position([&](IMediaPosition* m) { return m->get_StopTime(p); }); }
    STDMETHODIMP put_StopTime(REFTIME t) override { return Position([&](IMediaPosition* m) { return m->put_StopTime(t); }); }
    STDMETHODIMP get_PrerollTime(REFTIME* p) override { return Position([&](IMediaPosition* m) { return m->get_PrerollTime(p); }); }
    STDMETHODIMP put_PrerollTime(REFTIME t) override { return Position([&](IMediaPosition* m) { return m->put_PrerollTime(t); }); }
    STDMETHODIMP put_Rate(double r) override { return Position([&](IMediaPosition* m) { return m->put_Rate(r); }); }
    STDMETHODIMP get_Rate(double* r) override { return Position([&](IMediaPosition* m) { return m->get_Rate(r); }); }
    STDMETHODIMP CanSeekForward(LONG* p) override { return Position([&](IMediaPosition* m) { return m->CanSeekForward(p); }); }
    STDMETHODIMP CanSeekBackward(LONG* p) override { return Position([&](IMediaPosition* m) { return m->CanSeekBackward(p); }); }

private:
    class Inner final : public IUnknown {
    public:
        explicit Inner(SeekingPassThru* owner) : m_owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            if (!ppv) return E_POINTER;
            if (riid == IID_IUnknown) *ppv = static_cast<IUnknown*>(this);
            else if (riid == IID_ISeekingPassThru) *ppv = static_cast<ISeekingPassThru*>(m_owner);
            else if (riid == IID_IMediaSeeking) *ppv = static_cast<IMediaSeeking*>(m_owner);
            else if (riid == IID_IMediaPosition || riid == IID_IDispatch) *ppv = static_cast<IMediaPosition*>(m_owner);
            else {
                *ppv = nullptr;
                return E_NOINTERFACE;
            }
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return m_ref.Increment(); }
        STDMETHODIMP_(ULONG) Release() override
        {
            return m_ref.Release([this] { delete m_owner; });
        }

    private:
        SeekingPassThru* m_owner;
        RefCount m_ref;
    };

    // The upstream pin's interface `iid`, with a reference, or why there is none: the object
    // was never given a pin (E_UNEXPECTED), the pin is not connected (VFW_E_NOT_CONNECTED) or
    // the upstream pin does not offer the interface (E_NOTIMPL).
    HRESULT Upstream(REFIID iid, void** ppv)
    {
        *ppv = nullptr;
        IPin* pin;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            pin = m_pin;
        }
        if (!pin) return E_UNEXPECTED;
        IPin* peer = nullptr;
        if (FAILED(pin->ConnectedTo(&peer)) || !peer) return VFW_E_NOT_CONNECTED;
        HRESULT hr = peer->QueryInterface(iid, ppv);
        peer->Release();
        if (FAILED(hr) || !*ppv) {
            *ppv = nullptr;
            return E_NOTIMPL;
        }
        return S_OK;
    }
    template <typename Call>
    HRESULT Seek(Call call)
    {
        IMediaSeeking* upstream = nullptr;
        HRESULT hr = Upstream(IID_IMediaSeeking, reinterpret_cast<void**>(&upstream));
        if (FAILED(hr)) return hr;
        hr = call(upstream);
        upstream->Release();
        return hr;
    }
    template <typename Call>
    HRESULT Position(Call call)
    {
        IMediaPosition* upstream = nullptr;
        HRESULT hr = Upstream(IID_IMediaPosition, reinterpret_cast<void**>(&upstream));
        if (FAILED(hr)) return hr;
        hr = call(upstream);
        upstream->Release();
        return hr;
    }

    Inner m_inner;
    IUnknown* const m_outer;
    std::mutex m_lock;
    IPin* m_pin = nullptr;
};

HRESULT CreateSeekingPassThru(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) SeekingPassThru(outer);
    if (!object) return E_OUTOFMEMORY;
    IUnknown* inner = object->NonDelegating();
    HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();
    return hr;
}

const BuiltinClass registration(CLSID_SeekingPassThru, CreateSeekingPassThru);

}  // namespace
}  // namespace platform
