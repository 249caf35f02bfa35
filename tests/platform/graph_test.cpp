// The filter graph manager: filters joining and leaving, connections, running, events.
#include "tests/platform/runtime_doubles.h"

#include <cstdlib>
#include <set>

using namespace runtime_test;

namespace {

class FilterGraphTest : public ComTest {
protected:
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                   m_graph.put_void()),
                  S_OK);
    }
    void TearDown() override
    {
        m_graph.Reset();
        ComTest::TearDown();
    }
    template <typename T>
    ComRef<T> Query(REFIID iid)
    {
        ComRef<T> result;
        EXPECT_EQ(m_graph->QueryInterface(iid, result.put_void()), S_OK);
        return result;
    }
    // source (one output pin) -> renderer (one input pin), connected through the graph.
    void BuildChain(CallLog* log)
    {
        m_source = new FakeFilter("source", log);
        m_renderer = new FakeFilter("renderer", log);
        m_renderer->OfferSeeking();
        FakePin* out = m_source->AddPin(PINDIR_OUTPUT);
        FakePin* in = m_renderer->AddPin(PINDIR_INPUT);
        // The source is added first, so renderer-first state changes are the graph's doing.
        ASSERT_EQ(m_graph->AddFilter(m_source, WIDE("Source")), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_renderer, WIDE("Renderer")), S_OK);
        ASSERT_EQ(m_graph->ConnectDirect(out, in, nullptr), S_OK);
        IPin* peer = nullptr;
        ASSERT_EQ(in->ConnectedTo(&peer), S_OK);
        EXPECT_EQ(peer, static_cast<IPin*>(out));
        peer->Release();
        m_source->Release();  // the graph holds them now
        m_renderer->Release();
    }

    ComRef<IFilterGraph> m_graph;
    FakeFilter* m_source = nullptr;
    FakeFilter* m_renderer = nullptr;
};

// ---- Filters joining and leaving ------------------------------------------------------

TEST_F(FilterGraphTest, AddedFilterJoinsUnderItsNameAndIsFoundByIt)
{
    FakeFilter* filter = new FakeFilter("decoder");
    const LONG alone = filter->refs;
    ASSERT_EQ(m_graph->AddFilter(filter, WIDE("Decoder")), S_OK);
    EXPECT_EQ(filter->m_joinCalls, 1);
    EXPECT_EQ(filter->m_name, WideString(WIDE("Decoder")));
    ComRef<IUnknown> joined, graph;
    ASSERT_NE(filter->m_graph, nullptr);
    filter->m_graph->QueryInterface(IID_IUnknown, joined.put_void());
    m_graph->QueryInterface(IID_IUnknown, graph.put_void());
    EXPECT_EQ(joined.get(), graph.get());
    EXPECT_GT(filter->refs, alone);  // the graph holds the filter

    ComRef<IBaseFilter> found;
    ASSERT_EQ(m_graph->FindFilterByName(WIDE("Decoder"), found.put()), S_OK);
    EXPECT_EQ(found.get(), static_cast<IBaseFilter*>(filter));
    found.Reset();

    IBaseFilter* missing = filter;
    EXPECT_EQ(m_graph->FindFilterByName(WIDE("Encoder"), &missing), VFW_E_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(m_graph->AddFilter(nullptr, WIDE("Nothing")), E_POINTER);
    filter->Release();
}

TEST_F(FilterGraphTest, NamesAreMadeUniqueOrMadeUp)
{
    FakeFilter* first = new FakeFilter("first");
    FakeFilter* second = new FakeFilter("second");
    FakeFilter* unnamed = new FakeFilter("unnamed");
    ASSERT_EQ(m_graph->AddFilter(first, WIDE("Decoder")), S_OK);
    EXPECT_EQ(m_graph->AddFilter(second, WIDE("Decoder")), VFW_S_DUPLICATE_NAME);
    EXPECT_FALSE(second->m_name.empty());
    EXPECT_NE(second->m_name, WideString(WIDE("Decoder")));
    ASSERT_EQ(m_graph->AddFilter(unnamed, nullptr), S_OK);
    EXPECT_FALSE(unnamed->m_name.empty());

    for (FakeFilter* filter : {first, second, unnamed}) {
        ComRef<IBaseFilter> found;
        ASSERT_EQ(m_graph->FindFilterByName(filter->m_name.c_str(), found.put()), S_OK);
        EXPECT_EQ(found.get(), static_cast<IBaseFilter*>(filter));
        filter->Release();
    }
}

TEST_F(FilterGraphTest, EnumFiltersListsEveryFilterOnce)
{
    FakeFilter* filters[3] = {new FakeFilter("a"), new FakeFilter("b"), new FakeFilter("c")};
    for (FakeFilter* filter : filters) ASSERT_TRUE(SUCCEEDED(m_graph->AddFilter(filter, nullptr)));

    ComRef<IEnumFilters> enumerator;
    ASSERT_EQ(m_graph->EnumFilters(enumerator.put()), S_OK);
    std::set<IBaseFilter*> seen;
    IBaseFilter* filter = nullptr;
    ULONG fetched = 0;
    while (enumerator->Next(1, &filter, &fetched) == S_OK) {
        ASSERT_EQ(fetched, 1u);
        EXPECT_TRUE(seen.insert(filter).second);
        filter->Release();
    }
    EXPECT_EQ(seen.size(), 3u);
    for (FakeFilter* f : filters) EXPECT_EQ(seen.count(f), 1u);
    for (FakeFilter* f : filters) f->Release();
}

TEST_F(FilterGraphTest, RemovedFilterLeavesTheGraphAndIsReleased)
{
    FakeFilter* filter = new FakeFilter("decoder");
    const LONG alone = filter->refs;
    ASSERT_EQ(m_graph->AddFilter(filter, WIDE("Decoder")), S_OK);
    ASSERT_EQ(m_graph->RemoveFilter(filter), S_OK);
    EXPECT_EQ(filter->m_graph, nullptr);
    EXPECT_TRUE(filter->m_name.empty());
    EXPECT_EQ(filter->refs, alone);
    ComRef<IBaseFilter> found;
    EXPECT_EQ(m_graph->FindFilterByName(WIDE("Decoder"), found.put()), VFW_E_NOT_FOUND);

    // The name is free again.
    ASSERT_EQ(m_graph->AddFilter(filter, WIDE("Decoder")), S_OK);
    EXPECT_EQ(filter->m_name, WideString(WIDE("Decoder")));
    filter->Release();
}

TEST_F(FilterGraphTest, ReleasingTheGraphReleasesItsFilters)
{
    FakeFilter* filter = new FakeFilter("decoder");
    const LONG alone = filter->refs;
    ASSERT_EQ(m_graph->AddFilter(filter, WIDE("Decoder")), S_OK);
    m_graph.Reset();
    EXPECT_EQ(filter->refs, alone);
    filter->Release();
}

TEST_F(FilterGraphTest, ReleasingTheGraphBreaksConnections)
{
    BuildChain(nullptr);
    FakeFilter* source = m_source;
    source->AddRef();
    m_graph.Reset();
    IEnumPins* pins = nullptr;
    ASSERT_EQ(source->EnumPins(&pins), S_OK);
    IPin* out = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(pins->Next(1, &out, &fetched), S_OK);
    IPin* peer = nullptr;
    EXPECT_EQ(out->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    out->Release();
    pins->Release();
    source->Release();
}

// ---- Events ----------------------------------------------------------------------------

TEST_F(FilterGraphTest, NotifiedEventsComeOutOfTheQueueInOrder)
{
    auto sink = Query<IMediaEventSink>(IID_IMediaEventSink);
    auto events = Query<IMediaEvent>(IID_IMediaEvent);
    ASSERT_TRUE(sink && events);
    const LONG kFirst = EC_USER + 1, kSecond = EC_USER + 2;
    ASSERT_EQ(sink->Notify(kFirst, 11, 22), S_OK);
    ASSERT_EQ(sink->Notify(kSecond, 33, 44), S_OK);

    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 100), S_OK);
    EXPECT_EQ(code, kFirst);
    EXPECT_EQ(p1, 11);
    EXPECT_EQ(p2, 22);
    EXPECT_EQ(events->FreeEventParams(code, p1, p2), S_OK);
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 100), S_OK);
    EXPECT_EQ(code, kSecond);
    EXPECT_EQ(p1, 33);
    EXPECT_EQ(p2, 44);
    EXPECT_EQ(events->FreeEventParams(code, p1, p2), S_OK);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 0), E_ABORT);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 50), E_ABORT);
}

