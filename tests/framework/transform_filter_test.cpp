// The transform filter and its pins between fake neighbours: pin creation, connection
// rules, the order of the streaming state changes, the per-sample path and what passes
// downstream.

#include <gtest/gtest.h>

#include "framework/wide_string.h"
#include "tests/support/failing_new.h"
#include "tests/framework/transform_test_filter.h"

namespace transform_test {
namespace {

using Log = std::vector<std::string>;

// ---- Pins -----------------------------------------------------------------------------

TEST_F(TransformFixture, FindPinMatchesIdsExactlyAndCountsOnTheFilter)
{
    IPin* pin = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(VFW_E_NOT_FOUND, filter->FindPin(WIDE("in"), &pin));
    EXPECT_EQ(nullptr, pin);
    EXPECT_EQ(E_POINTER, filter->FindPin(WIDE("In"), nullptr));

    ULONG before = filter->AddRef();
    filter->Release();
    ASSERT_EQ(S_OK, filter->FindPin(WIDE("Out"), &pin));
    EXPECT_EQ(static_cast<IPin*>(filter->Output()), pin);
    EXPECT_NE(nullptr, filter->GetPin(0));
    EXPECT_EQ(nullptr, filter->GetPin(2));
    EXPECT_EQ(nullptr, filter->GetPin(-1));
    ULONG during = filter->AddRef();
    filter->Release();
    EXPECT_EQ(before + 1, during);
    pin->Release();

    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, filter->Input()->QueryId(&id));
    EXPECT_EQ(0, WideCompare(id, WIDE("In")));
    CoTaskMemFree(id);
    ASSERT_EQ(S_OK, filter->Output()->QueryId(&id));
    EXPECT_EQ(0, WideCompare(id, WIDE("Out")));
    CoTaskMemFree(id);

    PIN_INFO info;
    ASSERT_EQ(S_OK, filter->Input()->QueryPinInfo(&info));
    EXPECT_EQ(0, WideCompare(info.achName, WIDE("XForm In")));
    info.pFilter->Release();
    ASSERT_EQ(S_OK, filter->Output()->QueryPinInfo(&info));
    EXPECT_EQ(0, WideCompare(info.achName, WIDE("XForm Out")));
    info.pFilter->Release();
}

TEST(TransformPinCreation, EitherPinFailingLeavesNoPinsAndTheNextRequestTriesAgain)
{
    using test_support::FailNthNew;
    int pinsRefused = 0;
    for (long n = 1;; ++n) {
        CallLog log;
        TestTransform* filter = new TestTransform(&log);
        filter->NonDelegatingAddRef();

        // Allocation n of making the pins fails. Where that leaves no pins (the allocation was
        // one of the pins), every way of asking for them fails alike.
        FailNthNew(n);
        CBasePin* first = filter->GetPin(0);
        const bool failed = test_support::NewCallsCounted() >= n;
        FailNthNew(0);
        if (failed && !first) {
            ++pinsRefused;
            FailNthNew(n);
            CBasePin* second = filter->GetPin(1);
            FailNthNew(0);
            EXPECT_EQ(nullptr, second) << n;
            IPin* pin = reinterpret_cast<IPin*>(1);
            FailNthNew(n);
            HRESULT found = filter->FindPin(WIDE("In"), &pin);
            FailNthNew(0);
            EXPECT_EQ(E_OUTOFMEMORY, found) << n;
            EXPECT_EQ(nullptr, pin);
            IEnumPins* pins = nullptr;
            ASSERT_EQ(S_OK, filter->EnumPins(&pins));
            ULONG fetched = 5;
            FailNthNew(n);
            HRESULT next = pins->Next(1, &pin, &fetched);
            FailNthNew(0);
            EXPECT_NE(S_OK, next) << n;
            pins->Release();
        }

        EXPECT_NE(nullptr, filter->GetPin(0));
        EXPECT_NE(nullptr, filter->GetPin(1));
        filter->NonDelegatingRelease();
        if (!failed) break;
    }
    EXPECT_EQ(2, pinsRefused);  // the input pin and the output pin
}

// ---- Connection -----------------------------------------------------------------------

TEST_F(TransformFixture, OutputPinWaitsForTheInputConnection)
{
    CMediaType mt = AudioType();
    EXPECT_EQ(E_UNEXPECTED, filter->Output()->Connect(downstream, &mt));
    EXPECT_EQ(nullptr, downstream->Connected());
    EXPECT_EQ(E_INVALIDARG, filter->Output()->CheckMediaType(&mt));
    EXPECT_EQ(S_FALSE, filter->Output()->QueryAccept(&mt));

    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(S_OK, filter->Output()->EnumMediaTypes(&types));
    AM_MEDIA_TYPE* got = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, types->Next(1, &got, &fetched));
    EXPECT_EQ(0u, fetched);
    types->Release();
    CMediaType proposed;
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, filter->Output()->GetMediaType(0, &proposed));

    ConnectInput();
    ASSERT_EQ(S_OK, filter->Output()->Connect(downstream, &mt));
    EXPECT_EQ(static_cast<IPin*>(filter->Output()), downstream->Connected());
}

