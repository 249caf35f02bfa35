// The per-sample transform over media samples, through a stand-in sample that records the
// calls made on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder/transform.h"
#include "support.h"

using namespace decoder;
using decoder_test::MakeState;

namespace {

// The square's speaker renderer, prepared for `channels` inputs and blocks of `capacity`.
std::unique_ptr<Renderer> Square(uint32_t channels, int32_t capacity)
{
    auto r = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
    EXPECT_EQ(r->Prepare({channels, 44100.0, capacity}), PrepareResult::Ok);
    return r;
}

// A media sample over a byte buffer of `size` usable bytes followed by guard bytes. Every
// call is appended to a shared log as "<name>.<method>"; the answers are fields to set.
class FakeSample : public IMediaSample {
public:
    FakeSample(const char* name, std::vector<std::string>& log, LONG size)
        : m_Buffer(static_cast<size_t>(size) + 32, 0xEE), m_Size(size), m_Name(name), m_Log(log) {}

    std::vector<uint8_t> m_Buffer;
    LONG m_Size, m_Length = 0;
    REFERENCE_TIME m_Start = 0, m_Stop = 0;
    bool m_TimeSet = false;
    BOOL m_Sync = FALSE, m_Preroll = TRUE, m_Discontinuity = FALSE;
    HRESULT m_PointerResult = S_OK, m_TimeResult = S_OK, m_SyncResult = S_OK, m_PrerollResult = S_FALSE,
            m_DiscontinuityResult = S_OK, m_SetDiscontinuityResult = S_OK;

    STDMETHODIMP QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetPointer(BYTE** p) override
    {
        *p = SUCCEEDED(m_PointerResult) ? m_Buffer.data() : nullptr;
        return Log("GetPointer"), m_PointerResult;
    }
    STDMETHODIMP_(LONG) GetSize() override { return Log("GetSize"), m_Size; }
    STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override
    {
        *start = m_Start, *stop = m_Stop;
        return Log("GetTime"), m_TimeResult;
    }
    STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override
    {
        m_Start = *start, m_Stop = *stop, m_TimeSet = true;
        return Log("SetTime"), S_OK;
    }
    STDMETHODIMP IsSyncPoint() override { return Log("IsSyncPoint"), m_SyncResult; }
    STDMETHODIMP SetSyncPoint(BOOL on) override { return Log("SetSyncPoint"), m_Sync = on, S_OK; }
    STDMETHODIMP IsPreroll() override { return Log("IsPreroll"), m_PrerollResult; }
    STDMETHODIMP SetPreroll(BOOL on) override { return Log("SetPreroll"), m_Preroll = on, S_OK; }
    STDMETHODIMP_(LONG) GetActualDataLength() override { return Log("GetActualDataLength"), m_Length; }
    STDMETHODIMP SetActualDataLength(LONG n) override { return Log("SetActualDataLength"), m_Length = n, S_OK; }
    STDMETHODIMP GetMediaType(AM_MEDIA_TYPE**) override { return E_NOTIMPL; }
    STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDiscontinuity() override { return Log("IsDiscontinuity"), m_DiscontinuityResult; }
    STDMETHODIMP SetDiscontinuity(BOOL on) override
    {
        return Log("SetDiscontinuity"), m_Discontinuity = on, m_SetDiscontinuityResult;
    }
    STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return Log("GetMediaTime"), VFW_E_MEDIA_TIME_NOT_SET; }
    STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return Log("SetMediaTime"), S_OK; }

private:
    void Log(const char* method) { m_Log.push_back(std::string(m_Name) + "." + method); }
    const char* m_Name;
    std::vector<std::string>& m_Log;
};

WAVEFORMATEXTENSIBLE BFormat(WORD channels, WORD bits, bool isFloat = false)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = 22;
    f.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_BFORMAT_PCM;
    return f;
}

void FillRandom(FakeSample& s, LONG length, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (LONG i = 0; i < length; ++i) s.m_Buffer[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
    s.m_Length = length;
}

}  // namespace

