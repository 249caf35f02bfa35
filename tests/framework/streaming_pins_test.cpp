// Input and output pins: the allocator handshake and its fall-back, committing with the
// filter state, the checks on every received sample, media type changes mid-stream, and
// delivery downstream; with stand-ins and with the platform's allocator and samples.
#include <gtest/gtest.h>

#include "streaming_doubles.h"

using namespace doubles;

namespace {

class QualitySink : public IQualityControl {
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    DOUBLE_REFCOUNT
    STDMETHODIMP Notify(IBaseFilter* sender, Quality q) override { return from = sender, late = q.Late, S_OK; }
    STDMETHODIMP SetSink(IQualityControl*) override { return E_NOTIMPL; }
    IBaseFilter* from = nullptr;
    REFERENCE_TIME late = 0;
};

struct InputPin : ::testing::Test {
    InputPin() : filter(new TestFilter)
    {
        in = filter->Add(new TestInputPin(&log, "in", filter.p, &filter->lock, nullptr, WIDE("In")));
    }
    CallLog log;
    Owned<TestFilter> filter;
    TestInputPin* in;
    PlainSample sample;
};

TEST_F(InputPin, OffersOneDefaultAllocatorAndTakesTheOneNamed)
{
    IMemAllocator *first = nullptr, *second = nullptr;
    ASSERT_EQ(in->GetAllocator(&first), S_OK);
    ASSERT_EQ(in->GetAllocator(&second), S_OK);
    EXPECT_EQ(first, second);
    second->Release();

    FakeAllocator named(&log);
    EXPECT_EQ(in->NotifyAllocator(&named, TRUE), S_OK);
    EXPECT_TRUE(in->IsReadOnly());
    EXPECT_EQ(named.refs, 2);
    EXPECT_EQ(RefCount(first), 1u);  // the default one was let go
    first->Release();
    EXPECT_EQ(in->NotifyAllocator(nullptr, FALSE), E_POINTER);
    EXPECT_TRUE(in->IsReadOnly());
    EXPECT_EQ(in->GetAllocatorRequirements(nullptr), E_NOTIMPL);

    // A failing Decommit keeps the allocator on disconnection.
    named.decommitResult = E_FAIL;
    EXPECT_EQ(in->BreakConnect(), E_FAIL);
    EXPECT_EQ(named.refs, 2);
    named.decommitResult = S_OK;
    EXPECT_EQ(in->BreakConnect(), S_OK);
    EXPECT_EQ(named.refs, 1);

    // Without an allocator, Inactive says so and leaves a flush in progress alone.
    in->BeginFlush();
    EXPECT_EQ(in->Inactive(), VFW_E_NO_ALLOCATOR);
    EXPECT_TRUE(in->IsFlushing());
}

TEST_F(InputPin, ReceiveChecksStateThenFlushing)
{
    EXPECT_EQ(in->Receive(nullptr), E_POINTER);
    EXPECT_EQ(in->Receive(&sample), VFW_E_WRONG_STATE);
    in->BeginFlush();
    EXPECT_EQ(in->Receive(&sample), VFW_E_WRONG_STATE);  // the state is checked first
    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(in->Receive(&sample), S_FALSE);            // flushing, even while running
    in->EndFlush();
    EXPECT_EQ(in->Receive(&sample), S_OK);
    EXPECT_EQ(sample.refs, 1);
}

TEST_F(InputPin, PropertiesOfASampleWithoutIMediaSample2)
{
    ASSERT_EQ(filter->Run(0), S_OK);
    sample.discontinuity = sample.sync = true;
    sample.timeResult = S_OK;
    sample.start = 100;
    sample.stop = 200;
    sample.actual = 12;
    ASSERT_EQ(in->Receive(&sample), S_OK);
    const AM_SAMPLE2_PROPERTIES& props = *in->SampleProps();
    EXPECT_EQ(props.dwSampleFlags, 0x115u);
    EXPECT_EQ(props.tStart, 100);
    EXPECT_EQ(props.tStop, 200);
    EXPECT_EQ(props.lActual, 12);
    EXPECT_EQ(props.cbBuffer, 32);
    EXPECT_EQ(props.pbBuffer, sample.data);
    EXPECT_EQ(props.dwStreamId, DWORD(AM_STREAM_MEDIA));
    EXPECT_EQ(props.pMediaType, nullptr);

    sample.discontinuity = sample.sync = false;
    sample.preroll = true;
    sample.timeResult = VFW_E_SAMPLE_TIME_NOT_SET;
    ASSERT_EQ(in->Receive(&sample), S_OK);
    EXPECT_EQ(props.dwSampleFlags, DWORD(AM_SAMPLE_PREROLL));
}

TEST_F(InputPin, RefusedTypeChangeStopsTheStreamOnce)
{
    FakeGraph graph;
    filter->JoinFilterGraph(&graph, nullptr);
    ASSERT_EQ(filter->Run(0), S_OK);
    Marker marker;
    sample.hasType = true;
    sample.type = MakeType('A');
    sample.type.pUnk = &marker;
    marker.AddRef();

    // An accepted type passes; the copy the sample handed out is freed either way.
    EXPECT_EQ(in->Receive(&sample), S_OK);
    EXPECT_TRUE(in->SampleProps()->dwSampleFlags & AM_SAMPLE_TYPECHANGED);
    EXPECT_EQ(in->SampleProps()->pMediaType, nullptr);
    EXPECT_EQ(marker.refs, 2);

    in->verdicts = {{'A', S_FALSE}};
    log.Clear();
    EXPECT_EQ(in->Receive(&sample), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(marker.refs, 2);
    EXPECT_EQ(log.Entries(), (Log{"in.CheckMediaType A", "in.EndOfStream"}));
    ASSERT_EQ(graph.events.size(), 1u);
    EXPECT_EQ(graph.events[0].code, EC_ERRORABORT);
    EXPECT_EQ(graph.events[0].p1, LONG_PTR(VFW_E_TYPE_NOT_ACCEPTED));

    sample.hasType = false;
    EXPECT_EQ(in->Receive(&sample), VFW_E_RUNTIME_ERROR);
    EXPECT_EQ(in->Receive(&sample), VFW_E_RUNTIME_ERROR);
    EXPECT_EQ(log.Entries().size(), 2u);
    EXPECT_EQ(graph.events.size(), 1u);
    in->BeginFlush();
    in->EndFlush();
    EXPECT_EQ(in->Receive(&sample), S_OK);

    // Deactivation clears the error too.
    sample.hasType = true;
    EXPECT_EQ(in->Receive(&sample), VFW_E_INVALIDMEDIATYPE);
    in->Inactive();
    sample.hasType = false;
    EXPECT_EQ(in->Receive(&sample), S_OK);
    filter->JoinFilterGraph(nullptr, nullptr);
    sample.type.pUnk = nullptr;
    marker.Release();
}

// Answers Receive from a script, to see ReceiveMultiple go through the derived pin.
struct ScriptedReceivePin : TestInputPin {
    using TestInputPin::TestInputPin;
    STDMETHODIMP Receive(IMediaSample*) override { return answers[offered++]; }
    std::vector<HRESULT> answers;
    size_t offered = 0;
};

TEST_F(InputPin, ReceiveMultipleStopsAtTheFirstAnswerOtherThanOk)
{
    auto* pin = filter->Add(new ScriptedReceivePin(&log, "m", filter.p, &filter->lock, nullptr, WIDE("M")));
    pin->answers = {S_OK, S_FALSE, S_OK};
    IMediaSample* samples[3] = {&sample, &sample, &sample};
    LONG processed = -1;
    EXPECT_EQ(pin->ReceiveMultiple(samples, 3, &processed), S_FALSE);
    EXPECT_EQ(processed, 1);
    EXPECT_EQ(pin->offered, 2u);
    EXPECT_EQ(pin->ReceiveMultiple(samples, 0, &processed), S_OK);
    EXPECT_EQ(processed, 0);
    EXPECT_EQ(pin->ReceiveMultiple(nullptr, 1, &processed), E_POINTER);
}

TEST_F(InputPin, ReceiveCanBlockAsksDownstream)
{
    EXPECT_EQ(in->ReceiveCanBlock(), S_OK);  // nowhere to send data: taken to block
    TestPin* out = filter->AddPin(&log, "out", WIDE("Out"));
    EXPECT_EQ(in->ReceiveCanBlock(), S_OK);
    PeerPin downstream(&log);
    out->Attach(&downstream);
    downstream.canBlock = S_FALSE;
    EXPECT_EQ(in->ReceiveCanBlock(), S_FALSE);
    downstream.canBlock = S_OK;
    EXPECT_EQ(in->ReceiveCanBlock(), S_OK);
    downstream.canBlock = S_FALSE;
    downstream.hasMemInput = false;
    EXPECT_EQ(in->ReceiveCanBlock(), S_OK);
    out->Detach();
    EXPECT_EQ(downstream.refs, 1);
}

TEST_F(InputPin, QualityMessagesGoToTheSink)
{
    Quality q = {Famine, 1000, 42, 0};
    EXPECT_EQ(in->PassNotify(q), VFW_E_NOT_FOUND);
    QualitySink sink;
    EXPECT_EQ(in->SetSink(&sink), S_OK);
    EXPECT_EQ(in->PassNotify(q), S_OK);
    EXPECT_EQ(sink.from, static_cast<IBaseFilter*>(filter.p));
    EXPECT_EQ(sink.late, 42);
    EXPECT_EQ(sink.refs, 1);
    EXPECT_EQ(in->Notify(nullptr, q), E_POINTER);
    EXPECT_EQ(in->Notify(filter.p, q), S_OK);
}

// ---- Output pin -----------------------------------------------------------------------------

struct OutputPin : ::testing::Test {
    OutputPin() : filter(new TestFilter), peer(&log), theirs(&log, "theirs")
    {
        out = filter->Add(new TestOutputPin(&log, "out", filter.p, &filter->lock, nullptr, WIDE("Out")));
        peer.types = {MakeType('A')};
        peer.allocator = &theirs;
    }
    ~OutputPin() override
    {
        EXPECT_EQ(peer.refs, 1);
        EXPECT_EQ(theirs.refs, 1);
    }
    // The calls that reached the peer and its allocator, in order.
    Log Outside() const
    {
        Log calls;
        for (const std::string& call : log.Entries()) {
            if (call.rfind("peer.", 0) == 0 || call.rfind("theirs.", 0) == 0) calls.push_back(call);
        }
        return calls;
    }
    CallLog log;
    Owned<TestFilter> filter;
    PeerPin peer;
    FakeAllocator theirs;
    TestOutputPin* out;
    PlainSample sample;
};

TEST_F(OutputPin, TakesTheDownstreamAllocatorAndCommitsItWithTheFilter)
{
    EXPECT_EQ(out->Deliver(&sample), VFW_E_NOT_CONNECTED);
    IMediaSample* buffer = nullptr;
    EXPECT_EQ(out->GetDeliveryBuffer(&buffer, nullptr, nullptr, 0), E_NOINTERFACE);
    EXPECT_EQ(out->Active(), VFW_E_NO_ALLOCATOR);

    ASSERT_EQ(out->Connect(&peer, nullptr), S_OK);
    ASSERT_EQ(out->requests.size(), 1u);
    const ALLOCATOR_PROPERTIES& asked = out->requests[0];
    EXPECT_EQ(asked.cBuffers, 0);
    EXPECT_EQ(asked.cbBuffer, 0);
    EXPECT_EQ(asked.cbAlign, 1);
    EXPECT_EQ(asked.cbPrefix, 0);
    EXPECT_EQ(theirs.refs, 2);

    ASSERT_EQ(filter->Pause(), S_OK);
    ASSERT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(out->Deliver(&sample), S_OK);
    EXPECT_EQ(out->DeliverNewSegment(0, 10, 1.0), S_OK);
    EXPECT_EQ(out->DeliverBeginFlush(), S_OK);
    EXPECT_EQ(out->DeliverEndFlush(), S_OK);
    EXPECT_EQ(out->DeliverEndOfStream(), S_OK);
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_EQ(out->Disconnect(), S_OK);
    EXPECT_EQ(Outside(), (Log{"peer.EnumMediaTypes", "peer.ReceiveConnection A", "peer.GetAllocator",
                              "peer.NotifyAllocator theirs", "theirs.Commit", "peer.Receive", "peer.NewSegment",
                              "peer.BeginFlush", "peer.EndFlush", "peer.EndOfStream", "theirs.Decommit",
                              "theirs.Decommit"}));
    EXPECT_EQ(out->EndOfStream(), E_UNEXPECTED);
    EXPECT_EQ(out->BeginFlush(), E_UNEXPECTED);
    EXPECT_EQ(out->EndFlush(), E_UNEXPECTED);
    EXPECT_EQ(out->DeliverEndOfStream(), VFW_E_NOT_CONNECTED);
}

TEST_F(OutputPin, FallsBackToItsOwnAllocator)
{
    out->refusals = 1;
    ASSERT_EQ(out->Connect(&peer, nullptr), S_OK);
    ASSERT_EQ(out->requests.size(), 2u);
    EXPECT_EQ(out->requests[1].cbPrefix, 7);  // the record as the first call left it
    EXPECT_EQ(theirs.refs, 1);
    EXPECT_EQ(Outside(), (Log{"peer.EnumMediaTypes", "peer.ReceiveConnection A", "peer.GetAllocator",
                              "peer.NotifyAllocator other"}));

    // The platform's allocator gives buffers of the size asked for, once committed.
    ASSERT_EQ(filter->Pause(), S_OK);
    IMediaSample* buffer = nullptr;
    ASSERT_EQ(out->GetDeliveryBuffer(&buffer, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(buffer->GetSize(), 256);
    EXPECT_EQ(out->Deliver(buffer), S_OK);
    buffer->Release();
    ASSERT_EQ(filter->Stop(), S_OK);
    EXPECT_TRUE(FAILED(out->GetDeliveryBuffer(&buffer, nullptr, nullptr, 0)));
    EXPECT_EQ(out->Disconnect(), S_OK);
}

TEST_F(OutputPin, NoUsableAllocatorFailsTheConnection)
{
    // With one type to try, its failure is the answer: the second DecideBufferSize's.
    CMediaType a = MakeType('A');
    out->refusals = 2;
    EXPECT_EQ(out->Connect(&peer, &a), E_OUTOFMEMORY);
    EXPECT_FALSE(out->IsConnected());
    EXPECT_EQ(Outside().back(), "peer.Disconnect");

    // A peer without IMemInputPin cannot be connected at all.
    peer.hasMemInput = false;
    out->refusals = 0;
    EXPECT_EQ(out->Connect(&peer, &a), E_NOINTERFACE);
    EXPECT_FALSE(out->IsConnected());
}

TEST_F(OutputPin, FailingDecommitKeepsTheConnection)
{
    ASSERT_EQ(out->Connect(&peer, nullptr), S_OK);
    theirs.decommitResult = E_FAIL;
    EXPECT_EQ(out->Disconnect(), E_FAIL);
    EXPECT_TRUE(out->IsConnected());
    theirs.decommitResult = S_OK;
    EXPECT_EQ(out->Disconnect(), S_OK);
}

// Two framework filters connected to each other, exchanging the platform's samples.
TEST(FrameworkPins, SamplesFromThePlatformAllocatorCarryTheirProperties)
{
    CallLog log;
    Owned<TestFilter> upstream(new TestFilter), downstream(new TestFilter);
    auto* out = upstream->Add(new TestOutputPin(&log, "out", upstream.p, &upstream->lock, nullptr, WIDE("Out")));
    auto* in = downstream->Add(new TestInputPin(&log, "in", downstream.p, &downstream->lock, nullptr, WIDE("In")));
    out->offered = {MakeType('A')};
    FakeGraph graph;
    downstream->JoinFilterGraph(&graph, nullptr);

    ASSERT_EQ(out->Connect(in, nullptr), S_OK);
    ASSERT_EQ(downstream->Run(0), S_OK);
    ASSERT_EQ(upstream->Run(0), S_OK);

    IMediaSample* sample = nullptr;
    ASSERT_EQ(out->GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
    REFERENCE_TIME start = 1000, stop = 2000;
    sample->SetTime(&start, &stop);
    sample->SetSyncPoint(TRUE);
    sample->SetActualDataLength(100);
    EXPECT_EQ(out->Deliver(sample), S_OK);
    const AM_SAMPLE2_PROPERTIES& props = *in->SampleProps();
    EXPECT_EQ(props.dwSampleFlags & 0x11F, 0x111u);
    EXPECT_EQ(props.tStart, 1000);
    EXPECT_EQ(props.tStop, 2000);
    EXPECT_EQ(props.lActual, 100);

    // A type change the input refuses, carried by the platform's sample.
    CMediaType b = MakeType('B');
    in->verdicts = {{'B', VFW_E_TYPE_NOT_ACCEPTED}};
    sample->SetMediaType(&b);
    EXPECT_EQ(out->Deliver(sample), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(out->Deliver(sample), VFW_E_RUNTIME_ERROR);
    EXPECT_EQ(graph.events.size(), 1u);
    sample->Release();

    ASSERT_EQ(downstream->Stop(), S_OK);
    ASSERT_EQ(upstream->Stop(), S_OK);
    EXPECT_EQ(out->Disconnect(), S_OK);
    EXPECT_EQ(in->Disconnect(), S_OK);
    downstream->JoinFilterGraph(nullptr, nullptr);
    EXPECT_EQ(RefCount(upstream.p), 1u);
    EXPECT_EQ(RefCount(downstream.p), 1u);
}

TEST(PassThrough, ForwardsSeekingThroughThePin)
{
    CallLog log;
    Owned<TestFilter> filter(new TestFilter);
    TestPin* pin = filter->AddPin(&log, "in", WIDE("In"), PINDIR_INPUT);
    EXPECT_EQ(CreatePosPassThru(nullptr, FALSE, pin, nullptr), E_POINTER);
    IUnknown* passThru = reinterpret_cast<IUnknown*>(1);
    HRESULT hr = CreatePosPassThru(nullptr, FALSE, pin, &passThru);
    if (hr == REGDB_E_CLASSNOTREG || hr == CLASS_E_CLASSNOTAVAILABLE) {
        EXPECT_EQ(passThru, nullptr);
        GTEST_SKIP() << "this platform has no seeking pass-through object yet";
    }
    ASSERT_EQ(hr, S_OK);
    IMediaSeeking* seeking = nullptr;
    EXPECT_EQ(passThru->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)), S_OK);
    if (seeking) seeking->Release();
    passThru->Release();
}

}  // namespace