TEST_F(TransformFixture, NewInputTypeIsCheckedAgainstTheConnectedOutput)
{
    CMediaType mt = AudioType();
    EXPECT_EQ(S_OK, filter->Input()->CheckMediaType(&mt));
    EXPECT_EQ((Log{"CheckInputType"}), log.Entries());

    ConnectBoth();
    EXPECT_EQ(S_OK, filter->Input()->QueryAccept(&mt));
    EXPECT_EQ((Log{"CheckInputType", "CheckTransform"}), log.Entries());

    log.Clear();
    filter->checkInputResult = S_FALSE;
    EXPECT_EQ(S_FALSE, filter->Input()->CheckMediaType(&mt));
    EXPECT_EQ((Log{"CheckInputType"}), log.Entries());

    filter->checkInputResult = S_OK;
    filter->checkTransformResult = VFW_E_TYPE_NOT_ACCEPTED;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, filter->Input()->CheckMediaType(&mt));
}

TEST_F(TransformFixture, FilterRefusingSetMediaTypeDoesNotFailTheConnection)
{
    filter->setMediaTypeResult = E_FAIL;
    CMediaType mt = AudioType();
    EXPECT_EQ(S_OK, filter->Input()->SetMediaType(&mt));
    ConnectInput();
    ConnectOutput();
    EXPECT_EQ(1u, log.Count("SetMediaType out"));
    EXPECT_TRUE(filter->Output()->IsConnected());
}

// ---- State changes --------------------------------------------------------------------

TEST_F(TransformFixture, PauseStartsStreamingBeforeThePinsAndStopEndsItAfter)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    EXPECT_EQ((Log{"StartStreaming", "out.Commit"}), log.Entries());

    log.Clear();
    ASSERT_EQ(S_OK, filter->Run(0));
    ASSERT_EQ(S_OK, filter->Pause());
    EXPECT_EQ(0u, log.Count("StartStreaming"));

    log.Clear();
    ASSERT_EQ(S_OK, filter->Stop());
    EXPECT_EQ((Log{"in.Decommit", "out.Decommit", "StopStreaming"}), log.Entries());
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(State_Stopped, state);

    log.Clear();
    EXPECT_EQ(S_OK, filter->Stop());
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(TransformFixture, StreamingHooksRunOnlyWithBothPinsConnected)
{
    ConnectInput();
    log.Clear();
    ASSERT_EQ(S_OK, filter->Pause());
    ASSERT_EQ(S_OK, filter->Stop());
    EXPECT_EQ(0u, log.Count("StartStreaming"));
    EXPECT_EQ(0u, log.Count("StopStreaming"));
}

TEST_F(TransformFixture, FailedStartStreamingLeavesTheFilterStopped)
{
    ConnectBoth();
    filter->startResult = E_FAIL;
    EXPECT_EQ(E_FAIL, filter->Pause());
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(State_Stopped, state);
    EXPECT_EQ(0u, log.Count("out.Commit"));
}

