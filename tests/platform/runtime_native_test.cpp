// Checks of our own runtime objects where Wine's depart from the published contract, so
// they run in the native build only: null arguments get E_POINTER; buffers honour the
// requested alignment; a sample keeps its allocator alive while it is out; a caller waiting
// in GetBuffer learns from Decommit that the allocator is not committed; records that cannot
// describe a sample are refused; the pass-through is initialised once, with a pin;
// WaitForCompletion names the event that ended it, aborts included; a start time at the
// very end of the range without a stop time still answers with the tick after it; the
// objects offer no automation; and a stray Release destroys nothing twice.
#include "tests/platform/runtime_doubles.h"
#include "platform/runtime.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

using namespace runtime_test;

namespace {

class NativeRuntimeTest : public ComTest {
protected:
    // A committed allocator of one 64-byte buffer, and that buffer taken.
    void TakeSample(ComRef<IMemAllocator>& allocator, ComRef<IMediaSample>& sample)
    {
        ASSERT_EQ(MakeAllocator(allocator, 1, 64), S_OK);
        ASSERT_EQ(allocator->Commit(), S_OK);
        ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    }
};

TEST_F(NativeRuntimeTest, NullArgumentsAreRefused)
{
    ComRef<IMemAllocator> allocator;
    ComRef<IMediaSample> sample;
    TakeSample(allocator, sample);
    ALLOCATOR_PROPERTIES props = {1, 64, 1, 0};
    EXPECT_EQ(allocator->SetProperties(nullptr, &props), E_POINTER);
    EXPECT_EQ(allocator->GetProperties(nullptr), E_POINTER);
    EXPECT_EQ(allocator->GetBuffer(nullptr, nullptr, nullptr, 0), E_POINTER);
    REFERENCE_TIME t = 0;
    EXPECT_EQ(sample->GetTime(nullptr, &t), E_POINTER);
    EXPECT_EQ(sample->SetTime(nullptr, &t), E_POINTER);
    EXPECT_EQ(sample->GetMediaType(nullptr), E_POINTER);
    ComRef<IMediaSample2> sample2;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSample2, sample2.put_void()), S_OK);
    EXPECT_EQ(sample2->GetProperties(16, nullptr), E_POINTER);

    ComRef<IReferenceClock> clock;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               clock.put_void()),
              S_OK);
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
}

TEST_F(NativeRuntimeTest, StopTimeAfterTheLastStartTimeWrapsInsteadOfOverflowing)
{
    ComRef<IMemAllocator> allocator;
    ComRef<IMediaSample> sample;
    TakeSample(allocator, sample);
    for (REFERENCE_TIME start : {INT64_MAX, INT64_MIN, REFERENCE_TIME{-1}}) {
        ASSERT_EQ(sample->SetTime(&start, nullptr), S_OK);
        REFERENCE_TIME got = 0, stop = 0;
        EXPECT_EQ(sample->GetTime(&got, &stop), VFW_S_NO_STOP_TIME);
        EXPECT_EQ(got, start);
        EXPECT_EQ(stop, start == INT64_MAX ? INT64_MIN : start + 1);
    }
}

