// The system reference clock and the seeking pass-through object.
#include "tests/platform/runtime_doubles.h"

using namespace runtime_test;

namespace {

class SystemClockTest : public ComTest {};
class SeekingPassThruTest : public ComTest {};

TEST_F(SystemClockTest, CountsRealTimeIn100NanosecondUnitsAndNeverGoesBack)
{
    ComRef<IReferenceClock> clock;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               clock.put_void()),
              S_OK);
    REFERENCE_TIME previous = 0;
    ASSERT_TRUE(SUCCEEDED(clock->GetTime(&previous)));
    for (int i = 0; i < 1000; ++i) {
        REFERENCE_TIME now = 0;
        HRESULT hr = clock->GetTime(&now);
        ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << hr;
        ASSERT_GE(now, previous);
        if (hr == S_FALSE) {
            EXPECT_EQ(now, previous);  // no tick since the last reading
        }
        previous = now;
    }

    REFERENCE_TIME before = 0, after = 0;
    clock->GetTime(&before);
    Sleep(100);
    clock->GetTime(&after);
    // 100 ms is a million units; allow for a busy machine but not for milliseconds.
    EXPECT_GE(after - before, 900000);
    EXPECT_LT(after - before, 50000000);
}

// An object standing in for a filter's pin: it aggregates the pass-through and hands out
// the pass-through's interfaces as its own.
class AggregatingPin final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        if (m_inner && (riid == IID_IMediaSeeking || riid == IID_IMediaPosition || riid == IID_ISeekingPassThru))
            return m_inner->QueryInterface(riid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
    STDMETHODIMP_(ULONG) Release() override { return --m_ref; }  // lives on the test's stack

    std::atomic<ULONG> m_ref{1};
    IUnknown* m_inner = nullptr;  // the pass-through's own IUnknown
};

TEST_F(SeekingPassThruTest, AggregatedObjectForwardsSeekingToTheUpstreamPin)
{
    // upstream output pin (answers seeking) -> this filter's input pin
    FakePin* upstream = new FakePin(nullptr, PINDIR_OUTPUT, true);
    FakePin* input = new FakePin(nullptr, PINDIR_INPUT);
    ASSERT_EQ(upstream->Connect(input, nullptr), S_OK);

    AggregatingPin outer;
    ASSERT_EQ(CoCreateInstance(CLSID_SeekingPassThru, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&outer.m_inner)),
              S_OK);
    ASSERT_NE(outer.m_inner, nullptr);
    EXPECT_NE(outer.m_inner, static_cast<IUnknown*>(&outer));

    {
        ComRef<ISeekingPassThru> passThru;
        ASSERT_EQ(outer.QueryInterface(IID_ISeekingPassThru, passThru.put_void()), S_OK);
        ASSERT_EQ(passThru->Init(FALSE, input), S_OK);

        ComRef<IMediaSeeking> seeking;
        const ULONG before = outer.m_ref.load();
        ASSERT_EQ(outer.QueryInterface(IID_IMediaSeeking, seeking.put_void()), S_OK);
        // References on the aggregated interfaces count on the outer object...
        EXPECT_GT(outer.m_ref.load(), before);
        // ...and their IUnknown is the outer object's.
        ComRef<IUnknown> identity;
        ASSERT_EQ(seeking->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
        EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));

        LONGLONG duration = 0;
        EXPECT_EQ(seeking->GetDuration(&duration), S_OK);
        EXPECT_EQ(duration, FakePin::kDuration);

        LONGLONG current = 1000000, stop = 2000000;
        EXPECT_EQ(seeking->SetPositions(&current, AM_SEEKING_AbsolutePositioning, &stop,
                                        AM_SEEKING_AbsolutePositioning),
                  S_OK);
        EXPECT_EQ(upstream->m_setPositionsCalls, 1);
        EXPECT_EQ(upstream->m_current, 1000000);
        EXPECT_EQ(upstream->m_stop, 2000000);

        EXPECT_EQ(seeking->SetRate(2.0), S_OK);
        double rate = 0;
        EXPECT_EQ(seeking->GetRate(&rate), S_OK);
        EXPECT_EQ(rate, 2.0);
        EXPECT_EQ(upstream->m_rate, 2.0);

        DWORD caps = 0;
        EXPECT_EQ(seeking->GetCapabilities(&caps), S_OK);
        EXPECT_NE(caps & AM_SEEKING_CanGetDuration, 0u);

        ComRef<IMediaPosition> position;
        EXPECT_EQ(outer.QueryInterface(IID_IMediaPosition, position.put_void()), S_OK);
    }

    outer.m_inner->Release();
    EXPECT_EQ(upstream->Disconnect(), S_OK);
    EXPECT_EQ(input->Disconnect(), S_OK);
    upstream->Release();
    input->Release();
}

// Aggregating objects may ask only for the inner object's own IUnknown.
TEST_F(SeekingPassThruTest, AggregationIsOnlyForTheInnerUnknown)
{
    AggregatingPin outer;
    ComRef<ISeekingPassThru> passThru;
    EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_SeekingPassThru, &outer, CLSCTX_INPROC_SERVER, IID_ISeekingPassThru,
                                        passThru.put_void())));
    EXPECT_FALSE(passThru);
}

}  // namespace