TEST_F(TransformFixture, PinThatCannotBecomeActiveClosesTheStreamingRun)
{
    ConnectBoth();
    outAlloc->commitResult = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, filter->Pause());
    // The input pin, made active first, is made inactive again.
    EXPECT_EQ((Log{"StartStreaming", "out.Commit", "in.Decommit", "StopStreaming"}), log.Entries());
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(State_Stopped, state);

    log.Clear();
    outAlloc->commitResult = S_OK;
    EXPECT_EQ(S_OK, filter->Pause());
    EXPECT_EQ((Log{"StartStreaming", "out.Commit"}), log.Entries());
}

TEST_F(TransformFixture, FailedStopStreamingKeepsTheStateAndIsReturned)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    filter->stopResult = E_FAIL;
    EXPECT_EQ(E_FAIL, filter->Stop());
    FILTER_STATE state;
    filter->GetState(0, &state);
    EXPECT_EQ(State_Paused, state);
    filter->stopResult = S_OK;
    EXPECT_EQ(S_OK, filter->Stop());
}

TEST_F(TransformFixture, PausingWithoutInputSendsOneEndOfStreamPerStop)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Input()->Disconnect());
    log.Clear();
    EXPECT_EQ(S_OK, filter->Pause());
    EXPECT_EQ(S_OK, filter->Run(0));
    EXPECT_EQ(S_OK, filter->Pause());
    EXPECT_EQ(1u, log.Count("down.EndOfStream"));
    EXPECT_EQ(S_OK, filter->Stop());
    EXPECT_EQ(S_OK, filter->Pause());
    EXPECT_EQ(2u, log.Count("down.EndOfStream"));
    EXPECT_EQ(0u, log.Count("StartStreaming"));
}

// ---- The sample path ------------------------------------------------------------------

TEST_F(TransformFixture, SampleIsTransformedDeliveredAndReleased)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    IMediaSample* seen = nullptr;
    filter->transform = [&](IMediaSample*, IMediaSample* out) {
        seen = out;
        BYTE* p = nullptr;
        out->GetPointer(&p);
        p[0] = 0x5A;
        return out->SetActualDataLength(1);
    };
    log.Clear();
    EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
    EXPECT_EQ((Log{"out.GetBuffer", "Transform", "down.Receive"}), log.Entries());
    EXPECT_EQ(0u, outAlloc->lastFlags);
    auto received = downstream->ReceivedSamples();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(seen, received[0].identity);
    EXPECT_EQ(std::vector<BYTE>{0x5A}, received[0].data);
    EXPECT_EQ(0, FakeSample::live());

    downstream->receiveResult = S_FALSE;
    EXPECT_EQ(S_FALSE, Push(InputSample(0)));
    EXPECT_EQ(static_cast<DWORD>(AM_GBF_NOTASYNCPOINT), outAlloc->lastFlags);
    EXPECT_EQ(0, FakeSample::live());
}