TEST(DecoderTransform, WholeFramesAreDecodedWithTheCallsInOrder)
{
    std::vector<std::string> log;
    const struct { uint32_t channels; LONG inBytes, outBytes; } cases[] = {{4, 1000, 1000}, {3, 1002, 1336}, {4, 1007, 1000}};
    for (const auto& c : cases) {
        auto st = Square(c.channels, 4096);
        DecoderState ref = MakeState(0, c.channels, 4096, InstructionSet::Scalar);
        const WAVEFORMATEXTENSIBLE fmt = BFormat(static_cast<WORD>(c.channels), 16);
        FakeSample in("in", log, 4096), out("out", log, 4096);
        FillRandom(in, c.inBytes, 20);
        log.clear();
        TailClock clock;
        ASSERT_EQ(TransformSample(*st, &fmt, &in, &out, clock), S_OK);
        EXPECT_EQ(out.m_Length, c.outBytes);
        std::vector<uint8_t> expect(static_cast<size_t>(c.outBytes));
        ref.DecodeFrames(SampleFormat::Pcm16, in.m_Buffer.data(), expect.data(), static_cast<size_t>(c.outBytes) / 8);
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.m_Buffer.begin()));
        EXPECT_EQ(out.m_Buffer[static_cast<size_t>(c.outBytes)], 0xEE);
    }
    const std::vector<std::string> order = {
        "in.GetActualDataLength", "out.GetSize", "in.GetPointer", "out.GetPointer", "in.GetTime", "out.SetTime",
        "in.GetMediaTime", "in.IsSyncPoint", "out.SetSyncPoint", "in.IsPreroll", "out.SetPreroll",
        "in.IsDiscontinuity", "out.SetDiscontinuity", "out.SetActualDataLength"};
    EXPECT_EQ(log, order);
}

// A sample longer than the planes is decoded in pieces; an output smaller than the decoded
// audio receives the whole frames that fit and nothing past its size.
TEST(DecoderTransform, LongSamplesAreSplitAndClippedToTheOutput)
{
    std::vector<std::string> log;
    const WAVEFORMATEXTENSIBLE fmt = BFormat(4, 24);
    auto small = Square(4, 64);
    DecoderState ref = MakeState(0, 4, 1024, InstructionSet::Scalar);
    FakeSample in("in", log, 300 * 12), out("out", log, 300 * 12);
    FillRandom(in, 300 * 12, 21);
    TailClock clock;
    ASSERT_EQ(TransformSample(*small, &fmt, &in, &out, clock), S_OK);
    ASSERT_EQ(out.m_Length, 300 * 12);
    std::vector<uint8_t> expect(300 * 12);
    ref.DecodeFrames(SampleFormat::Pcm24, in.m_Buffer.data(), expect.data(), 300);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.m_Buffer.begin()));

    FakeSample narrow("out", log, 100 * 12 + 7);
    ASSERT_EQ(TransformSample(*small, &fmt, &in, &narrow, clock), S_OK);
    EXPECT_EQ(narrow.m_Length, 100 * 12);
    for (size_t i = 100 * 12; i < narrow.m_Buffer.size(); ++i) ASSERT_EQ(narrow.m_Buffer[i], 0xEE) << i;
}