TEST_F(FilterGraphTest, WaitForCompletionNeedsARunningGraph)
{
    auto events = Query<IMediaEvent>(IID_IMediaEvent);
    LONG code = -1;
    EXPECT_EQ(events->WaitForCompletion(0, &code), VFW_E_WRONG_STATE);
}

// ---- Running and stopping ---------------------------------------------------------------

TEST_F(FilterGraphTest, RunPausesThenRunsEveryFilterRendererFirstOnAClock)
{
    CallLog log;
    BuildChain(&log);
    auto control = Query<IMediaControl>(IID_IMediaControl);
    ASSERT_TRUE(SUCCEEDED(control->Run()));

    EXPECT_EQ(log.Take(), (std::vector<std::string>{"renderer:Pause", "source:Pause", "renderer:Run", "source:Run"}));
    EXPECT_EQ(m_source->m_state, State_Running);
    EXPECT_EQ(m_renderer->m_state, State_Running);
    EXPECT_EQ(m_source->m_runStart, m_renderer->m_runStart);
    ASSERT_NE(m_renderer->m_clock, nullptr);
    EXPECT_EQ(m_source->m_clock, m_renderer->m_clock);
    // Filters run from a start time close to the clock's time now.
    REFERENCE_TIME now = 0;
    m_renderer->m_clock->GetTime(&now);
    EXPECT_LT(std::abs(m_renderer->m_runStart - now), 10000000);

    OAFilterState state = -1;
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, static_cast<OAFilterState>(State_Running));

    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"renderer:Pause", "source:Pause"}));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"renderer:Stop", "source:Stop"}));
    EXPECT_EQ(m_source->m_state, State_Stopped);
    EXPECT_EQ(control->GetState(0, &state), S_OK);
    EXPECT_EQ(state, static_cast<OAFilterState>(State_Stopped));
}

TEST_F(FilterGraphTest, RunningGraphCompletesWhenItsRendererSendsComplete)
{
    BuildChain(nullptr);
    auto control = Query<IMediaControl>(IID_IMediaControl);
    auto events = Query<IMediaEvent>(IID_IMediaEvent);
    auto sink = Query<IMediaEventSink>(IID_IMediaEventSink);
    ASSERT_TRUE(SUCCEEDED(control->Run()));

    LONG code = -1;
    EXPECT_EQ(events->WaitForCompletion(50, &code), E_ABORT);
    ASSERT_EQ(sink->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(m_renderer))),
              S_OK);
    // (Ours also reports EC_COMPLETE in the code; Wine's leaves the code alone.)
    EXPECT_EQ(events->WaitForCompletion(1000, &code), S_OK);
    control->Stop();
}

}  // namespace