TEST_F(NativeRuntimeTest, BuffersAndPrefixesStartOnTheRequestedAlignment)
{
    ComRef<IMemAllocator> allocator;
    EXPECT_EQ(MakeAllocator(allocator, 1, 100, 0), VFW_E_BADALIGN);
    EXPECT_EQ(MakeAllocator(allocator, 1, 100, 3), VFW_E_BADALIGN);
    EXPECT_EQ(MakeAllocator(allocator, -1, 100, 1), E_INVALIDARG);
    ASSERT_EQ(MakeAllocator(allocator, 3, 100, 64, 8), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComRef<IMediaSample> samples[3];
    for (auto& sample : samples) {
        ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        EXPECT_EQ((reinterpret_cast<uintptr_t>(data) - 8) % 64, 0u);
    }
}

TEST_F(NativeRuntimeTest, SampleKeepsItsAllocatorAliveWhileOut)
{
    ComRef<IMemAllocator> allocator;
    ComRef<IMediaSample> sample;
    TakeSample(allocator, sample);
    allocator.Reset();  // the sample now holds the only reference
    BYTE* data = nullptr;
    ASSERT_EQ(sample->GetPointer(&data), S_OK);
    std::memset(data, 0x33, 64);
    sample.Reset();  // and takes the allocator and its memory with it
}

TEST_F(NativeRuntimeTest, DecommitTellsAWaitingCallerTheAllocatorIsNotCommitted)
{
    ComRef<IMemAllocator> allocator;
    ComRef<IMediaSample> held;
    TakeSample(allocator, held);
    HRESULT result = S_OK;
    IMemAllocator* raw = allocator.get();
    std::thread waiter([&] {
        IMediaSample* got = nullptr;
        result = raw->GetBuffer(&got, nullptr, nullptr, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    allocator->Decommit();
    waiter.join();
    EXPECT_EQ(result, VFW_E_NOT_COMMITTED);
}

TEST_F(NativeRuntimeTest, RecordsThatCannotDescribeTheSampleChangeNothing)
{
    ComRef<IMemAllocator> allocator;
    ComRef<IMediaSample> sample;
    TakeSample(allocator, sample);
    EXPECT_EQ(allocator->ReleaseBuffer(sample.get()), E_INVALIDARG);  // still held
    ComRef<IMediaSample2> sample2;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSample2, sample2.put_void()), S_OK);
    AM_SAMPLE2_PROPERTIES good;
    ASSERT_EQ(sample2->GetProperties(sizeof good, reinterpret_cast<BYTE*>(&good)), S_OK);
    const BYTE* record = nullptr;
    AM_SAMPLE2_PROPERTIES props;
    auto attempt = [&](void (*change)(AM_SAMPLE2_PROPERTIES&), DWORD size) {
        props = good;
        change(props);
        record = reinterpret_cast<const BYTE*>(&props);
        return sample2->SetProperties(size, record);
    };
    EXPECT_EQ(attempt([](AM_SAMPLE2_PROPERTIES& p) { p.lActual = 65; }, sizeof props), E_INVALIDARG);
    EXPECT_EQ(attempt([](AM_SAMPLE2_PROPERTIES& p) { p.dwSampleFlags = AM_SAMPLE_TYPECHANGED; }, sizeof props),
              E_INVALIDARG);
    EXPECT_EQ(attempt([](AM_SAMPLE2_PROPERTIES& p) { p.dwSampleFlags = AM_SAMPLE_TYPECHANGED; }, 32), E_INVALIDARG);
    EXPECT_EQ(attempt([](AM_SAMPLE2_PROPERTIES& p) { p.pbBuffer = nullptr; }, sizeof props), E_INVALIDARG);
    EXPECT_EQ(attempt([](AM_SAMPLE2_PROPERTIES&) {}, sizeof props + 1), E_INVALIDARG);
    EXPECT_EQ(sample->SetActualDataLength(-1), E_INVALIDARG);
    EXPECT_EQ(sample->GetActualDataLength(), 64);
    AM_MEDIA_TYPE* type = nullptr;
    EXPECT_EQ(sample->GetMediaType(&type), S_FALSE);
}

TEST_F(NativeRuntimeTest, PassThruIsInitialisedOnceWithAPinAndSaysWhyItCannotForward)
{
    ComRef<IUnknown> object;
    ASSERT_EQ(CoCreateInstance(CLSID_SeekingPassThru, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void()),
              S_OK);
    ComRef<ISeekingPassThru> passThru;
    ComRef<IMediaSeeking> seeking;
    ASSERT_EQ(object->QueryInterface(IID_ISeekingPassThru, passThru.put_void()), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IMediaSeeking, seeking.put_void()), S_OK);
    LONGLONG duration = 0;
    EXPECT_EQ(seeking->GetDuration(&duration), E_UNEXPECTED);
    EXPECT_EQ(passThru->Init(FALSE, nullptr), E_POINTER);

    FakePin* input = new FakePin(nullptr, PINDIR_INPUT);
    FakePin* plain = new FakePin(nullptr, PINDIR_OUTPUT);  // no IMediaSeeking
    ASSERT_EQ(passThru->Init(TRUE, input), S_OK);
    EXPECT_EQ(passThru->Init(TRUE, input), E_FAIL);
    EXPECT_EQ(seeking->GetDuration(&duration), VFW_E_NOT_CONNECTED);
    ASSERT_EQ(plain->Connect(input, nullptr), S_OK);
    EXPECT_EQ(seeking->GetDuration(&duration), E_NOTIMPL);
    plain->Disconnect();
    input->Disconnect();
    plain->Release();
    input->Release();
}

TEST_F(NativeRuntimeTest, WaitForCompletionNamesTheEventThatEndedIt)
{
    ComRef<IFilterGraph> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, graph.put_void()),
              S_OK);
    FakeFilter* first = new FakeFilter("first");
    FakeFilter* second = new FakeFilter("second");
    FakeFilter* source = new FakeFilter("source");
    FakePin* outs[2] = {source->AddPin(PINDIR_OUTPUT), source->AddPin(PINDIR_OUTPUT)};
    FakePin* ins[2] = {first->AddPin(PINDIR_INPUT), second->AddPin(PINDIR_INPUT)};
    for (FakeFilter* filter : {source, first, second}) {
        ASSERT_EQ(graph->AddFilter(filter, nullptr), S_OK);
        filter->Release();
    }
    for (int i = 0; i < 2; ++i) ASSERT_EQ(graph->ConnectDirect(outs[i], ins[i], nullptr), S_OK);
    EXPECT_EQ(graph->ConnectDirect(outs[0], ins[1], nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(graph->ConnectDirect(ins[0], outs[1], nullptr), VFW_E_INVALID_DIRECTION);

    ComRef<IMediaControl> control;
    ComRef<IMediaEvent> events;
    ComRef<IMediaEventSink> sink;
    ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, control.put_void()), S_OK);
    ASSERT_EQ(graph->QueryInterface(IID_IMediaEvent, events.put_void()), S_OK);
    ASSERT_EQ(graph->QueryInterface(IID_IMediaEventSink, sink.put_void()), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    EXPECT_EQ(graph->RemoveFilter(first), VFW_E_NOT_STOPPED);

    // Two renderers: the stream is complete when both have said so.
    LONG code = 0;
    sink->Notify(EC_COMPLETE, S_OK, 0);
    EXPECT_EQ(events->WaitForCompletion(20, &code), E_ABORT);
    sink->Notify(EC_COMPLETE, S_OK, 0);
    EXPECT_EQ(events->WaitForCompletion(1000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);

    sink->Notify(EC_USER, 0, 0);  // dropped by the wait
    sink->Notify(EC_USERABORT, 0, 0);
    EXPECT_EQ(events->WaitForCompletion(1000, &code), S_OK);
    EXPECT_EQ(code, EC_USERABORT);
    sink->Notify(EC_ERRORABORT, E_FAIL, 0);
    EXPECT_EQ(events->WaitForCompletion(1000, &code), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);

    // Stopping the graph ends a wait in progress.
    HRESULT waited = S_OK;
    IMediaEvent* raw = events.get();
    std::thread waiter([&] {
        LONG ignored = 0;
        waited = raw->WaitForCompletion(-1, &ignored);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(control->Stop(), S_OK);
    waiter.join();
    EXPECT_EQ(waited, VFW_E_WRONG_STATE);
}

}  // namespace

// The graph's IMediaControl and IMediaEvent and the pass-through's IMediaPosition, through
// IDispatch: no type information, and every name or call refused.
TEST_F(NativeRuntimeTest, RuntimeObjectsOfferNoAutomation)
{
    ComRef<IUnknown> graph, passThru;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, graph.put_void()), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_SeekingPassThru, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, passThru.put_void()),
              S_OK);
    // Each interface derives from IDispatch alone, so its pointer is its IDispatch.
    const std::pair<IUnknown*, const IID*> duals[] = {
        {graph.get(), &IID_IMediaControl}, {graph.get(), &IID_IMediaEvent}, {passThru.get(), &IID_IMediaPosition}};
    for (const auto& [object, iid] : duals) {
        ComRef<IDispatch> dispatch;
        ASSERT_EQ(object->QueryInterface(*iid, dispatch.put_void()), S_OK);
        UINT count = 7;
        EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(dispatch->GetTypeInfoCount(nullptr), E_POINTER);
        ITypeInfo* info = reinterpret_cast<ITypeInfo*>(dispatch.get());
        EXPECT_EQ(dispatch->GetTypeInfo(0, 0, &info), E_NOTIMPL);
        EXPECT_EQ(info, nullptr);
        DISPID id = 0;
        EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, nullptr, 0, 0, &id), E_NOTIMPL);
        EXPECT_EQ(dispatch->Invoke(0, IID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
    }
}

// The runtime objects' Release: the object goes with its last reference, once; a stray
// Release on a count already at 0 answers 0 and destroys nothing a second time.
TEST(RuntimeRefCount, ReleaseDestroysOnceOnTheLastReference)
{
    platform::RefCount count(2);
    int destroyed = 0;
    const auto destroy = [&] { ++destroyed; };
    EXPECT_EQ(count.Release(destroy), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(count.Release(destroy), 0u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(count.Release(destroy), 0u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(count.Get(), 0u);
}