TEST(DecoderTransform, FailuresBeforeConvertingAreReportedAndTouchNothing)
{
    std::vector<std::string> log;
    const WAVEFORMATEXTENSIBLE fmt = BFormat(4, 16);
    for (int which = 0; which < 2; ++which) {
        auto st = Square(4, 256);
        FakeSample in("in", log, 800), out("out", log, 800);
        FillRandom(in, 800, 22);
        (which ? out : in).m_PointerResult = E_OUTOFMEMORY;
        out.m_Length = 5;
        TailClock clock;
        EXPECT_EQ(TransformSample(*st, &fmt, &in, &out, clock), E_OUTOFMEMORY);
        EXPECT_EQ(out.m_Length, 5);
        EXPECT_EQ(out.m_Buffer[0], 0xEE);
        EXPECT_FALSE(out.m_TimeSet);
        // Nothing went through the decode: a fresh one gives the same output afterwards.
        FakeSample again("in", log, 800), fresh("out", log, 800), first("out", log, 800);
        FillRandom(again, 800, 22);
        ASSERT_EQ(TransformSample(*st, &fmt, &again, &first, clock), S_OK);
        ASSERT_EQ(TransformSample(*Square(4, 256), &fmt, &again, &fresh, clock), S_OK);
        EXPECT_EQ(first.m_Buffer, fresh.m_Buffer);
    }
    auto unprepared = MakeRenderer(OutputKind::Speakers, BuiltInRig(LayoutId::Square), nullptr);
    FakeSample in("in", log, 800), out("out", log, 800);
    FillRandom(in, 800, 23);
    TailClock clock;
    EXPECT_EQ(TransformSample(*unprepared, &fmt, &in, &out, clock), E_UNEXPECTED);
    EXPECT_EQ(TransformSample(*unprepared, &fmt, nullptr, &out, clock), E_POINTER);
}

TEST(DecoderTransform, FormatsWithoutAConversionPathGiveAnEmptyOutput)
{
    EXPECT_EQ(SampleFormatOf(nullptr), SampleFormat::None);
    WAVEFORMATEXTENSIBLE plainPcm = BFormat(4, 16);
    plainPcm.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    WAVEFORMATEXTENSIBLE notExtensible = BFormat(4, 16);
    notExtensible.Format.wFormatTag = WAVE_FORMAT_PCM;
    const WAVEFORMATEXTENSIBLE formats[] = {BFormat(4, 16, true), BFormat(4, 24, true), BFormat(4, 8), plainPcm,
                                            notExtensible};
    for (const WAVEFORMATEXTENSIBLE& fmt : formats) {
        EXPECT_EQ(SampleFormatOf(&fmt), SampleFormat::None);
        std::vector<std::string> log;
        auto st = Square(4, 256);
        FakeSample in("in", log, 800), out("out", log, 800);
        FillRandom(in, 800, 24);
        out.m_Length = 800;
        TailClock clock;
        EXPECT_EQ(TransformSample(*st, &fmt, &in, &out, clock), S_OK);
        EXPECT_EQ(out.m_Length, 0);
        EXPECT_EQ(out.m_Buffer[0], 0xEE);
        EXPECT_TRUE(out.m_TimeSet);
    }
    const WAVEFORMATEXTENSIBLE f32 = BFormat(3, 32, true), p24 = BFormat(3, 24);
    EXPECT_EQ(SampleFormatOf(&f32), SampleFormat::Float32);
    EXPECT_EQ(SampleFormatOf(&p24), SampleFormat::Pcm24);
}

TEST(DecoderTransform, PropertiesCopyOnlyWhatTheInputFullyReports)
{
    std::vector<std::string> log;
    FakeSample in("in", log, 0), out("out", log, 0);
    in.m_Start = 100, in.m_Stop = 200;
    in.m_TimeResult = VFW_S_NO_STOP_TIME;
    in.m_SyncResult = S_OK, in.m_PrerollResult = S_FALSE, in.m_DiscontinuityResult = S_OK;
    out.m_SetDiscontinuityResult = S_FALSE;
    EXPECT_EQ(CopySampleProperties(&in, &out), S_FALSE);
    EXPECT_FALSE(out.m_TimeSet);
    EXPECT_TRUE(out.m_Sync);
    EXPECT_FALSE(out.m_Preroll);
    EXPECT_TRUE(out.m_Discontinuity);

    in.m_TimeResult = S_OK;
    EXPECT_EQ(CopySampleProperties(&in, &out), S_FALSE);
    EXPECT_EQ(out.m_Start, 100);
    EXPECT_EQ(out.m_Stop, 200);

    in.m_SyncResult = E_FAIL;
    log.clear();
    EXPECT_EQ(CopySampleProperties(&in, &out), E_UNEXPECTED);
    EXPECT_EQ(log.back(), "in.IsSyncPoint");
}
