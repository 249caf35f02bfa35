// Connection negotiation between a framework pin and a peer: the order of candidates and
// calls, which failure is reported, the undo on every failure path, and the pin queries.
#include <gtest/gtest.h>

#include "framework/wide_string.h"
#include "streaming_doubles.h"

using namespace doubles;

namespace {

const HRESULT kX = VFW_E_NO_TRANSPORT, kY = VFW_E_BADALIGN, kZ = VFW_E_NO_ALLOCATOR;

struct Negotiation : ::testing::Test {
    Negotiation() : filter(new TestFilter), peer(&log) { out = filter->AddPin(&log, "out", WIDE("Out")); }
    ~Negotiation() override { EXPECT_EQ(peer.refs, 1) << "a reference on the peer was kept or lost"; }

    // The type names of the attempts the peer saw, in order.
    std::string Attempts() const
    {
        std::string names;
        for (const std::string& call : log.Entries()) {
            if (call.rfind("out.CheckMediaType ", 0) == 0) names += call.back();
        }
        return names;
    }

    CallLog log;
    Owned<TestFilter> filter;
    PeerPin peer;
    TestPin* out;
};

TEST_F(Negotiation, FirstAcceptableCandidateRunsTheWholeSequence)
{
    peer.types = {MakeType('A')};
    ASSERT_EQ(out->Connect(&peer, nullptr), S_OK);
    EXPECT_EQ(log.Entries(), (Log{"peer.EnumMediaTypes", "out.CheckConnect", "out.CheckMediaType A",
                                  "out.SetMediaType A", "peer.ReceiveConnection A", "out.CompleteConnect"}));

    IPin* connected = nullptr;
    EXPECT_EQ(out->ConnectedTo(&connected), S_OK);
    EXPECT_EQ(connected, static_cast<IPin*>(&peer));
    EXPECT_EQ(peer.refs, 3);
    connected->Release();
    AM_MEDIA_TYPE mt;
    EXPECT_EQ(out->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(Name(&mt), "A");
    FreeMediaType(mt);

    EXPECT_EQ(out->Connect(&peer, nullptr), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(out->Disconnect(), S_OK);
    EXPECT_EQ(out->Disconnect(), S_FALSE);
}

TEST_F(Negotiation, LaterPassReplacesASpecificFailure)
{
    peer.types = {MakeType('A'), MakeType('B')};
    out->offered = {MakeType('C')};
    peer.refuse = {{'A', kX}, {'B', kY}, {'C', kZ}};
    EXPECT_EQ(out->Connect(&peer, nullptr), kZ);
    EXPECT_EQ(Attempts(), "ABC");
    EXPECT_FALSE(out->IsConnected());

    // A pin without types of its own still has a pass: it finds nothing acceptable.
    out->offered.clear();
    log.Clear();
    EXPECT_EQ(out->Connect(&peer, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_EQ(Attempts(), "AB");
}

TEST_F(Negotiation, FirstSpecificFailureOfAPassStaysAndRefusalsSayNothing)
{
    out->TryMyTypesFirst();
    out->offered = {MakeType('C')};
    peer.types = {MakeType('A'), MakeType('B'), MakeType('D')};
    out->verdicts = {{'C', S_FALSE}};          // a refusal: VFW_E_TYPE_NOT_ACCEPTED
    peer.refuse = {{'A', kX}, {'B', kY}, {'D', E_FAIL}};
    EXPECT_EQ(out->Connect(&peer, nullptr), kX);
    EXPECT_EQ(Attempts(), "CABD");
    EXPECT_EQ(log.Entries().front(), "out.CheckConnect");  // own enumerator, no peer call before it

    // Nothing but refusals: no type was acceptable.
    peer.refuse = {{'A', E_INVALIDARG}, {'B', VFW_E_TYPE_NOT_ACCEPTED}, {'D', E_FAIL}};
    EXPECT_EQ(out->Connect(&peer, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
}

TEST_F(Negotiation, PartialTypeLimitsTheCandidates)
{
    peer.types = {MakeType('A'), MakeType('B', kOtherMajor), MakeType('C')};
    CMediaType partial;
    partial.majortype = kOtherMajor;
    ASSERT_EQ(out->Connect(&peer, &partial), S_OK);
    EXPECT_EQ(Attempts(), "B");
    EXPECT_EQ(out->Disconnect(), S_OK);
}

TEST_F(Negotiation, FullySpecifiedTypeIsTheOnlyAttempt)
{
    CMediaType a = MakeType('A');
    peer.types = {MakeType('B')};
    out->verdicts = {{'A', S_FALSE}};
    EXPECT_EQ(out->Connect(&peer, &a), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(log.Entries(), (Log{"out.CheckConnect", "out.CheckMediaType A", "out.BreakConnect", "out.BreakConnect"}));
    out->verdicts = {{'A', E_FAIL}};
    EXPECT_EQ(out->Connect(&peer, &a), VFW_E_TYPE_NOT_ACCEPTED);
    out->verdicts = {{'A', kY}};
    EXPECT_EQ(out->Connect(&peer, &a), kY);  // a specific failure passes unchanged

    // A peer of the same direction is refused before the type is looked at.
    PeerPin twin(&log, PINDIR_OUTPUT);
    log.Clear();
    EXPECT_EQ(out->Connect(&twin, &a), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(log.Entries(), (Log{"out.CheckConnect", "out.BreakConnect", "out.BreakConnect"}));
    EXPECT_EQ(twin.refs, 1);
    EXPECT_EQ(out->Connect(nullptr, &a), E_POINTER);
}

TEST_F(Negotiation, EveryFailureAfterMarkingConnectedIsUndone)
{
    CMediaType a = MakeType('A');
    peer.refuse = {{'A', kY}};
    EXPECT_EQ(out->Connect(&peer, &a), kY);
    EXPECT_EQ(log.Entries(), (Log{"out.CheckConnect", "out.CheckMediaType A", "out.SetMediaType A",
                                  "peer.ReceiveConnection A", "out.BreakConnect", "out.BreakConnect"}));

    peer.refuse.clear();
    out->completeResult = kZ;
    log.Clear();
    EXPECT_EQ(out->Connect(&peer, &a), kZ);
    EXPECT_EQ(log.Entries(), (Log{"out.CheckConnect", "out.CheckMediaType A", "out.SetMediaType A",
                                  "peer.ReceiveConnection A", "out.CompleteConnect", "peer.Disconnect",
                                  "out.BreakConnect", "out.BreakConnect"}));
    EXPECT_FALSE(out->IsConnected());
}

TEST_F(Negotiation, ATypeThePinCannotKeepRefusesTheConnectionOnEitherSide)
{
    // Connecting: the peer is never asked, and the pin is left unconnected.
    CMediaType a = MakeType('A');
    out->setTypeResult = E_OUTOFMEMORY;
    EXPECT_EQ(out->Connect(&peer, &a), E_OUTOFMEMORY);
    EXPECT_EQ(log.Entries(), (Log{"out.CheckConnect", "out.CheckMediaType A", "out.SetMediaType A", "out.BreakConnect",
                        "out.BreakConnect"}));
    EXPECT_FALSE(out->IsConnected());
    out->setTypeResult = S_OK;
    ASSERT_EQ(out->Connect(&peer, &a), S_OK);
    EXPECT_EQ(out->Disconnect(), S_OK);

    // Receiving: the connection is undone before it completes.
    TestPin* in = filter->AddPin(&log, "in", WIDE("In"), PINDIR_INPUT);
    PeerPin upstream(&log, PINDIR_OUTPUT);
    in->setTypeResult = E_OUTOFMEMORY;
    log.Clear();
    EXPECT_EQ(in->ReceiveConnection(&upstream, &a), E_OUTOFMEMORY);
    EXPECT_EQ(log.Entries(), (Log{"in.CheckConnect", "in.CheckMediaType A", "in.SetMediaType A", "in.BreakConnect"}));
    EXPECT_FALSE(in->IsConnected());
    EXPECT_EQ(upstream.refs, 1);
}

TEST_F(Negotiation, ConnectionStandsWhenCompletionAnswersAnotherSuccess)
{
    peer.types = {MakeType('A'), MakeType('B')};
    out->completeResult = S_FALSE;
    ASSERT_EQ(out->Connect(&peer, nullptr), S_OK);
    EXPECT_EQ(Attempts(), "A");
    EXPECT_EQ(peer.refs, 2);
    EXPECT_EQ(out->Disconnect(), S_OK);
}

TEST_F(Negotiation, ConnectionsChangeOnlyWhileStopped)
{
    peer.types = {MakeType('A')};
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_EQ(out->Connect(&peer, nullptr), VFW_E_NOT_STOPPED);
    EXPECT_EQ(out->Disconnect(), VFW_E_NOT_STOPPED);
    ASSERT_EQ(filter->Stop(), S_OK);
    ASSERT_EQ(out->Connect(&peer, nullptr), S_OK);
    ASSERT_EQ(filter->Pause(), S_OK);
    EXPECT_EQ(out->Disconnect(), VFW_E_NOT_STOPPED);
    EXPECT_TRUE(out->IsConnected());
    filter->Stop();
    EXPECT_EQ(out->Disconnect(), S_OK);
}

TEST_F(Negotiation, ReceivingSideChecksCompletesAndUndoes)
{
    TestPin* in = filter->AddPin(&log, "in", WIDE("In"), PINDIR_INPUT);
    PeerPin upstream(&log, PINDIR_OUTPUT);
    CMediaType a = MakeType('A');
    EXPECT_EQ(in->ReceiveConnection(&upstream, nullptr), E_POINTER);
    EXPECT_EQ(in->ReceiveConnection(nullptr, &a), E_POINTER);

    in->verdicts = {{'A', 2}};
    EXPECT_EQ(in->ReceiveConnection(&upstream, &a), VFW_E_TYPE_NOT_ACCEPTED);
    in->verdicts.clear();
    in->completeResult = kZ;
    log.Clear();
    EXPECT_EQ(in->ReceiveConnection(&upstream, &a), kZ);
    EXPECT_EQ(log.Entries(), (Log{"in.CheckConnect", "in.CheckMediaType A", "in.SetMediaType A", "in.CompleteConnect",
                        "in.BreakConnect"}));
    EXPECT_EQ(upstream.refs, 1);

    in->completeResult = S_OK;
    ASSERT_EQ(in->ReceiveConnection(&upstream, &a), S_OK);
    EXPECT_EQ(upstream.refs, 2);
    EXPECT_EQ(in->ReceiveConnection(&upstream, &a), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(in->Disconnect(), S_OK);
    EXPECT_EQ(upstream.refs, 1);
}

TEST_F(Negotiation, PinQueries)
{
    // Every reference on a pin is one on its filter.
    EXPECT_EQ(out->AddRef(), 2u);
    out->Release();
    PIN_INFO info;
    ASSERT_EQ(out->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(filter.p));
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    EXPECT_EQ(WideCompare(info.achName, WIDE("Out")), 0);
    EXPECT_EQ(RefCount(filter.p), 2u);
    info.pFilter->Release();
    LPWSTR id = nullptr;
    ASSERT_EQ(out->QueryId(&id), S_OK);
    EXPECT_EQ(WideCompare(id, WIDE("Out")), 0);
    CoTaskMemFree(id);

    // QueryAccept turns failures into S_FALSE and passes success codes through.
    CMediaType a = MakeType('A');
    out->verdicts = {{'A', E_FAIL}};
    EXPECT_EQ(out->QueryAccept(&a), S_FALSE);
    out->verdicts = {{'A', 2}};
    EXPECT_EQ(out->QueryAccept(&a), 2);

    IPin* connected = &peer;
    EXPECT_EQ(out->ConnectedTo(&connected), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(connected, nullptr);
    AM_MEDIA_TYPE mt = a;
    EXPECT_EQ(out->ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);
    EXPECT_TRUE(IsEqualGUID(mt.majortype, GUID_NULL));
    EXPECT_EQ(out->QueryInternalConnections(nullptr, nullptr), E_NOTIMPL);

    EXPECT_EQ(out->CurrentStartTime(), 0);
    EXPECT_EQ(out->CurrentStopTime(), 0x7FFFFFFFFFFFFFFFLL);
    EXPECT_EQ(out->CurrentRate(), 1.0);
    EXPECT_EQ(out->NewSegment(10, 20, 0.5), S_OK);
    EXPECT_EQ(out->CurrentStopTime(), 20);
}

}  // namespace
