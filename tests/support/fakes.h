// The test doubles that tests and fuzz targets share: a call log, media samples, allocators,
// pins, a graph that only takes events and a scripted stream. Each records the calls it gets in a shared log
// (when given one), so tests can check the order of what a filter or the graph runtime does.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fakes {

// An ordered record of calls, written from any thread.
class CallLog {
public:
    void Add(const std::string& entry)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(entry);
    }
    std::vector<std::string> Entries() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }
    // The entries so far, leaving the log empty.
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> entries;
        entries.swap(m_entries);
        return entries;
    }
    size_t Count(const std::string& entry) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const auto& e : m_entries) n += e == entry;
        return n;
    }
    // Position of the first entry equal to `entry`, or -1.
    int IndexOf(const std::string& entry) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < m_entries.size(); ++i)
            if (m_entries[i] == entry) return static_cast<int>(i);
        return -1;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

// Reference counting for the fakes. They start with one reference, the creator's; Release
// to zero deletes, so one made on the stack must keep its creator's reference (a test then
// checks `refs` to see that every reference taken was given back). `live` counts the objects
// not yet destroyed.
template <class Derived>
class Counted {
public:
    static std::atomic<int>& live()
    {
        static std::atomic<int> count{0};
        return count;
    }
    Counted() { ++live(); }
    virtual ~Counted() { --live(); }
    ULONG DoAddRef() { return static_cast<ULONG>(++refs); }
    // QueryInterface's answer: `itf` (null when the interface is not offered) with a
    // reference added, through `ppv`.
    HRESULT Offer(void* itf, void** ppv)
    {
        if (!ppv) return E_POINTER;
        *ppv = itf;
        if (!itf) return E_NOINTERFACE;
        DoAddRef();
        return S_OK;
    }
    ULONG DoRelease()
    {
        const LONG r = --refs;
        if (r == 0) delete this;
        return static_cast<ULONG>(r);
    }

    std::atomic<LONG> refs{1};
};

// IMediaSeeking over a stream of kDuration units, recording the positions and rate set. The
// object deriving from it supplies IUnknown.
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

// A media sample over its own buffer. Its timing and flags live in one AM_SAMPLE2_PROPERTIES
// record that both the IMediaSample calls and (when offered) IMediaSample2 read and write.
class FakeSample : public IMediaSample2, public Counted<FakeSample> {
public:
    explicit FakeSample(LONG size, bool offersSample2 = true) : m_buffer(size), m_offers2(offersSample2)
    {
        std::memset(&props, 0, sizeof props);
        props.cbData = sizeof props;
        props.cbBuffer = size;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool offered = IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMediaSample) ||
                             (m_offers2 && IsEqualGUID(riid, IID_IMediaSample2));
        return Offer(offered ? static_cast<IMediaSample2*>(this) : nullptr, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

    STDMETHODIMP GetPointer(BYTE** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = m_buffer.data();
        return S_OK;
    }
    STDMETHODIMP_(LONG) GetSize() override { return static_cast<LONG>(m_buffer.size()); }
    STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override
    {
        if (!(props.dwSampleFlags & AM_SAMPLE_TIMEVALID)) return VFW_E_SAMPLE_TIME_NOT_SET;
        *start = props.tStart;
        if (!(props.dwSampleFlags & AM_SAMPLE_STOPVALID)) {
            *stop = static_cast<REFERENCE_TIME>(static_cast<uint64_t>(props.tStart) + 1);  // wraps, as the platform's
            return VFW_S_NO_STOP_TIME;
        }
        *stop = props.tStop;
        return S_OK;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override
    {
        calls.push_back("SetTime");
        props.dwSampleFlags &= ~(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID);
        if (start) {
            props.tStart = *start;
            props.dwSampleFlags |= AM_SAMPLE_TIMEVALID;
            if (stop) {
                props.tStop = *stop;
                props.dwSampleFlags |= AM_SAMPLE_STOPVALID;
            }
        }
        return S_OK;
    }
    STDMETHODIMP IsSyncPoint() override { return Flag(AM_SAMPLE_SPLICEPOINT); }
    STDMETHODIMP SetSyncPoint(BOOL on) override { return SetFlag("SetSyncPoint", AM_SAMPLE_SPLICEPOINT, on); }
    STDMETHODIMP IsPreroll() override { return Flag(AM_SAMPLE_PREROLL); }
    STDMETHODIMP SetPreroll(BOOL on) override { return SetFlag("SetPreroll", AM_SAMPLE_PREROLL, on); }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return props.lActual; }
    STDMETHODIMP SetActualDataLength(LONG length) override
    {
        if (length < 0 || length > GetSize()) return VFW_E_BUFFER_OVERFLOW;
        props.lActual = length;
        return S_OK;
    }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** pp) override
    {
        *pp = nullptr;
        if (!typeToAnnounce) return S_FALSE;
        *pp = typeToAnnounce();
        return *pp ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return Flag(AM_SAMPLE_DATADISCONTINUITY); }
    STDMETHODIMP SetDiscontinuity(BOOL on) override
    {
        return SetFlag("SetDiscontinuity", AM_SAMPLE_DATADISCONTINUITY, on);
    }
    STDMETHODIMP GetMediaTime(LONGLONG* start, LONGLONG* stop) override
    {
        if (!hasMediaTime) return VFW_E_MEDIA_TIME_NOT_SET;
        *start = mediaStart;
        *stop = mediaStop;
        return S_OK;
    }
    STDMETHODIMP SetMediaTime(LONGLONG* start, LONGLONG* stop) override
    {
        calls.push_back("SetMediaTime");
        hasMediaTime = start && stop;
        if (hasMediaTime) {
            mediaStart = *start;
            mediaStop = *stop;
        }
        return S_OK;
    }
    STDMETHODIMP GetProperties(DWORD cb, BYTE* pb) override
    {
        calls.push_back("GetProperties " + std::to_string(cb));
        if (cb > sizeof props) cb = sizeof props;
        AM_SAMPLE2_PROPERTIES copy = props;
        copy.pbBuffer = m_buffer.data();
        copy.cbBuffer = GetSize();
        std::memcpy(pb, &copy, cb);
        return S_OK;
    }
    STDMETHODIMP SetProperties(DWORD cb, const BYTE* pb) override
    {
        calls.push_back("SetProperties " + std::to_string(cb));
        if (cb > sizeof props) return E_INVALIDARG;
        std::memcpy(&props, pb, cb);
        return S_OK;
    }

