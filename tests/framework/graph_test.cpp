// The source and sink pair in the platform's filter graph: connection and allocator
// agreement, streaming to end-of-stream, restarting, flushing and pausing mid-stream, a
// refused media type mid-stream, and stopping.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "streaming_doubles.h"
#include "streaming_filters.h"

using namespace streaming;
using doubles::RefCount;

namespace {

// A new framework object with the test's reference on it.
template <class T>
T* Held(T* object)
{
    object->AddRef();
    return object;
}

// Polls `done` for up to ten seconds.
bool WaitUntil(const std::function<bool()>& done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct InGraph : ::testing::Test {
    void SetUp() override
    {
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                      reinterpret_cast<void**>(&graph));
        if (hr == REGDB_E_CLASSNOTREG || hr == CLASS_E_CLASSNOTAVAILABLE) GTEST_SKIP() << "no filter graph here";
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(graph->AddFilter(source, WIDE("Source")), S_OK);
        ASSERT_EQ(graph->AddFilter(sink, WIDE("Sink")), S_OK);
        ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)), S_OK);
        ASSERT_EQ(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events)), S_OK);
        // Each EC_COMPLETE reaches the queue as the filter sent it.
        ASSERT_EQ(events->CancelDefaultHandling(EC_COMPLETE), S_OK);
        ASSERT_EQ(graph->ConnectDirect(source->pin, sink->pin, nullptr), S_OK);
    }
    void TearDown() override
    {
        if (control) {
            EXPECT_TRUE(SUCCEEDED(control->Stop()));
        }
        if (graph) {
            graph->Disconnect(source->pin);
            graph->Disconnect(sink->pin);
            graph->RemoveFilter(source);
            graph->RemoveFilter(sink);
        }
        if (events) events->Release();
        if (control) control->Release();
        if (graph) {
            EXPECT_EQ(graph->Release(), 0u);
        }
        EXPECT_FALSE(source->pin->IsConnected());
        EXPECT_EQ(RefCount(source), 1u) << "the graph left references on the source";
        EXPECT_EQ(RefCount(sink), 1u) << "the graph left references on the sink";
        source->Release();
        sink->Release();
    }

    // Takes events from the queue until `code` comes (ten seconds at most); its parameters
    // go to p1 and p2.
    bool WaitForEvent(LONG code, LONG_PTR* p1 = nullptr, LONG_PTR* p2 = nullptr)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            LONG got;
            LONG_PTR a, b;
            HRESULT hr = events->GetEvent(&got, &a, &b, 100);
            if (FAILED(hr)) continue;  // the queue may give up early: ask again until the deadline
            events->FreeEventParams(got, a, b);
            if (got == code) {
                if (p1) *p1 = a;
                if (p2) *p2 = b;
                return true;
            }
        }
        return false;
    }
    OAFilterState GraphState()
    {
        OAFilterState state = -1;
        EXPECT_EQ(control->GetState(1000, &state), S_OK);
        return state;
    }

    IFilterGraph* graph = nullptr;
    IMediaControl* control = nullptr;
    IMediaEvent* events = nullptr;
    SourceFilter* source = Held(new SourceFilter);
    SinkFilter* sink = Held(new SinkFilter);
};

TEST_F(InGraph, ConnectsAndAgreesOneAllocator)
{
    AM_MEDIA_TYPE mt;
    ASSERT_EQ(sink->pin->ConnectionMediaType(&mt), S_OK);
    EXPECT_TRUE(IsEqualGUID(mt.majortype, kStreamMajor));
    FreeMediaType(mt);

    // The sink's allocator was taken, with the source's buffer sizes.
    IMemAllocator* allocator = nullptr;
    ASSERT_EQ(sink->pin->GetAllocator(&allocator), S_OK);
    ALLOCATOR_PROPERTIES props;
    ASSERT_EQ(allocator->GetProperties(&props), S_OK);
    EXPECT_EQ(props.cBuffers, 4);
    EXPECT_GE(props.cbBuffer, kBufferSize);
    allocator->Release();
    EXPECT_FALSE(sink->pin->IsReadOnly());

    IPin* pin = nullptr;
    ASSERT_EQ(source->FindPin(WIDE("Out"), &pin), S_OK);
    IPin* peer = nullptr;
    ASSERT_EQ(pin->ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer, static_cast<IPin*>(sink->pin));
    peer->Release();
    pin->Release();
}

TEST_F(InGraph, StreamsToEndOfStreamAndRunsAgainAfterStop)
{
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    LONG_PTR p2 = 0;
    ASSERT_TRUE(WaitForEvent(EC_COMPLETE, nullptr, &p2));
    EXPECT_EQ(p2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(sink)));
    EXPECT_EQ(sink->pin->received, 20);
    EXPECT_EQ(sink->pin->disorder, 0);
    EXPECT_EQ(sink->pin->endOfStreams, 1);
    EXPECT_EQ(GraphState(), State_Running);
    REFERENCE_TIME now;
    EXPECT_EQ(sink->StreamTime(now), S_OK) << "the graph gave the filters a clock";

    ASSERT_TRUE(SUCCEEDED(control->Stop()));
    FILTER_STATE state;
    source->GetState(0, &state);
    EXPECT_EQ(state, State_Stopped);
    IMediaSample* sample = nullptr;
    EXPECT_TRUE(FAILED(source->pin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0)));  // decommitted

    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(WaitForEvent(EC_COMPLETE));
    EXPECT_EQ(sink->pin->endOfStreams, 2);
    EXPECT_EQ(sink->pin->received, 40);
    EXPECT_EQ(sink->pin->disorder, 0);
}

TEST_F(InGraph, FlushPauseAndARefusedTypeMidStream)
{
    source->pin->count = -1;
    source->pin->pace = true;
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(WaitUntil([&] { return sink->pin->received >= 10; }));

    // While flushing, the sink drops what arrives (a sample already inside may finish).
    ASSERT_EQ(source->pin->DeliverBeginFlush(), S_OK);
    int atFlush = sink->pin->received;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(sink->pin->received, atFlush + 1);
    ASSERT_EQ(source->pin->DeliverEndFlush(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return sink->pin->received >= atFlush + 10; }));
    EXPECT_EQ(sink->pin->flushes, 1);

    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    EXPECT_EQ(GraphState(), State_Paused);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_EQ(GraphState(), State_Running);

    // A sample announcing a type the sink refuses ends the stream with an error.
    source->pin->refusedTypeNext = true;
    LONG_PTR p1 = 0;
    ASSERT_TRUE(WaitForEvent(EC_ERRORABORT, &p1));
    EXPECT_EQ(p1, LONG_PTR(VFW_E_TYPE_NOT_ACCEPTED));
    ASSERT_TRUE(WaitUntil([&] { return source->pin->failures == 1; }));
    EXPECT_EQ(sink->pin->endOfStreams, 0);
    EXPECT_EQ(sink->pin->disorder, 0);
}

}  // namespace