TEST_F(TransformFixture, TimesAndFlagsAreCopiedThroughSampleProperties)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    outAlloc->newSampleFlags = AM_SAMPLE_TYPECHANGED;
    AM_SAMPLE2_PROPERTIES out = {};
    filter->transform = [&](IMediaSample*, IMediaSample* o) {
        EXPECT_EQ((std::vector<std::string>{"GetProperties 16", "SetProperties 32"}), static_cast<FakeSample*>(o)->calls);
        static_cast<FakeSample*>(o)->GetProperties(sizeof out, reinterpret_cast<BYTE*>(&out));
        return S_OK;
    };

    FakeSample* in = InputSample(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID | AM_SAMPLE_PREROLL, 1000, 2000);
    in->props.dwTypeSpecificFlags = 0x77;
    in->hasMediaTime = true;
    ASSERT_EQ(S_OK, Push(in));
    EXPECT_TRUE(outAlloc->lastHadStart);
    EXPECT_TRUE(outAlloc->lastHadStop);
    EXPECT_EQ(1000, out.tStart);
    EXPECT_EQ(2000, out.tStop);
    EXPECT_EQ(0x77u, out.dwTypeSpecificFlags);
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID | AM_SAMPLE_PREROLL | AM_SAMPLE_TYPECHANGED),
              out.dwSampleFlags);
    EXPECT_EQ(7, out.lActual);
    EXPECT_EQ(32u, out.cbData);

    // Times without their flags still travel; the flags say they are not valid, and the
    // input's own type-change mark stays behind.
    outAlloc->newSampleFlags = 0;
    CMediaType announced = AudioType();
    FakeSample* changed = InputSample(AM_SAMPLE_TYPECHANGED | AM_SAMPLE_DATADISCONTINUITY, 5, 9);
    changed->props.pMediaType = &announced;
    ASSERT_EQ(S_OK, Push(changed));
    EXPECT_FALSE(outAlloc->lastHadStart);
    EXPECT_FALSE(outAlloc->lastHadStop);
    EXPECT_EQ(5, out.tStart);
    EXPECT_EQ(9, out.tStop);
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_DATADISCONTINUITY), out.dwSampleFlags);
}

TEST_F(TransformFixture, TimesAndFlagsAreSetOneByOneWithoutSampleProperties)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    outAlloc->samplesOffer2 = false;
    std::vector<std::string> calls;
    FakeSample copy(1);
    filter->transform = [&](IMediaSample*, IMediaSample* o) {
        FakeSample* s = static_cast<FakeSample*>(o);
        calls = s->calls;
        copy.props = s->props;
        copy.mediaStart = s->mediaStart;
        return S_OK;
    };

    FakeSample* in = InputSample(AM_SAMPLE_TIMEVALID | AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_DATADISCONTINUITY |
                                     AM_SAMPLE_PREROLL,
                                 100, 300);
    in->props.dwTypeSpecificFlags = 3;
    in->hasMediaTime = true;
    in->mediaStart = 11;
    in->mediaStop = 12;
    ASSERT_EQ(S_OK, Push(in));
    EXPECT_EQ((std::vector<std::string>{"SetTime", "SetSyncPoint 1", "SetDiscontinuity 1", "SetMediaTime"}), calls);
    EXPECT_EQ(100, copy.props.tStart);
    EXPECT_EQ(300, copy.props.tStop);
    EXPECT_EQ(11, copy.mediaStart);
    EXPECT_EQ(S_FALSE, copy.IsPreroll());
    EXPECT_EQ(0u, copy.props.dwTypeSpecificFlags);

    ASSERT_EQ(S_OK, Push(InputSample(0)));
    EXPECT_TRUE(calls.empty());
}

TEST_F(TransformFixture, DroppedSamplesRaiseOneQualityChangeBetweenPauses)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    filter->transformResult = S_FALSE;
    const std::string qualityEvent = "Event " + std::to_string(EC_QUALITY_CHANGE) + " 0 0";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
    EXPECT_EQ(0u, downstream->ReceivedSamples().size());
    EXPECT_EQ(1u, log.Count(qualityEvent));
    EXPECT_EQ(static_cast<DWORD>(AM_GBF_PREVFRAMESKIPPED), outAlloc->lastFlags);
    EXPECT_EQ(0, FakeSample::live());

    ASSERT_EQ(S_OK, filter->Run(0));
    ASSERT_EQ(S_OK, filter->Pause());
    EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
    EXPECT_EQ(2u, log.Count(qualityEvent));

    // Delivering again clears the skip.
    filter->transformResult = S_OK;
    EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
    EXPECT_EQ(static_cast<DWORD>(AM_GBF_PREVFRAMESKIPPED), outAlloc->lastFlags);
    EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
    EXPECT_EQ(0u, outAlloc->lastFlags);
}