    BYTE* data() { return m_buffer.data(); }

    AM_SAMPLE2_PROPERTIES props;
    bool hasMediaTime = false;
    LONGLONG mediaStart = 0, mediaStop = 0;
    // Makes GetMediaType announce a type change with the record it returns.
    std::function<AM_MEDIA_TYPE*()> typeToAnnounce;
    std::vector<std::string> calls;

private:
    HRESULT Flag(DWORD bit) { return (props.dwSampleFlags & bit) ? S_OK : S_FALSE; }
    HRESULT SetFlag(const char* name, DWORD bit, BOOL on)
    {
        calls.push_back(std::string(name) + (on ? " 1" : " 0"));
        if (on) props.dwSampleFlags |= bit;
        else props.dwSampleFlags &= ~bit;
        return S_OK;
    }

    std::vector<BYTE> m_buffer;
    bool m_offers2;
};

// An allocator that hands out fresh FakeSamples and records, as "name.Call", its commits,
// decommits and buffer requests.
class FakeAllocator : public IMemAllocator, public Counted<FakeAllocator> {
public:
    explicit FakeAllocator(CallLog* log, std::string name = "alloc") : m_log(log), m_name(std::move(name)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool offered = IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMemAllocator);
        return Offer(offered ? static_cast<IMemAllocator*>(this) : nullptr, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

    STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override
    {
        requested = *request;
        if (FAILED(setPropertiesResult)) return setPropertiesResult;
        granted = *request;
        if (grantCount >= 0) granted.cBuffers = grantCount;
        if (grantSize >= 0) granted.cbBuffer = grantSize;
        *actual = granted;
        return S_OK;
    }
    STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override
    {
        if (FAILED(getPropertiesResult)) return getPropertiesResult;
        *props = granted;
        return S_OK;
    }
    STDMETHODIMP Commit() override { return Note("Commit"), commitResult; }
    STDMETHODIMP Decommit() override { return Note("Decommit"), decommitResult; }
    STDMETHODIMP GetBuffer(IMediaSample** pp, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override
    {
        Note("GetBuffer");
        lastFlags = flags;
        lastHadStart = start != nullptr;
        lastHadStop = stop != nullptr;
        *pp = nullptr;
        if (FAILED(getBufferResult)) return getBufferResult;
        FakeSample* sample = new FakeSample(granted.cbBuffer > 0 ? granted.cbBuffer : 64, samplesOffer2);
        sample->props.dwSampleFlags = newSampleFlags;
        sample->props.lActual = 7;
        *pp = sample;
        return S_OK;
    }
    STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return S_OK; }

    ALLOCATOR_PROPERTIES requested = {};
    ALLOCATOR_PROPERTIES granted = {};
    LONG grantCount = -1;
    LONG grantSize = -1;
    HRESULT setPropertiesResult = S_OK;
    HRESULT getPropertiesResult = S_OK;
    HRESULT commitResult = S_OK;
    HRESULT decommitResult = S_OK;
    HRESULT getBufferResult = S_OK;
    bool samplesOffer2 = true;
    DWORD newSampleFlags = 0;
    DWORD lastFlags = 0;
    bool lastHadStart = false;
    bool lastHadStop = false;

private:
    void Note(const char* call)
    {
        if (m_log) m_log->Add(m_name + "." + call);
    }

    CallLog* m_log;
    std::string m_name;
};

// A pin that connects to any pin. As the pin of a neighbouring filter (made with a log and a
// name) it records what is asked of it as "name.Call" and, as an input pin, offers
// IMemInputPin and keeps a copy of what each received sample held. As the pin of a fake
// filter (made with its owner) it names that filter in its PIN_INFO, without holding a
// reference on it, and may answer IMediaSeeking, as the upstream end of a seeking
// pass-through does.
class FakePin : public IPin,
                public IMemInputPin,
                public IQualityControl,
                public SeekingAnswers,
                public Counted<FakePin> {
public:
    struct Received {
        IMediaSample* identity;  // no reference; for comparison only
        std::vector<BYTE> data;
        AM_SAMPLE2_PROPERTIES props;
    };

    FakePin(CallLog* log, std::string name, PIN_DIRECTION dir) : m_log(log), m_name(std::move(name)), m_dir(dir) {}
    FakePin(IBaseFilter* owner, PIN_DIRECTION dir, bool seeking = false)
        : m_dir(dir), m_owner(owner), m_seeking(seeking)
    {
    }
    ~FakePin() override
    {
        if (m_connected) m_connected->Release();
        if (allocator) allocator->Release();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        void* itf = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPin)) itf = static_cast<IPin*>(this);
        if (m_dir == PINDIR_INPUT && IsEqualGUID(riid, IID_IMemInputPin)) itf = static_cast<IMemInputPin*>(this);
        if (IsEqualGUID(riid, IID_IQualityControl)) itf = static_cast<IQualityControl*>(this);
        if (m_seeking && IsEqualGUID(riid, IID_IMediaSeeking)) itf = static_cast<IMediaSeeking*>(this);
        return Offer(itf, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

    // IPin. Connect proposes `pmt`, or a bare audio type without one.
    STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE* pmt) override
    {
        if (!receiver) return E_POINTER;
        if (m_connected) return VFW_E_ALREADY_CONNECTED;
        AM_MEDIA_TYPE type = {};
        type.majortype = MEDIATYPE_Audio;
        HRESULT hr = receiver->ReceiveConnection(this, pmt ? pmt : &type);
        if (SUCCEEDED(hr)) (m_connected = receiver)->AddRef();
        return hr;
    }
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE*) override
    {
        Note("ReceiveConnection");
        if (!connector) return E_POINTER;
        if (FAILED(receiveConnectionResult)) return receiveConnectionResult;
        if (m_connected) return VFW_E_ALREADY_CONNECTED;
        (m_connected = connector)->AddRef();
        return S_OK;
    }
    STDMETHODIMP Disconnect() override
    {
        if (!m_connected) return S_FALSE;
        m_connected->Release();
        m_connected = nullptr;
        return S_OK;
    }
    STDMETHODIMP ConnectedTo(IPin** pp) override
    {
        if (!pp) return E_POINTER;
        *pp = m_connected;
        if (!m_connected) return VFW_E_NOT_CONNECTED;
        m_connected->AddRef();
        return S_OK;
    }
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override
    {
        if (!info) return E_POINTER;
        std::memset(info, 0, sizeof *info);
        if ((info->pFilter = m_owner) != nullptr) m_owner->AddRef();
        info->dir = m_dir;
        return S_OK;
    }
    STDMETHODIMP QueryDirection(PIN_DIRECTION* dir) override
    {
        if (!dir) return E_POINTER;
        *dir = m_dir;
        return S_OK;
    }
    STDMETHODIMP QueryId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** pp) override
    {
        if (pp) *pp = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndOfStream() override { return Note("EndOfStream"), S_OK; }
    STDMETHODIMP BeginFlush() override { return Note("BeginFlush"), S_OK; }
    STDMETHODIMP EndFlush() override { return Note("EndFlush"), S_OK; }
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override
    {
        Note("NewSegment " + std::to_string(start) + " " + std::to_string(stop) + " " + std::to_string(rate));
        return S_OK;
    }

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator** pp) override
    {
        *pp = allocator;
        if (!allocator) return VFW_E_NO_ALLOCATOR;
        allocator->AddRef();
        return S_OK;
    }
    STDMETHODIMP NotifyAllocator(IMemAllocator*, BOOL) override
    {
        Note("NotifyAllocator");
        return S_OK;
    }
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    STDMETHODIMP Receive(IMediaSample* sample) override
    {
        Note("Receive");
        Received r;
        r.identity = sample;
        std::memset(&r.props, 0, sizeof r.props);
        IMediaSample2* s2 = nullptr;
        if (SUCCEEDED(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&s2))) && s2) {
            s2->GetProperties(sizeof r.props, reinterpret_cast<BYTE*>(&r.props));
            s2->Release();
        }
        BYTE* p = nullptr;
        sample->GetPointer(&p);
        LONG n = sample->GetActualDataLength();
        if (p && n > 0) r.data.assign(p, p + n);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back(std::move(r));
        }
        return receiveResult;
    }
    STDMETHODIMP ReceiveMultiple(IMediaSample**, LONG, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP ReceiveCanBlock() override { return S_FALSE; }

    // IQualityControl
    STDMETHODIMP Notify(IBaseFilter*, Quality) override
    {
        Note("Notify");
        return S_OK;
    }
    STDMETHODIMP SetSink(IQualityControl*) override { return S_OK; }

    std::vector<Received> ReceivedSamples() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    IPin* Connected() const { return m_connected; }
    // Hands out `a` from GetAllocator from now on (taking a reference on it).
    void SetAllocator(IMemAllocator* a)
    {
        if (a) a->AddRef();
        if (allocator) allocator->Release();
        allocator = a;
    }

    IMemAllocator* allocator = nullptr;  // one reference, handed out by GetAllocator
    HRESULT receiveConnectionResult = S_OK;
    HRESULT receiveResult = S_OK;

private:
    void Note(const std::string& call)
    {
        if (m_log) m_log->Add(m_name + "." + call);
    }

    CallLog* m_log = nullptr;
    std::string m_name;
    PIN_DIRECTION m_dir;
    IBaseFilter* m_owner = nullptr;
    bool m_seeking = false;
    IPin* m_connected = nullptr;
    mutable std::mutex m_mutex;
    std::vector<Received> m_received;
};

