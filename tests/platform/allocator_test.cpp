// The memory allocator and its media samples, through their published interfaces only.
#include "tests/platform/runtime_test_support.h"

#include <cstdint>
#include <cstring>
#include <set>

using runtime_test::ComTest;
using runtime_test::MakeAllocator;

namespace {

class AllocatorTest : public ComTest {};
class MediaSampleTest : public ComTest {
protected:
    // One committed allocator with a single 256-byte buffer, and that buffer taken.
    void SetUp() override
    {
        ComTest::SetUp();
        ASSERT_EQ(MakeAllocator(m_allocator, 1, 256, 8), S_OK);
        ASSERT_EQ(m_allocator->Commit(), S_OK);
        ASSERT_EQ(m_allocator->GetBuffer(m_sample.put(), nullptr, nullptr, 0), S_OK);
        ASSERT_EQ(m_sample->QueryInterface(IID_IMediaSample2, m_sample2.put_void()), S_OK);
    }
    void TearDown() override
    {
        m_sample2.Reset();
        m_sample.Reset();
        if (m_allocator) m_allocator->Decommit();
        m_allocator.Reset();
        ComTest::TearDown();
    }
    // Releases the sample and takes the allocator's only buffer again.
    void Recycle()
    {
        m_sample2.Reset();
        m_sample.Reset();
        ASSERT_EQ(m_allocator->GetBuffer(m_sample.put(), nullptr, nullptr, 0), S_OK);
        ASSERT_EQ(m_sample->QueryInterface(IID_IMediaSample2, m_sample2.put_void()), S_OK);
    }
    AM_SAMPLE2_PROPERTIES Properties()
    {
        AM_SAMPLE2_PROPERTIES props;
        std::memset(&props, 0xCD, sizeof props);
        EXPECT_EQ(m_sample2->GetProperties(sizeof props, reinterpret_cast<BYTE*>(&props)), S_OK);
        return props;
    }

    ComRef<IMemAllocator> m_allocator;
    ComRef<IMediaSample> m_sample;
    ComRef<IMediaSample2> m_sample2;
};

// ---- Property negotiation -------------------------------------------------------------

TEST_F(AllocatorTest, GrantsTheRequestedPropertiesAndReportsThem)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               allocator.put_void()),
              S_OK);
    ALLOCATOR_PROPERTIES request = {3, 1000, 16, 0};
    ALLOCATOR_PROPERTIES actual = {};
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(actual.cBuffers, 3);
    EXPECT_GE(actual.cbBuffer, 1000);
    EXPECT_EQ(actual.cbAlign, 16);
    EXPECT_EQ(actual.cbPrefix, 0);

    ALLOCATOR_PROPERTIES reported = {};
    ASSERT_EQ(allocator->GetProperties(&reported), S_OK);
    EXPECT_EQ(reported.cBuffers, actual.cBuffers);
    EXPECT_EQ(reported.cbBuffer, actual.cbBuffer);
    EXPECT_EQ(reported.cbAlign, actual.cbAlign);
    EXPECT_EQ(reported.cbPrefix, actual.cbPrefix);
}

// An alignment that is not a power of two is refused, when the properties are set or at the
// latest when they are committed.
TEST_F(AllocatorTest, RefusesAnAlignmentThatIsNotAPowerOfTwo)
{
    for (LONG align : {3, 12}) {
        ComRef<IMemAllocator> allocator;
        HRESULT hr = MakeAllocator(allocator, 1, 100, align);
        if (hr == S_OK) hr = allocator->Commit();
        EXPECT_EQ(hr, VFW_E_BADALIGN) << align;
    }
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 100, 1), S_OK);
    EXPECT_EQ(allocator->Commit(), S_OK);
}

TEST_F(AllocatorTest, PropertiesChangeOnlyWhenDecommittedWithEveryBufferBack)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 100), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ALLOCATOR_PROPERTIES request = {4, 200, 1, 0};
    ALLOCATOR_PROPERTIES actual = {};
    EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_ALREADY_COMMITTED);

    ComRef<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(allocator->Decommit(), S_OK);
    EXPECT_EQ(allocator->SetProperties(&request, &actual), VFW_E_BUFFERS_OUTSTANDING);
    ALLOCATOR_PROPERTIES reported = {};
    ASSERT_EQ(allocator->GetProperties(&reported), S_OK);
    EXPECT_EQ(reported.cBuffers, 1);

    sample.Reset();
    EXPECT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    EXPECT_EQ(actual.cBuffers, 4);
}

