// The filter graph's event queue across threads: filters notify from their streaming
// threads while the host waits for an event or for the end of the stream.
#include "tests/platform/runtime_doubles.h"

#include <chrono>
#include <thread>

using namespace runtime_test;

namespace {

class FilterGraphThreadsTest : public ComTest {};

TEST_F(FilterGraphThreadsTest, GetEventWaitsForAnEventFromAnotherThread)
{
    ComRef<IMediaEvent> events;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaEvent, events.put_void()),
              S_OK);
    ComRef<IMediaEventSink> sink;
    ASSERT_EQ(events->QueryInterface(IID_IMediaEventSink, sink.put_void()), S_OK);

    IMediaEventSink* raw = sink.get();
    std::thread notifier([raw] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        raw->Notify(EC_USER + 5, 1, 2);
    });
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 10000), S_OK);
    const auto waited = std::chrono::steady_clock::now() - before;
    notifier.join();
    EXPECT_EQ(code, EC_USER + 5);
    EXPECT_EQ(p1, 1);
    EXPECT_EQ(p2, 2);
    EXPECT_LT(waited, std::chrono::seconds(5));
    events->FreeEventParams(code, p1, p2);
}

TEST_F(FilterGraphThreadsTest, WaitForCompletionReturnsWhenTheRendererCompletesOnItsThread)
{
    ComRef<IFilterGraph> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, graph.put_void()),
              S_OK);
    FakeFilter* source = new FakeFilter("source");
    FakeFilter* renderer = new FakeFilter("renderer");
    renderer->OfferSeeking();
    FakePin* out = source->AddPin(PINDIR_OUTPUT);
    FakePin* in = renderer->AddPin(PINDIR_INPUT);
    ASSERT_EQ(graph->AddFilter(source, WIDE("Source")), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, WIDE("Renderer")), S_OK);
    ASSERT_EQ(graph->ConnectDirect(out, in, nullptr), S_OK);

    ComRef<IMediaControl> control;
    ComRef<IMediaEvent> events;
    ComRef<IMediaEventSink> sink;
    ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, control.put_void()), S_OK);
    ASSERT_EQ(graph->QueryInterface(IID_IMediaEvent, events.put_void()), S_OK);
    ASSERT_EQ(graph->QueryInterface(IID_IMediaEventSink, sink.put_void()), S_OK);
    ASSERT_TRUE(SUCCEEDED(control->Run()));

    IMediaEventSink* raw = sink.get();
    IBaseFilter* sender = renderer;
    std::thread streaming([raw, sender] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        raw->Notify(EC_USER + 9, 0, 0);  // dropped by the wait
        raw->Notify(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(sender));
    });
    LONG code = 0;
    EXPECT_EQ(events->WaitForCompletion(10000, &code), S_OK);
    streaming.join();

    control->Stop();
    source->Release();
    renderer->Release();
}

}  // namespace