TEST_F(TransformFixture, DiscontinuityClearsTheSkipBeforeTheTransformRuns)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    for (bool offers2 : {true, false}) {
        outAlloc->samplesOffer2 = offers2;
        filter->transformResult = S_FALSE;
        EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
        // This sample fails, so only the discontinuity can have cleared the skip.
        filter->transformResult = E_FAIL;
        EXPECT_EQ(E_FAIL, Push(InputSample(AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_DATADISCONTINUITY)));
        EXPECT_EQ(static_cast<DWORD>(AM_GBF_PREVFRAMESKIPPED), outAlloc->lastFlags);
        filter->transformResult = S_OK;
        EXPECT_EQ(S_OK, Push(InputSample(AM_SAMPLE_SPLICEPOINT)));
        EXPECT_EQ(0u, outAlloc->lastFlags) << "IMediaSample2: " << offers2;
    }
    EXPECT_EQ(0, FakeSample::live());
}

TEST_F(TransformFixture, OtherTransformResultsAndFailuresAreReturnedWithoutDelivery)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    filter->transformResult = static_cast<HRESULT>(2);
    EXPECT_EQ(static_cast<HRESULT>(2), Push(InputSample(0)));
    filter->transformResult = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, Push(InputSample(0)));
    EXPECT_EQ(0u, downstream->ReceivedSamples().size());
    EXPECT_EQ(0u, log.Count("Event " + std::to_string(EC_QUALITY_CHANGE) + " 0 0"));

    filter->transformResult = S_OK;
    outAlloc->getBufferResult = VFW_E_NOT_COMMITTED;
    log.Clear();
    EXPECT_EQ(VFW_E_NOT_COMMITTED, Push(InputSample(0)));
    EXPECT_EQ(0u, log.Count("Transform"));
    EXPECT_EQ(0, FakeSample::live());
}

TEST_F(TransformFixture, NonMediaSamplePassesThroughUntouched)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    FakeSample* in = InputSample(0);
    in->props.dwStreamId = AM_STREAM_CONTROL;
    in->AddRef();
    log.Clear();
    EXPECT_EQ(S_OK, Push(in));
    EXPECT_EQ((Log{"down.Receive"}), log.Entries());
    auto received = downstream->ReceivedSamples();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(static_cast<IMediaSample*>(in), received[0].identity);
    in->Release();
}

TEST_F(TransformFixture, SamplesAreRefusedUnlessStreaming)
{
    ConnectInput();
    EXPECT_EQ(VFW_E_NOT_CONNECTED, Push(InputSample(0)));
    ConnectOutput();
    EXPECT_EQ(VFW_E_WRONG_STATE, Push(InputSample(0)));
    EXPECT_EQ(VFW_E_WRONG_STATE, filter->Input()->EndOfStream());
    ASSERT_EQ(S_OK, filter->Pause());
    ASSERT_EQ(S_OK, filter->Input()->BeginFlush());
    EXPECT_EQ(S_FALSE, Push(InputSample(0)));
    EXPECT_EQ(S_FALSE, filter->Input()->EndOfStream());
    ASSERT_EQ(S_OK, filter->Input()->EndFlush());
    EXPECT_EQ(0u, log.Count("Transform"));
    EXPECT_EQ(0u, log.Count("down.EndOfStream"));
    EXPECT_EQ(S_OK, Push(InputSample(0)));
}

// ---- Notices passed downstream --------------------------------------------------------

TEST_F(TransformFixture, EndOfStreamFlushAndSegmentGoDownstream)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    log.Clear();
    EXPECT_EQ(S_OK, filter->Input()->NewSegment(10, 20, 1.5));
    EXPECT_EQ(S_OK, filter->Input()->BeginFlush());
    EXPECT_TRUE(filter->Input()->IsFlushing());
    EXPECT_EQ(S_OK, filter->Input()->EndFlush());
    EXPECT_FALSE(filter->Input()->IsFlushing());
    EXPECT_EQ(S_OK, filter->Input()->EndOfStream());
    EXPECT_EQ((Log{"down.NewSegment 10 20 1.500000", "down.BeginFlush", "down.EndFlush", "down.EndOfStream"}),
              log.Entries());
    EXPECT_EQ(10, filter->Input()->CurrentStartTime());
    EXPECT_EQ(1.5, filter->Input()->CurrentRate());
}