// A graph that only takes events: it keeps each in `events` and records it in the log as
// "Event code p1 p2". It may refuse to offer its event sink.
class FakeGraph : public IFilterGraph, public IMediaEventSink, public Counted<FakeGraph> {
public:
    struct Event {
        LONG code;
        LONG_PTR p1, p2;
    };

    explicit FakeGraph(CallLog* log = nullptr) : m_log(log) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        void* itf = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IFilterGraph))
            itf = static_cast<IFilterGraph*>(this);
        if (offersSink && IsEqualGUID(riid, IID_IMediaEventSink)) itf = static_cast<IMediaEventSink*>(this);
        return Offer(itf, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

    STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }

    STDMETHODIMP Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override
    {
        if (m_log) m_log->Add("Event " + std::to_string(code) + " " + std::to_string(p1) + " " + std::to_string(p2));
        std::lock_guard<std::mutex> lock(m_mutex);
        events.push_back({code, p1, p2});
        return S_OK;
    }

    bool offersSink = true;
    std::vector<Event> events;  // read it once the filters are quiet

private:
    CallLog* m_log;
    std::mutex m_mutex;
};

// A stream whose reads follow a script: each step says how many bytes the read hands over
// (no more than asked for or left) and what it answers; a failing step hands over nothing.
// Past the script a read hands over what is asked for while bytes are left; a read cut
// short answers `failure` if that is set, else `endResult`. Writes answer `writeResult`.
class ScriptedStream : public IStream, public Counted<ScriptedStream> {
public:
    struct Step {
        ULONG bytes;
        HRESULT result;
    };

