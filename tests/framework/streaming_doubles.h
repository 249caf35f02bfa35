// Hand-written stand-ins for the objects a filter meets (peer pins, samples, a clock) beside
// the kit's allocator and graph, and small filters and pins built on the framework, for tests
// that need exact call orders. The stand-ins here live on the stack and never delete
// themselves; `refs` starts at 1 (the test's own) so a test can check that every reference
// the framework took was given back.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "framework/base_filter.h"
#include "framework/base_pin.h"
#include "framework/input_pin.h"
#include "framework/output_pin.h"
#include "tests/support/fakes.h"

namespace doubles {

using fakes::CallLog;
using fakes::FakeAllocator;
using fakes::FakeGraph;
using Log = std::vector<std::string>;  // entries a test expects in a CallLog

#define DOUBLE_REFCOUNT                                                       \
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }                 \
    STDMETHODIMP_(ULONG) Release() override { return --refs; }                \
    std::atomic<LONG> refs{1};

inline const GUID kMajor = {0x6d616a31, 0, 0x10, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
inline const GUID kOtherMajor = {0x6d616a32, 0, 0x10, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
inline const GUID kFormat = {0x666d7431, 0, 0x10, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
inline const CLSID kFilterClsid = {0x1f17e701, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};

// A complete type named by one letter (kept in the subtype).
inline CMediaType MakeType(char name, const GUID& major = kMajor)
{
    CMediaType mt;
    mt.majortype = major;
    mt.subtype = GUID_NULL;
    mt.subtype.Data1 = static_cast<uint32_t>(name);
    mt.formattype = kFormat;
    return mt;
}
inline std::string Name(const AM_MEDIA_TYPE* mt) { return mt ? std::string(1, char(mt->subtype.Data1)) : "-"; }

template <class T>
ULONG RefCount(T* object)
{
    object->AddRef();
    return object->Release();
}

// Holds one reference on a framework object created with new.
template <class T>
struct Owned {
    explicit Owned(T* object) : p(object) { p->AddRef(); }
    ~Owned() { p->Release(); }
    T* operator->() const { return p; }
    T* p;
};

class FakeClock : public IReferenceClock {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    DOUBLE_REFCOUNT
    STDMETHODIMP GetTime(REFERENCE_TIME* t) override { return *t = now, S_OK; }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
    REFERENCE_TIME now = 0;
};

// A sample without IMediaSample2, answering from its fields.
class PlainSample : public IMediaSample {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    DOUBLE_REFCOUNT
    STDMETHODIMP GetPointer(BYTE** p) override { return *p = data, S_OK; }
    STDMETHODIMP_(LONG) GetSize() override { return sizeof data; }
    STDMETHODIMP GetTime(REFERENCE_TIME* a, REFERENCE_TIME* b) override { return *a = start, *b = stop, timeResult; }
    STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    STDMETHODIMP IsSyncPoint() override { return sync ? S_OK : S_FALSE; }
    STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP IsPreroll() override { return preroll ? S_OK : S_FALSE; }
    STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return actual; }
    STDMETHODIMP SetActualDataLength(LONG) override { return E_NOTIMPL; }
    // Hands out a fresh copy of `type`, the caller's to free.
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** out) override
    {
        *out = nullptr;
        if (!hasType) return S_FALSE;
        *out = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        CopyMediaType(*out, &type);
        return S_OK;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return discontinuity ? S_OK : S_FALSE; }
    STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    bool sync = false, preroll = false, discontinuity = false, hasType = false;
    HRESULT timeResult = VFW_E_SAMPLE_TIME_NOT_SET;
    REFERENCE_TIME start = 0, stop = 0;
    LONG actual = 0;
    CMediaType type;
    BYTE data[32] = {};
};

// Stands in for an object carried by a media type, to see references come back.
class Marker : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    DOUBLE_REFCOUNT
};

// A media-type enumerator over a copy of a list; it deletes itself on its last Release.
class TypeEnum final : public IEnumMediaTypes {
public:
    explicit TypeEnum(std::vector<CMediaType> types) : types(std::move(types)) {}
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG n = --refs;
        if (n == 0) delete this;
        return n;
    }
    STDMETHODIMP Next(ULONG, AM_MEDIA_TYPE** out, ULONG* fetched) override
    {
        if (pos >= types.size()) return *fetched = 0, S_FALSE;
        *out = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        CopyMediaType(*out, &types[pos++]);
        return *fetched = 1, S_OK;
    }
    STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
    STDMETHODIMP Reset() override { return pos = 0, S_OK; }
    STDMETHODIMP Clone(IEnumMediaTypes**) override { return E_NOTIMPL; }
    std::vector<CMediaType> types;
    size_t pos = 0;
    ULONG refs = 1;
};

