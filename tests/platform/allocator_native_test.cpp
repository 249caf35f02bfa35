// Checks of our own allocator where Wine's departs from the published contract, so they
// run in the native build only: null arguments get E_POINTER, buffers honour the requested
// alignment (the prefix starts on it), a sample keeps its allocator alive while it is out,
// a caller waiting in GetBuffer learns from Decommit that the allocator is not committed,
// and records that cannot describe the sample are refused.
#include "tests/platform/runtime_test_support.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

using runtime_test::ComTest;
using runtime_test::MakeAllocator;
using runtime_test::Ref;

namespace {

class NativeAllocatorTest : public ComTest {};

TEST_F(NativeAllocatorTest, NullArgumentsAreRefused)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 64), S_OK);
    ALLOCATOR_PROPERTIES props = {1, 64, 1, 0};
    EXPECT_EQ(allocator->SetProperties(nullptr, &props), E_POINTER);
    EXPECT_EQ(allocator->SetProperties(&props, nullptr), E_POINTER);
    EXPECT_EQ(allocator->GetProperties(nullptr), E_POINTER);
    EXPECT_EQ(allocator->ReleaseBuffer(nullptr), E_POINTER);
    ASSERT_EQ(allocator->Commit(), S_OK);
    EXPECT_EQ(allocator->GetBuffer(nullptr, nullptr, nullptr, 0), E_POINTER);

    Ref<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    REFERENCE_TIME t = 0;
    EXPECT_EQ(sample->GetPointer(nullptr), E_POINTER);
    EXPECT_EQ(sample->GetTime(nullptr, &t), E_POINTER);
    EXPECT_EQ(sample->SetTime(nullptr, &t), E_POINTER);
    EXPECT_EQ(sample->GetMediaTime(&t, nullptr), E_POINTER);
    EXPECT_EQ(sample->GetMediaType(nullptr), E_POINTER);
    Ref<IMediaSample2> sample2;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSample2, sample2.put_void()), S_OK);
    EXPECT_EQ(sample2->GetProperties(16, nullptr), E_POINTER);
    EXPECT_EQ(sample2->SetProperties(16, nullptr), E_POINTER);
}

TEST_F(NativeAllocatorTest, BuffersAndPrefixesStartOnTheRequestedAlignment)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 3, 100, 64, 8), S_OK);
    EXPECT_EQ(MakeAllocator(allocator, 1, 100, 0), VFW_E_BADALIGN);
    EXPECT_EQ(MakeAllocator(allocator, 1, 100, 3), VFW_E_BADALIGN);
    EXPECT_EQ(MakeAllocator(allocator, -1, 100, 1), E_INVALIDARG);
    ASSERT_EQ(MakeAllocator(allocator, 3, 100, 64, 8), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    Ref<IMediaSample> samples[3];
    for (auto& sample : samples) {
        ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        EXPECT_EQ((reinterpret_cast<uintptr_t>(data) - 8) % 64, 0u);
    }
}

TEST_F(NativeAllocatorTest, SampleKeepsItsAllocatorAliveWhileOut)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 512), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    Ref<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    allocator.Reset();  // the sample now holds the only reference, and the allocator stays committed
    BYTE* data = nullptr;
    ASSERT_EQ(sample->GetPointer(&data), S_OK);
    std::memset(data, 0x33, 512);
    sample.Reset();  // takes the allocator and its memory with it
}

TEST_F(NativeAllocatorTest, DecommitTellsAWaitingCallerTheAllocatorIsNotCommitted)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 64), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    Ref<IMediaSample> held;
    ASSERT_EQ(allocator->GetBuffer(held.put(), nullptr, nullptr, 0), S_OK);
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