    explicit ScriptedStream(std::vector<BYTE> bytes = {}, std::vector<Step> script = {})
        : m_bytes(std::move(bytes)), m_script(std::move(script))
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool offered = IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_ISequentialStream) ||
                             IsEqualGUID(riid, IID_IStream);
        return Offer(offered ? static_cast<IStream*>(this) : nullptr, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return DoAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return DoRelease(); }

    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        ++reads;
        if (pcbRead) *pcbRead = 0;
        if (!pv) return ++readsIntoNothing, E_POINTER;
        const bool scripted = m_step < m_script.size();
        const Step step = scripted ? m_script[m_step++] : Step{cb, S_OK};
        ULONG n = step.bytes < cb ? step.bytes : cb;
        const size_t left = m_bytes.size() - m_next;
        if (n > left) n = static_cast<ULONG>(left);
        if (FAILED(step.result)) n = 0;
        if (n) std::memcpy(pv, m_bytes.data() + m_next, n);
        m_next += n;
        if (pcbRead) *pcbRead = n;
        if (scripted || n == cb) return step.result;
        return FAILED(failure) ? failure : endResult;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override
    {
        ++writes;
        return writeResult;
    }
    STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

    HRESULT failure = S_OK;
    HRESULT endResult = S_OK;
    HRESULT writeResult = S_OK;
    int reads = 0;
    int readsIntoNothing = 0;
    int writes = 0;

private:
    std::vector<BYTE> m_bytes;
    std::vector<Step> m_script;
    size_t m_step = 0;
    size_t m_next = 0;
};

}  // namespace fakes