// The pin of a neighbouring filter: an input pin by default, with IMemInputPin unless told
// otherwise. Records what is asked of it in `log` with the prefix "peer.".
class PeerPin : public IPin, public IMemInputPin {
public:
    explicit PeerPin(CallLog* log, PIN_DIRECTION dir = PINDIR_INPUT) : log(log), dir(dir) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_IPin) || IsEqualGUID(riid, IID_IUnknown)) *ppv = static_cast<IPin*>(this);
        if (IsEqualGUID(riid, IID_IMemInputPin) && hasMemInput) *ppv = static_cast<IMemInputPin*>(this);
        if (!*ppv) return E_NOINTERFACE;
        return AddRef(), S_OK;
    }
    DOUBLE_REFCOUNT
    STDMETHODIMP Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveConnection(IPin*, const AM_MEDIA_TYPE* mt) override
    {
        log->Add("peer.ReceiveConnection " + Name(mt));
        auto it = refuse.find(Name(mt)[0]);
        return it == refuse.end() ? S_OK : it->second;
    }
    STDMETHODIMP Disconnect() override { return log->Add("peer.Disconnect"), S_OK; }
    STDMETHODIMP ConnectedTo(IPin**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* d) override { return *d = dir, S_OK; }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** out) override
    {
        log->Add("peer.EnumMediaTypes");
        return *out = new TypeEnum(types), S_OK;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return log->Add("peer.EndOfStream"), S_OK; }
    STDMETHODIMP BeginFlush() override { return log->Add("peer.BeginFlush"), S_OK; }
    STDMETHODIMP EndFlush() override { return log->Add("peer.EndFlush"), S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override
    {
        return log->Add("peer.NewSegment"), S_OK;
    }
    STDMETHODIMP GetAllocator(IMemAllocator** out) override
    {
        log->Add("peer.GetAllocator");
        *out = allocator;
        if (allocator) allocator->AddRef();
        return allocator ? S_OK : VFW_E_NO_ALLOCATOR;
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator* a, BOOL readOnly) override
    {
        log->Add(std::string("peer.NotifyAllocator ") + (a == allocator ? "theirs" : "other") +
                       (readOnly ? " read-only" : ""));
        return S_OK;
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    STDMETHODIMP Receive(IMediaSample*) override { return log->Add("peer.Receive"), S_OK; }
    STDMETHODIMP ReceiveMultiple(IMediaSample**, LONG, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveCanBlock() override { return canBlock; }

    CallLog* log;
    PIN_DIRECTION dir;
    bool hasMemInput = true;
    std::vector<CMediaType> types;        // offered by EnumMediaTypes
    std::map<char, HRESULT> refuse;       // ReceiveConnection's failure by type name
    IMemAllocator* allocator = nullptr;   // handed out by GetAllocator
    HRESULT canBlock = S_OK;
};

// Records the framework's calls into a pin's hooks, with scripted answers.
template <class Base>
class Scripted : public Base {
public:
    template <class... Args>
    Scripted(CallLog* log, const char* tag, Args... args) : Base("pin", args...), log(log), tag(tag)
    {
    }
    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        Note("CheckMediaType " + Name(mt));
        auto it = verdicts.find(Name(mt)[0]);
        return it == verdicts.end() ? S_OK : it->second;
    }
    HRESULT GetMediaType(int i, CMediaType* mt) override
    {
        if (i < 0 || i >= int(offered.size())) return VFW_S_NO_MORE_ITEMS;
        return *mt = offered[i], S_OK;
    }
    HRESULT SetMediaType(const CMediaType* mt) override
    {
        Note("SetMediaType " + Name(mt));
        return FAILED(setTypeResult) ? setTypeResult : Base::SetMediaType(mt);
    }
    HRESULT CheckConnect(IPin* p) override { return Note("CheckConnect"), Base::CheckConnect(p); }
    HRESULT BreakConnect() override { return Note("BreakConnect"), Base::BreakConnect(); }
    HRESULT CompleteConnect(IPin* p) override
    {
        Note("CompleteConnect");
        HRESULT hr = Base::CompleteConnect(p);
        return FAILED(hr) ? hr : completeResult;
    }
    HRESULT Active() override { return Note("Active"), SUCCEEDED(activeResult) ? Base::Active() : activeResult; }
    HRESULT Inactive() override { return Note("Inactive"), SUCCEEDED(inactiveResult) ? Base::Inactive() : inactiveResult; }
    HRESULT Run(REFERENCE_TIME t) override { return Note("Run " + std::to_string(t)), SUCCEEDED(runResult) ? Base::Run(t) : runResult; }
    STDMETHODIMP EndOfStream() override { return Note("EndOfStream"), Base::EndOfStream(); }
    LONG GetMediaTypeVersion() override { return typeVersion; }

    // Marks the pin connected to `peer` without negotiation (and back).
    void Attach(IPin* peer) { this->m_Connected = peer, peer->AddRef(); }
    void Detach() { this->m_Connected->Release(), this->m_Connected = nullptr; }
    void TryMyTypesFirst() { this->m_bTryMyTypesFirst = true; }

    void Note(const std::string& call) { if (log) log->Add(tag + "." + call); }
    CallLog* log;
    std::string tag;
    std::map<char, HRESULT> verdicts;   // CheckMediaType's answer by type name (else S_OK)
    std::vector<CMediaType> offered;    // this pin's GetMediaType list
    HRESULT activeResult = S_OK, inactiveResult = S_OK, runResult = S_OK, completeResult = S_OK;
    HRESULT setTypeResult = S_OK;  // SetMediaType's failure (the type could not be kept)
    LONG typeVersion = 1;
};

// IPin's flushes are left open by the base pin.
class PlainPin : public CBasePin {
public:
    PlainPin(const char* name, CBaseFilter* f, CCritSec* lock, HRESULT* hr, LPCWSTR pin, PIN_DIRECTION dir)
        : CBasePin(name, f, lock, hr, pin, dir) {}
    STDMETHODIMP BeginFlush() override { return S_OK; }
    STDMETHODIMP EndFlush() override { return S_OK; }
};

// An output pin asking for `buffers` buffers of `size` bytes; `refusals` failures first.
class SizingOutputPin : public CBaseOutputPin {
public:
    SizingOutputPin(const char* name, CBaseFilter* f, CCritSec* lock, HRESULT* hr, LPCWSTR pin)
        : CBaseOutputPin(name, f, lock, hr, pin) {}
    HRESULT DecideBufferSize(IMemAllocator* a, ALLOCATOR_PROPERTIES* props) override
    {
        requests.push_back(*props);
        props->cbPrefix += 7;  // a change the next call must see
        if (refusals > 0) return --refusals, E_OUTOFMEMORY;
        ALLOCATOR_PROPERTIES want = {buffers, size, props->cbAlign, 0}, got;
        return a->SetProperties(&want, &got);
    }
    std::vector<ALLOCATOR_PROPERTIES> requests;
    int refusals = 0;
    LONG buffers = 2, size = 256;
};

using TestPin = Scripted<PlainPin>;
using TestInputPin = Scripted<CBaseInputPin>;
using TestOutputPin = Scripted<SizingOutputPin>;

// A filter over a list of pins it owns; an entry may be null.
class TestFilter : public CBaseFilter {
public:
    TestFilter() : CBaseFilter("test filter", nullptr, &lock, kFilterClsid) {}
    ~TestFilter() override
    {
        for (CBasePin* pin : pins) delete pin;
    }
    int GetPinCount() override { return int(pins.size()); }
    CBasePin* GetPin(int n) override { return n >= 0 && n < int(pins.size()) ? pins[n] : nullptr; }
    LONG GetPinVersion() override { return version; }
    const AMOVIESETUP_FILTER* GetSetupData() override { return setup; }
    template <class Pin>
    Pin* Add(Pin* pin) { return pins.push_back(pin), pin; }
    TestPin* AddPin(CallLog* log, const char* tag, LPCWSTR name, PIN_DIRECTION dir = PINDIR_OUTPUT)
    {
        return Add(new TestPin(log, tag, this, &lock, nullptr, name, dir));
    }
    CCritSec lock;
    std::vector<CBasePin*> pins;
    LONG version = 1;
    const AMOVIESETUP_FILTER* setup = nullptr;
};

}  // namespace doubles