TEST_F(NativeAllocatorTest, ReleaseBufferTakesBackOnlyIdleSamplesOfItsOwn)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 64), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    Ref<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(allocator->ReleaseBuffer(sample.get()), E_INVALIDARG);  // still held

    Ref<IMemAllocator> other;
    ASSERT_EQ(MakeAllocator(other, 1, 64), S_OK);
    EXPECT_EQ(other->ReleaseBuffer(sample.get()), E_INVALIDARG);  // not its sample
    Ref<IMediaSample> none;
    EXPECT_EQ(allocator->GetBuffer(none.put(), nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
}

TEST_F(NativeAllocatorTest, PropertyRecordsThatCannotDescribeTheSampleAreRefused)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 64), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    Ref<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    Ref<IMediaSample2> sample2;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSample2, sample2.put_void()), S_OK);

    AM_SAMPLE2_PROPERTIES props;
    ASSERT_EQ(sample2->GetProperties(sizeof props, reinterpret_cast<BYTE*>(&props)), S_OK);
    const AM_SAMPLE2_PROPERTIES good = props;
    const BYTE* record = reinterpret_cast<const BYTE*>(&props);

    props.lActual = 65;
    EXPECT_EQ(sample2->SetProperties(sizeof props, record), E_INVALIDARG);
    props = good;
    props.dwSampleFlags = AM_SAMPLE_TYPECHANGED;  // a type change without a type
    EXPECT_EQ(sample2->SetProperties(sizeof props, record), E_INVALIDARG);
    EXPECT_EQ(sample2->SetProperties(32, record), E_INVALIDARG);
    props = good;
    props.pbBuffer = nullptr;
    EXPECT_EQ(sample2->SetProperties(sizeof props, record), E_INVALIDARG);
    props = good;
    props.cbBuffer = 32;
    EXPECT_EQ(sample2->SetProperties(sizeof props, record), E_INVALIDARG);
    EXPECT_EQ(sample2->SetProperties(sizeof props + 1, record), E_INVALIDARG);
    EXPECT_EQ(sample->SetActualDataLength(-1), E_INVALIDARG);

    // None of the refused records changed anything.
    EXPECT_EQ(sample->GetActualDataLength(), 64);
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
    AM_MEDIA_TYPE* type = nullptr;
    EXPECT_EQ(sample->GetMediaType(&type), S_FALSE);
}

TEST_F(NativeAllocatorTest, TypeChangeCanBeSetAndClearedThroughTheRecord)
{
    Ref<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 64), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    Ref<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    Ref<IMediaSample2> sample2;
    ASSERT_EQ(sample->QueryInterface(IID_IMediaSample2, sample2.put_void()), S_OK);

    AM_MEDIA_TYPE type = {};
    type.majortype = MEDIATYPE_Audio;
    AM_SAMPLE2_PROPERTIES props;
    ASSERT_EQ(sample2->GetProperties(sizeof props, reinterpret_cast<BYTE*>(&props)), S_OK);
    props.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
    props.pMediaType = &type;
    ASSERT_EQ(sample2->SetProperties(sizeof props, reinterpret_cast<const BYTE*>(&props)), S_OK);
    AM_MEDIA_TYPE* copy = nullptr;
    ASSERT_EQ(sample->GetMediaType(&copy), S_OK);
    EXPECT_TRUE(IsEqualGUID(copy->majortype, MEDIATYPE_Audio));
    CoTaskMemFree(copy);

    // A 32-byte record that keeps the flag keeps the type; one without it drops the type.
    props.dwSampleFlags = AM_SAMPLE_TYPECHANGED | AM_SAMPLE_SPLICEPOINT;
    ASSERT_EQ(sample2->SetProperties(32, reinterpret_cast<const BYTE*>(&props)), S_OK);
    ASSERT_EQ(sample->GetMediaType(&copy), S_OK);
    CoTaskMemFree(copy);
    props.dwSampleFlags = AM_SAMPLE_SPLICEPOINT;
    ASSERT_EQ(sample2->SetProperties(32, reinterpret_cast<const BYTE*>(&props)), S_OK);
    EXPECT_EQ(sample->GetMediaType(&copy), S_FALSE);
    EXPECT_EQ(sample->IsSyncPoint(), S_OK);
}

}  // namespace