TEST_F(TransformFixture, FlushNeedsBothPinsConnected)
{
    ConnectInput();
    EXPECT_EQ(VFW_E_NOT_CONNECTED, filter->Input()->BeginFlush());
    EXPECT_FALSE(filter->Input()->IsFlushing());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, filter->Input()->EndFlush());
}

TEST_F(TransformFixture, RefusedTypeChangeStopsTheStreamUntilFlushed)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Pause());
    filter->checkInputResult = VFW_E_TYPE_NOT_ACCEPTED;
    FakeSample* changing = InputSample(0, 0, 0, false);
    changing->typeToAnnounce = [] {
        AM_MEDIA_TYPE* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        CMediaType source = AudioType();
        CopyMediaType(mt, &source);
        return mt;
    };
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, Push(changing));
    EXPECT_EQ(0u, log.Count("down.EndOfStream"));
    EXPECT_EQ(1u, log.Count("Event " + std::to_string(EC_ERRORABORT) + " " +
                            std::to_string(static_cast<LONG_PTR>(VFW_E_TYPE_NOT_ACCEPTED)) + " 0"));
    EXPECT_EQ(VFW_E_RUNTIME_ERROR, Push(InputSample(0)));
    EXPECT_EQ(VFW_E_RUNTIME_ERROR, filter->Input()->EndOfStream());
    EXPECT_EQ(0u, log.Count("Transform"));

    ASSERT_EQ(S_OK, filter->Input()->BeginFlush());
    ASSERT_EQ(S_OK, filter->Input()->EndFlush());
    EXPECT_EQ(S_OK, Push(InputSample(0)));
}

// ---- Quality and position -------------------------------------------------------------

TEST_F(TransformFixture, QualityGoesUpstreamOnlyWhenTheFilterDoesNotHandleIt)
{
    ConnectBoth();
    Quality q = {Famine, 900, 10, 20};
    EXPECT_EQ(S_OK, filter->Output()->Notify(filter->AsFilter(), q));
    EXPECT_EQ((Log{"AlterQuality", "up.Notify"}), log.Entries());

    log.Clear();
    filter->alterQualityResult = S_OK;
    EXPECT_EQ(S_OK, filter->Output()->Notify(filter->AsFilter(), q));
    EXPECT_EQ((Log{"AlterQuality"}), log.Entries());
}

TEST_F(TransformFixture, PositionRequestsShareOnePassThroughObject)
{
    ConnectBoth();
    IMediaSeeking* seeking1 = nullptr;
    IMediaSeeking* seeking2 = nullptr;
    IUnknown* position = nullptr;
    IPin* out = filter->Output();
    HRESULT hr1 = out->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking1));
    HRESULT hr2 = out->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking2));
    HRESULT hr3 = out->QueryInterface(IID_IMediaPosition, reinterpret_cast<void**>(&position));
    EXPECT_EQ(hr1, hr2);
    EXPECT_EQ(hr1, hr3);
    if (SUCCEEDED(hr1)) {
        EXPECT_EQ(seeking1, seeking2);
        // The object is aggregated by the pin: its interfaces lead back to the pin.
        IPin* back = nullptr;
        ASSERT_EQ(S_OK, seeking1->QueryInterface(IID_IPin, reinterpret_cast<void**>(&back)));
        EXPECT_EQ(out, back);
        back->Release();
        seeking1->Release();
        seeking2->Release();
        position->Release();
    } else {
        EXPECT_EQ(nullptr, seeking1);
        EXPECT_EQ(nullptr, position);
    }
    EXPECT_EQ(E_POINTER, out->QueryInterface(IID_IMediaSeeking, nullptr));
}

}  // namespace
}  // namespace transform_test
