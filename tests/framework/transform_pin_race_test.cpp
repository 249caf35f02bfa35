// Two host threads asking a fresh transform filter for its pins at the same moment: both get
// the filter's one pair of pins, and nothing is read while it is being made.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "framework/transform_filter.h"
#include "framework/transform_pins.h"
#include "framework/wide_string.h"

namespace {

// {3F6A1B20-5C7D-4E8F-9A0B-1C2D3E4F5A6B}
const CLSID kRaceTransformClsid = {0x3F6A1B20, 0x5C7D, 0x4E8F, {0x9A, 0x0B, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};

// A transform filter that accepts nothing: only its pins matter here.
class BareTransform : public CTransformFilter {
public:
    BareTransform() : CTransformFilter("bare transform", nullptr, kRaceTransformClsid) {}
    HRESULT CheckInputType(const CMediaType*) override { return VFW_E_TYPE_NOT_ACCEPTED; }
    HRESULT CheckTransform(const CMediaType*, const CMediaType*) override { return VFW_E_TYPE_NOT_ACCEPTED; }
    HRESULT DecideBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return E_FAIL; }
    HRESULT GetMediaType(int, CMediaType*) override { return VFW_S_NO_MORE_ITEMS; }
};

TEST(TransformPinCreation, ConcurrentFirstRequestsGetTheSamePins)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    for (int round = 0; round < 200; ++round) {
        auto* filter = new BareTransform;
        filter->NonDelegatingAddRef();
        std::atomic<int> waiting{2};
        IPin* seen[2][2] = {};
        // One thread asks by index, the other by identifier, input first or output first.
        auto ask = [&](int who) {
            --waiting;
            while (waiting.load() > 0) std::this_thread::yield();
            if (who == 0) {
                seen[0][round % 2] = filter->GetPin(round % 2);
                seen[0][1 - round % 2] = filter->GetPin(1 - round % 2);
            } else {
                IPin* pins[2] = {};
                filter->FindPin(WIDE("Out"), &pins[1]);
                filter->FindPin(WIDE("In"), &pins[0]);
                for (int i = 0; i < 2; ++i) {
                    seen[1][i] = pins[i];
                    if (pins[i]) pins[i]->Release();
                }
            }
        };
        std::thread first(ask, 0);
        std::thread second(ask, 1);
        first.join();
        second.join();

        IPin* input = filter->GetPin(0);
        IPin* output = filter->GetPin(1);
        ASSERT_NE(input, nullptr) << round;
        ASSERT_NE(output, nullptr) << round;
        EXPECT_NE(input, output) << round;
        for (int who = 0; who < 2; ++who) {
            EXPECT_EQ(seen[who][0], input) << round << " thread " << who;
            EXPECT_EQ(seen[who][1], output) << round << " thread " << who;
        }
        filter->NonDelegatingRelease();
    }
    CoUninitialize();
}

}  // namespace