// ---- Commit, buffers and decommit -----------------------------------------------------

TEST_F(AllocatorTest, CommitNeedsPropertiesAndGetBufferNeedsCommit)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               allocator.put_void()),
              S_OK);
    EXPECT_TRUE(FAILED(allocator->Commit()));

    ALLOCATOR_PROPERTIES empty = {1, 0, 1, 0};
    ALLOCATOR_PROPERTIES actual = {};
    ASSERT_EQ(allocator->SetProperties(&empty, &actual), S_OK);
    EXPECT_EQ(allocator->Commit(), VFW_E_SIZENOTSET);

    ALLOCATOR_PROPERTIES request = {1, 64, 1, 0};
    ASSERT_EQ(allocator->SetProperties(&request, &actual), S_OK);
    IMediaSample* sample = reinterpret_cast<IMediaSample*>(static_cast<uintptr_t>(1));
    EXPECT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    EXPECT_EQ(sample, nullptr);
}

TEST_F(AllocatorTest, HandsOutEveryBufferOnceWithTheGrantedSize)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 3, 1000, 16), S_OK);
    ALLOCATOR_PROPERTIES granted = {};
    ASSERT_EQ(allocator->GetProperties(&granted), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    EXPECT_EQ(allocator->Commit(), S_OK);  // committing twice is harmless

    ComRef<IMediaSample> samples[3];
    std::set<BYTE*> buffers;
    for (auto& sample : samples) {
        REFERENCE_TIME start = 0, stop = 10;
        ASSERT_EQ(allocator->GetBuffer(sample.put(), &start, &stop, AM_GBF_NOTASYNCPOINT), S_OK);
        BYTE* data = nullptr;
        ASSERT_EQ(sample->GetPointer(&data), S_OK);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(sample->GetSize(), granted.cbBuffer);
        std::memset(data, 0x5A, static_cast<size_t>(sample->GetSize()));
        buffers.insert(data);
    }
    EXPECT_EQ(buffers.size(), 3u);
    ComRef<IMediaSample> none;
    EXPECT_EQ(allocator->GetBuffer(none.put(), nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
    EXPECT_FALSE(none);

    // A released sample goes back to the free list and comes out again.
    BYTE* returned = nullptr;
    samples[1]->GetPointer(&returned);
    samples[1].Reset();
    ComRef<IMediaSample> again;
    ASSERT_EQ(allocator->GetBuffer(again.put(), nullptr, nullptr, 0), S_OK);
    BYTE* data = nullptr;
    again->GetPointer(&data);
    EXPECT_EQ(data, returned);
}

TEST_F(AllocatorTest, DecommitStopsGetBufferButLeavesOutstandingSamplesUsable)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 2, 4096), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComRef<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(allocator->Decommit(), S_OK);
    EXPECT_EQ(allocator->Decommit(), S_OK);  // decommitting twice is harmless
    ComRef<IMediaSample> refused;
    EXPECT_EQ(allocator->GetBuffer(refused.put(), nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);

    BYTE* data = nullptr;
    ASSERT_EQ(sample->GetPointer(&data), S_OK);
    std::memset(data, 0x11, 4096);
    EXPECT_EQ(sample->SetActualDataLength(4096), S_OK);
    sample.Reset();

    // Committed again, the allocator hands out working buffers.
    ASSERT_EQ(allocator->Commit(), S_OK);
    ASSERT_EQ(allocator->GetBuffer(sample.put(), nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(sample->GetPointer(&data), S_OK);
    std::memset(data, 0x22, 4096);
}

// ---- Samples --------------------------------------------------------------------------

TEST_F(MediaSampleTest, FreshSampleIsPlainWithNoTimesFlagsOrType)
{
    AM_SAMPLE2_PROPERTIES props = Properties();
    EXPECT_EQ(props.dwSampleFlags, 0u);
    EXPECT_EQ(props.pMediaType, nullptr);
    BYTE* data = nullptr;
    ASSERT_EQ(m_sample->GetPointer(&data), S_OK);
    EXPECT_EQ(props.pbBuffer, data);
    EXPECT_EQ(props.cbBuffer, m_sample->GetSize());
    EXPECT_EQ(props.dwStreamId, static_cast<DWORD>(AM_STREAM_MEDIA));

    REFERENCE_TIME start, stop;
    EXPECT_EQ(m_sample->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
    LONGLONG mediaStart, mediaStop;
    EXPECT_EQ(m_sample->GetMediaTime(&mediaStart, &mediaStop), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(m_sample->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(m_sample->IsPreroll(), S_FALSE);
    EXPECT_EQ(m_sample->IsDiscontinuity(), S_FALSE);
    AM_MEDIA_TYPE* type = reinterpret_cast<AM_MEDIA_TYPE*>(static_cast<uintptr_t>(1));
    EXPECT_EQ(m_sample->GetMediaType(&type), S_FALSE);
    EXPECT_EQ(type, nullptr);
}

TEST_F(MediaSampleTest, TimeStampsAnswerWhichTimesAreSet)
{
    REFERENCE_TIME start = 1000, stop = 2000;
    ASSERT_EQ(m_sample->SetTime(&start, &stop), S_OK);
    REFERENCE_TIME gotStart = 0, gotStop = 0;
    EXPECT_EQ(m_sample->GetTime(&gotStart, &gotStop), S_OK);
    EXPECT_EQ(gotStart, 1000);
    EXPECT_EQ(gotStop, 2000);

    // A start time alone reads back with a stop one unit later.
    ASSERT_EQ(m_sample->SetTime(&start, nullptr), S_OK);
    EXPECT_EQ(m_sample->GetTime(&gotStart, &gotStop), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(gotStart, 1000);
    EXPECT_EQ(gotStop, 1001);

    ASSERT_EQ(m_sample->SetTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(m_sample->GetTime(&gotStart, &gotStop), VFW_E_SAMPLE_TIME_NOT_SET);

    LONGLONG mediaStart = 7, mediaStop = 9;
    ASSERT_EQ(m_sample->SetMediaTime(&mediaStart, &mediaStop), S_OK);
    LONGLONG gotMediaStart = 0, gotMediaStop = 0;
    EXPECT_EQ(m_sample->GetMediaTime(&gotMediaStart, &gotMediaStop), S_OK);
    EXPECT_EQ(gotMediaStart, 7);
    EXPECT_EQ(gotMediaStop, 9);
    ASSERT_EQ(m_sample->SetMediaTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(m_sample->GetMediaTime(&gotMediaStart, &gotMediaStop), VFW_E_MEDIA_TIME_NOT_SET);
}

TEST_F(MediaSampleTest, FlagsTimesAndLengthRoundTripThroughThePropertyRecord)
{
    REFERENCE_TIME start = 40, stop = 80;
    ASSERT_EQ(m_sample->SetTime(&start, &stop), S_OK);
    ASSERT_EQ(m_sample->SetSyncPoint(TRUE), S_OK);
    ASSERT_EQ(m_sample->SetDiscontinuity(TRUE), S_OK);
    ASSERT_EQ(m_sample->SetPreroll(TRUE), S_OK);
    ASSERT_EQ(m_sample->SetActualDataLength(100), S_OK);
    AM_SAMPLE2_PROPERTIES props = Properties();
    EXPECT_EQ(props.dwSampleFlags, static_cast<DWORD>(AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_PREROLL |
                                                      AM_SAMPLE_DATADISCONTINUITY | AM_SAMPLE_TIMEVALID |
                                                      AM_SAMPLE_STOPVALID));
    EXPECT_EQ(props.lActual, 100);
    EXPECT_EQ(props.tStart, 40);
    EXPECT_EQ(props.tStop, 80);

    // Written back as its first 32 bytes (size, flags, data length, times).
    props.cbData = 32;
    props.dwSampleFlags = AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID;
    props.lActual = 64;
    props.tStart = 500;
    props.tStop = 700;
    ASSERT_EQ(m_sample2->SetProperties(32, reinterpret_cast<const BYTE*>(&props)), S_OK);
    EXPECT_EQ(m_sample->IsSyncPoint(), S_OK);
    EXPECT_EQ(m_sample->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(m_sample->IsPreroll(), S_FALSE);
    EXPECT_EQ(m_sample->GetActualDataLength(), 64);
    EXPECT_EQ(m_sample->GetTime(&start, &stop), S_OK);
    EXPECT_EQ(start, 500);
    EXPECT_EQ(stop, 700);

    // Reading a 16-byte prefix leaves the rest of the caller's record alone.
    AM_SAMPLE2_PROPERTIES head;
    std::memset(&head, 0xEE, sizeof head);
    ASSERT_EQ(m_sample2->GetProperties(16, reinterpret_cast<BYTE*>(&head)), S_OK);
    EXPECT_EQ(head.lActual, 64);
    const BYTE* tail = reinterpret_cast<const BYTE*>(&head) + 16;
    for (size_t i = 0; i < sizeof head - 16; ++i) ASSERT_EQ(tail[i], 0xEE) << i;
}

TEST_F(MediaSampleTest, DataLengthCannotExceedTheBuffer)
{
    const LONG size = m_sample->GetSize();
    EXPECT_EQ(m_sample->SetActualDataLength(size), S_OK);
    EXPECT_EQ(m_sample->GetActualDataLength(), size);
    EXPECT_TRUE(FAILED(m_sample->SetActualDataLength(size + 1)));
    EXPECT_EQ(m_sample->GetActualDataLength(), size);
    EXPECT_EQ(m_sample->SetActualDataLength(0), S_OK);
    EXPECT_EQ(m_sample->GetActualDataLength(), 0);
}

TEST_F(MediaSampleTest, MediaTypeIsHandedOutAsACopyTheCallerFrees)
{
    BYTE format[6] = {1, 2, 3, 4, 5, 6};
    AM_MEDIA_TYPE type = {};
    type.majortype = MEDIATYPE_Audio;
    type.subtype = MEDIASUBTYPE_PCM;
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = 4;
    type.formattype = FORMAT_WaveFormatEx;
    type.cbFormat = sizeof format;
    type.pbFormat = format;
    ASSERT_EQ(m_sample->SetMediaType(&type), S_OK);
    format[0] = 99;  // the sample keeps its own copy

    AM_MEDIA_TYPE* copy = nullptr;
    ASSERT_EQ(m_sample->GetMediaType(&copy), S_OK);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(IsEqualGUID(copy->majortype, MEDIATYPE_Audio));
    EXPECT_TRUE(IsEqualGUID(copy->subtype, MEDIASUBTYPE_PCM));
    EXPECT_TRUE(IsEqualGUID(copy->formattype, FORMAT_WaveFormatEx));
    EXPECT_EQ(copy->lSampleSize, 4u);
    ASSERT_EQ(copy->cbFormat, sizeof format);
    ASSERT_NE(copy->pbFormat, nullptr);
    EXPECT_NE(copy->pbFormat, format);
    EXPECT_EQ(copy->pbFormat[0], 1);
    EXPECT_EQ(copy->pbFormat[5], 6);
    CoTaskMemFree(copy->pbFormat);
    CoTaskMemFree(copy);

    // The properties show the change and point at the sample's own record.
    AM_SAMPLE2_PROPERTIES props = Properties();
    EXPECT_NE(props.dwSampleFlags & AM_SAMPLE_TYPECHANGED, 0u);
    ASSERT_NE(props.pMediaType, nullptr);
    EXPECT_TRUE(IsEqualGUID(props.pMediaType->subtype, MEDIASUBTYPE_PCM));
}

TEST_F(MediaSampleTest, ReturnedSampleComesBackPlain)
{
    REFERENCE_TIME start = 1, stop = 2;
    m_sample->SetTime(&start, &stop);
    m_sample->SetSyncPoint(TRUE);
    m_sample->SetDiscontinuity(TRUE);
    LONGLONG mediaStart = 3, mediaStop = 4;
    m_sample->SetMediaTime(&mediaStart, &mediaStop);
    AM_MEDIA_TYPE type = {};
    type.majortype = MEDIATYPE_Audio;
    ASSERT_EQ(m_sample->SetMediaType(&type), S_OK);

    Recycle();
    EXPECT_EQ(m_sample->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(m_sample->GetMediaTime(&mediaStart, &mediaStop), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(m_sample->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(m_sample->IsDiscontinuity(), S_FALSE);
    AM_MEDIA_TYPE* copy = nullptr;
    EXPECT_EQ(m_sample->GetMediaType(&copy), S_FALSE);
    EXPECT_EQ(Properties().dwSampleFlags, 0u);
}

}  // namespace
