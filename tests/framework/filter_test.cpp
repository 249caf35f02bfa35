// The base filter: run-state changes and what the pins are told, clock and graph membership,
// events, pin lookup, registration with the filter mapper, and the two enumerators.
#include <gtest/gtest.h>

#include <string>

#include "framework/enumerators.h"
#include "framework/wide_string.h"
#include "streaming_doubles.h"

using namespace doubles;

namespace {

// A filter with three pins: "A" and "C" connected to peers, "B" not.
struct ThreePinFilter {
    ThreePinFilter() : filter(new TestFilter), peerA(&log), peerC(&log)
    {
        a = filter->AddPin(&log, "A", WIDE("A"));
        b = filter->AddPin(&log, "B", WIDE("B"));
        c = filter->AddPin(&log, "C", WIDE("C"));
        a->Attach(&peerA);
        c->Attach(&peerC);
    }
    ~ThreePinFilter()
    {
        a->Detach();
        c->Detach();
    }
    FILTER_STATE State()
    {
        FILTER_STATE s;
        EXPECT_EQ(filter->GetState(0, &s), S_OK);
        return s;
    }
    Log Take() { return log.Take(); }

    CallLog log;
    Owned<TestFilter> filter;
    PeerPin peerA, peerC;
    TestPin *a, *b, *c;
};

TEST(BaseFilter, NewFilterAnswersItsQueries)
{
    Owned<TestFilter> filter(new TestFilter);
    FILTER_STATE state;
    EXPECT_EQ(filter->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    IReferenceClock* clock = reinterpret_cast<IReferenceClock*>(1);
    EXPECT_EQ(filter->GetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock, nullptr);
    EXPECT_EQ(filter->GetPinVersion(), 1);
    FILTER_INFO info;
    EXPECT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], 0);
    EXPECT_EQ(info.pGraph, nullptr);
    CLSID clsid;
    EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, kFilterClsid));

    // IMediaFilter and IPersist are the IBaseFilter interface; each hand-out counts.
    IBaseFilter* base = filter.p;
    for (const IID* iid : {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist}) {
        void* out = nullptr;
        EXPECT_EQ(filter->QueryInterface(*iid, &out), S_OK);
        EXPECT_EQ(out, base);
        base->Release();
    }
    void* setup = nullptr;
    EXPECT_EQ(filter->QueryInterface(IID_IAMovieSetup, &setup), S_OK);
    EXPECT_EQ(setup, static_cast<IAMovieSetup*>(filter.p));
    static_cast<IAMovieSetup*>(setup)->Release();
    void* none = &setup;
    EXPECT_EQ(filter->QueryInterface(IID_IPin, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(filter->QueryInterface(IID_IBaseFilter, nullptr), E_POINTER);
    EXPECT_EQ(RefCount(filter.p), 1u);
}

TEST(BaseFilter, StateChangesTellOnlyConnectedPinsInIndexOrder)
{
    ThreePinFilter f;
    EXPECT_EQ(f.filter->Stop(), S_OK);
    EXPECT_EQ(f.Take(), Log{});

    EXPECT_EQ(f.filter->Pause(), S_OK);
    EXPECT_EQ(f.Take(), (Log{"A.Active", "C.Active"}));
    EXPECT_EQ(f.State(), State_Paused);
    EXPECT_EQ(f.filter->Pause(), S_OK);
    EXPECT_EQ(f.Take(), Log{});

    EXPECT_EQ(f.filter->Run(77), S_OK);
    EXPECT_EQ(f.Take(), (Log{"A.Run 77", "C.Run 77"}));
    EXPECT_EQ(f.filter->Run(88), S_OK);  // only the start time changes
    EXPECT_EQ(f.Take(), Log{});
    EXPECT_EQ(f.filter->Pause(), S_OK);  // Running to Paused tells nobody
    EXPECT_EQ(f.Take(), Log{});
    EXPECT_EQ(f.State(), State_Paused);

    EXPECT_EQ(f.filter->Stop(), S_OK);
    EXPECT_EQ(f.Take(), (Log{"A.Inactive", "C.Inactive"}));
    EXPECT_EQ(f.State(), State_Stopped);

    // Run from Stopped pauses first, through the lock it already holds.
    EXPECT_EQ(f.filter->Run(5), S_OK);
    EXPECT_EQ(f.Take(), (Log{"A.Active", "C.Active", "A.Run 5", "C.Run 5"}));
    EXPECT_EQ(f.State(), State_Running);
    f.filter->Stop();
}

TEST(BaseFilter, PinFailuresDuringStateChanges)
{
    ThreePinFilter f;
    // Stop goes on past a failing pin, reports the first failure and still ends Stopped.
    f.filter->Pause();
    f.a->inactiveResult = E_FAIL;
    f.c->inactiveResult = E_OUTOFMEMORY;
    f.Take();
    EXPECT_EQ(f.filter->Stop(), E_FAIL);
    EXPECT_EQ(f.Take(), (Log{"A.Inactive", "C.Inactive"}));
    EXPECT_EQ(f.State(), State_Stopped);
    f.a->inactiveResult = f.c->inactiveResult = S_OK;

    // A pin refusing Active leaves the filter Stopped with no pin left active.
    f.c->activeResult = VFW_E_NO_ALLOCATOR;
    EXPECT_EQ(f.filter->Pause(), VFW_E_NO_ALLOCATOR);
    EXPECT_EQ(f.Take(), (Log{"A.Active", "C.Active", "A.Inactive"}));
    EXPECT_EQ(f.State(), State_Stopped);
    EXPECT_EQ(f.filter->Run(1), VFW_E_NO_ALLOCATOR);
    EXPECT_EQ(f.State(), State_Stopped);
    f.c->activeResult = S_OK;
    f.Take();

    // A pin refusing Run leaves the filter Paused, its pins active.
    f.a->runResult = E_UNEXPECTED;
    EXPECT_EQ(f.filter->Run(1), E_UNEXPECTED);
    EXPECT_EQ(f.Take(), (Log{"A.Active", "C.Active", "A.Run 1"}));
    EXPECT_EQ(f.State(), State_Paused);
    EXPECT_EQ(f.filter->Stop(), S_OK);
}

TEST(BaseFilter, PinsAFilterCouldNotCreateAreSkipped)
{
    CallLog log;
    Owned<TestFilter> filter(new TestFilter);
    filter->pins.push_back(nullptr);
    TestPin* real = filter->AddPin(&log, "P", WIDE("P"));
    PeerPin peer(&log);
    real->Attach(&peer);

    EXPECT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(filter->Stop(), S_OK);
    EXPECT_EQ(log.Entries(), (Log{"P.Active", "P.Run 0", "P.Inactive"}));
    IPin* pin = nullptr;
    EXPECT_EQ(filter->FindPin(WIDE("P"), &pin), S_OK);
    pin->Release();

    // The pin enumerator reports the gap and hands out nothing.
    IEnumPins* pins = nullptr;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    IPin* out[2] = {};
    ULONG n = 9;
    EXPECT_EQ(pins->Next(2, out, &n), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(n, 0u);
    pins->Release();
    real->Detach();
    EXPECT_EQ(RefCount(filter.p), 1u);
}

TEST(BaseFilter, StreamTimeIsClockTimeLessStartTime)
{
    Owned<TestFilter> filter(new TestFilter);
    REFERENCE_TIME t = 0;
    EXPECT_EQ(filter->StreamTime(t), VFW_E_NO_CLOCK);

    FakeClock clock;
    EXPECT_EQ(filter->SetSyncSource(&clock), S_OK);
    EXPECT_EQ(filter->SetSyncSource(&clock), S_OK);  // the clock already held stays alive
    EXPECT_EQ(clock.refs, 2);
    EXPECT_EQ(filter->Run(1000), S_OK);
    clock.now = 4500;
    EXPECT_EQ(filter->StreamTime(t), S_OK);
    EXPECT_EQ(t, 3500);

    IReferenceClock* got = nullptr;
    EXPECT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_EQ(got, &clock);
    EXPECT_EQ(clock.refs, 3);
    got->Release();
    EXPECT_EQ(filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(clock.refs, 1);
}

TEST(BaseFilter, FindPinComparesNamesExactly)
{
    CallLog log;
    Owned<TestFilter> filter(new TestFilter);
    TestPin* input = filter->AddPin(&log, "I", WIDE("Input"), PINDIR_INPUT);
    filter->AddPin(&log, "O", WIDE("Output"));

    IPin* pin = nullptr;
    EXPECT_EQ(filter->FindPin(WIDE("Input"), &pin), S_OK);
    EXPECT_EQ(pin, static_cast<IPin*>(input));
    EXPECT_EQ(RefCount(filter.p), 2u);  // the pin's reference is the filter's
    pin->Release();
    pin = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(filter->FindPin(WIDE("input"), &pin), VFW_E_NOT_FOUND);
    EXPECT_EQ(pin, nullptr);
    EXPECT_EQ(filter->FindPin(WIDE("Input"), nullptr), E_POINTER);
}

TEST(BaseFilter, GraphMembershipNameAndEvents)
{
    Owned<TestFilter> filter(new TestFilter);
    FakeGraph graph;
    std::u16string longName(200, u'n');
    longName[126] = u'x';
    ASSERT_EQ(filter->JoinFilterGraph(&graph, reinterpret_cast<const WCHAR*>(longName.c_str())), S_OK);
    EXPECT_EQ(graph.refs, 1);  // the filter keeps neither the graph nor its sink counted

    FILTER_INFO info;
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(WideLength(info.achName), 127u);
    EXPECT_EQ(info.achName[126], u'x');
    EXPECT_EQ(info.pGraph, static_cast<IFilterGraph*>(&graph));
    EXPECT_EQ(graph.refs, 2);
    info.pGraph->Release();

    EXPECT_EQ(filter->NotifyEvent(EC_COMPLETE, 11, 22), S_OK);
    EXPECT_EQ(filter->NotifyEvent(EC_ERRORABORT, 33, 44), S_OK);
    ASSERT_EQ(graph.events.size(), 2u);
    EXPECT_EQ(graph.events[0].p1, 11);
    EXPECT_EQ(graph.events[0].p2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(filter.p)));
    EXPECT_EQ(graph.events[1].p2, 44);

    // A graph without an event sink, then no graph at all.
    FakeGraph mute;
    mute.offersSink = false;
    EXPECT_EQ(filter->JoinFilterGraph(&mute, WIDE("quiet")), S_OK);
    EXPECT_EQ(filter->NotifyEvent(EC_COMPLETE, 0, 0), E_NOTIMPL);
    EXPECT_EQ(filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.achName[0], 0);
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(graph.events.size(), 2u);
}

// ---- Registration -----------------------------------------------------------------------

class RecordingMapper : public IFilterMapper {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    DOUBLE_REFCOUNT
    STDMETHODIMP RegisterFilter(CLSID, LPCWSTR, DWORD merit) override
    {
        return Answer("RegisterFilter " + std::to_string(merit));
    }
    STDMETHODIMP RegisterFilterInstance(CLSID, LPCWSTR, CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP RegisterPin(CLSID, LPCWSTR name, BOOL, BOOL output, BOOL, BOOL, CLSID, LPCWSTR) override
    {
        return Answer("RegisterPin " + Narrow(name) + (output ? " out" : " in"));
    }
    STDMETHODIMP RegisterPinType(CLSID, LPCWSTR name, CLSID, CLSID sub) override
    {
        return Answer("RegisterPinType " + Narrow(name) + " " + char(sub.Data1));
    }
    STDMETHODIMP UnregisterFilter(CLSID) override { return Answer("UnregisterFilter"); }
    STDMETHODIMP UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterPin(CLSID, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP EnumMatchingFilters(IEnumRegFilters**, DWORD, BOOL, CLSID, CLSID, BOOL, BOOL, CLSID, CLSID) override
    {
        return E_NOTIMPL;
    }
    HRESULT Answer(const std::string& call)
    {
        log.push_back(call);
        auto it = failures.find(call);
        return it == failures.end() ? S_OK : it->second;
    }
    static std::string Narrow(LPCWSTR s)
    {
        std::string out;
        for (; s && *s; ++s) out += char(*s);
        return out;
    }
    Log log;
    std::map<std::string, HRESULT> failures;
};

const GUID kSubA = MakeType('a').subtype, kSubB = MakeType('b').subtype, kSubC = MakeType('c').subtype;
const AMOVIESETUP_MEDIATYPE kTypes[] = {{&kMajor, &kSubA}, {&kMajor, &kSubB}, {&kMajor, &kSubC}};
const AMOVIESETUP_PIN kPins[] = {
    {const_cast<LPWSTR>(WIDE("Input")), FALSE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 2, kTypes},
    {const_cast<LPWSTR>(WIDE("Output")), FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kTypes + 2},
};
const AMOVIESETUP_FILTER kSetup = {&kFilterClsid, WIDE("Test Filter"), MERIT_DO_NOT_USE, 2, kPins};

TEST(FilterRegistration, EntersFilterPinsAndTypesInRecordOrder)
{
    RecordingMapper mapper;
    EXPECT_EQ(AMovieSetupRegisterFilter(&kSetup, &mapper, TRUE), S_OK);
    EXPECT_EQ(mapper.log, (Log{"UnregisterFilter", "RegisterFilter 2097152", "RegisterPin Input in",
                               "RegisterPinType Input a", "RegisterPinType Input b", "RegisterPin Output out",
                               "RegisterPinType Output c"}));

    // The first failing call ends the work and is reported.
    RecordingMapper failing;
    failing.failures["RegisterPinType Input b"] = E_ACCESSDENIED;
    EXPECT_EQ(AMovieSetupRegisterFilter(&kSetup, &failing, TRUE), E_ACCESSDENIED);
    EXPECT_EQ(failing.log.back(), "RegisterPinType Input b");

    // Removing a filter the mapper never knew is success.
    RecordingMapper unknown;
    unknown.failures["UnregisterFilter"] = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(AMovieSetupRegisterFilter(&kSetup, &unknown, FALSE), S_OK);
    EXPECT_EQ(unknown.log, Log{"UnregisterFilter"});
    EXPECT_EQ(AMovieSetupRegisterFilter(nullptr, &unknown, TRUE), S_FALSE);
}

TEST(FilterRegistration, RegistersThroughThePlatformMapper)
{
    Owned<TestFilter> filter(new TestFilter);
    EXPECT_EQ(filter->Register(), S_FALSE);  // no setup data
    EXPECT_EQ(filter->Unregister(), S_FALSE);

    IFilterMapper* probe = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                reinterpret_cast<void**>(&probe)))) {
        GTEST_SKIP() << "this platform has no first-generation filter mapper yet";
    }
    probe->Release();
    filter->setup = &kSetup;
    EXPECT_EQ(filter->Register(), S_OK);
    EXPECT_EQ(filter->Unregister(), S_OK);
    EXPECT_EQ(filter->Unregister(), S_OK);  // already gone
}

// ---- Enumerators --------------------------------------------------------------------------

TEST(PinEnumerator, WalksSkipsClonesAndResets)
{
    CallLog log;
    Owned<TestFilter> filter(new TestFilter);
    IPin* first = filter->AddPin(&log, "1", WIDE("1"));
    IPin* second = filter->AddPin(&log, "2", WIDE("2"));
    IEnumPins* pins = nullptr;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    EXPECT_EQ(RefCount(filter.p), 2u);  // the enumerator keeps the filter

    IPin* out[3] = {};
    ULONG n = 0;
    EXPECT_EQ(pins->Next(2, out, &n), S_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(out[0], first);
    EXPECT_EQ(out[1], second);
    out[0]->Release();
    out[1]->Release();
    EXPECT_EQ(pins->Next(1, out, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(pins->Next(2, out, nullptr), E_INVALIDARG);

    EXPECT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Next(3, out, &n), S_FALSE);
    EXPECT_EQ(n, 2u);
    out[0]->Release();
    out[1]->Release();

    pins->Reset();
    EXPECT_EQ(pins->Skip(3), S_FALSE);
    EXPECT_EQ(pins->Skip(1), S_OK);
    EXPECT_EQ(pins->Next(1, out, nullptr), S_OK);
    EXPECT_EQ(out[0], second);
    out[0]->Release();

    // A clone goes on from where the original stands; Reset on it starts over.
    pins->Reset();
    pins->Next(1, out, nullptr);
    out[0]->Release();
    IEnumPins* clone = nullptr;
    ASSERT_EQ(pins->Clone(&clone), S_OK);
    EXPECT_EQ(clone->Next(1, out, nullptr), S_OK);
    EXPECT_EQ(out[0], second);
    out[0]->Release();
    clone->Reset();
    EXPECT_EQ(clone->Next(1, out, nullptr), S_OK);
    EXPECT_EQ(out[0], first);
    out[0]->Release();
    clone->Release();
    pins->Release();
    EXPECT_EQ(RefCount(filter.p), 1u);
}

TEST(PinEnumerator, ChangedPinSetStartsOverWithoutRepeatingPins)
{
    CallLog log;
    Owned<TestFilter> filter(new TestFilter);
    filter->AddPin(&log, "1", WIDE("1"));
    IPin* second = filter->AddPin(&log, "2", WIDE("2"));
    IEnumPins* pins = nullptr;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    IPin* out[2] = {};
    pins->Next(1, out, nullptr);
    out[0]->Release();

    filter->version = 2;
    EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    IEnumPins* clone = reinterpret_cast<IEnumPins*>(1);
    EXPECT_EQ(pins->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    ULONG n = 0;
    EXPECT_EQ(pins->Next(2, out, &n), S_FALSE);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], second);
    out[0]->Release();
    pins->Release();
}

TEST(MediaTypeEnumerator, HandsOutCopiesAndCountsPositions)
{
    CallLog log;
    Owned<TestFilter> filter(new TestFilter);
    TestPin* pin = filter->AddPin(&log, "P", WIDE("P"));
    Marker marker;
    pin->offered = {MakeType('a'), MakeType('b')};
    pin->offered[0].pUnk = &marker;
    marker.AddRef();

    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(pin->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* out[5] = {};
    ULONG n = 0;
    EXPECT_EQ(types->Next(5, out, &n), S_FALSE);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(Name(out[0]) + Name(out[1]), "ab");
    EXPECT_EQ(out[0]->pUnk, &marker);
    EXPECT_EQ(marker.refs, 3);  // the record carries its own reference
    DeleteMediaType(out[0]);
    DeleteMediaType(out[1]);
    EXPECT_EQ(marker.refs, 2);

    types->Reset();
    EXPECT_EQ(types->Skip(2), S_OK);
    types->Reset();
    EXPECT_EQ(types->Skip(3), S_FALSE);
    EXPECT_EQ(types->Next(1, out, nullptr), S_FALSE);  // the position stays past the end

    // A changed type list refuses Next, Skip and Clone until Reset.
    pin->typeVersion = 2;
    EXPECT_EQ(types->Next(1, out, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Skip(0), S_OK);
    IEnumMediaTypes* clone = reinterpret_cast<IEnumMediaTypes*>(1);
    EXPECT_EQ(types->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(clone, nullptr);
    types->Reset();
    EXPECT_EQ(types->Next(1, out, nullptr), S_OK);
    DeleteMediaType(out[0]);
    EXPECT_EQ(RefCount(filter.p), 2u);  // the enumerator's reference on the pin
    types->Release();
    EXPECT_EQ(RefCount(filter.p), 1u);
    pin->offered.clear();
    EXPECT_EQ(marker.refs, 1);
}

// A pin that keeps the base pin's empty list of preferred types.
struct BarePin : PlainPin {
    using PlainPin::PlainPin;
    HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
};

TEST(MediaTypeEnumerator, PinWithoutTypesYieldsNone)
{
    Owned<TestFilter> filter(new TestFilter);
    HRESULT hr = S_OK;
    BarePin* pin = filter->Add(new BarePin("p", filter.p, &filter->lock, &hr, WIDE("P"), PINDIR_INPUT));
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(pin->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* out = nullptr;
    ULONG n = 7;
    EXPECT_EQ(types->Next(1, &out, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
    types->Release();
}

}  // namespace
