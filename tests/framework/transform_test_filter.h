// A transform filter whose every hook records its call and answers as the test sets it up,
// and a fixture that wires it between fake neighbours.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "framework/transform_filter.h"
#include "framework/transform_pins.h"
#include "tests/support/filter_between_fake_pins.h"

namespace transform_test {

using fakes::CallLog;
using fakes::FakeAllocator;
using fakes::FakeGraph;
using fakes::FakePin;
using fakes::FakeSample;

// {6B1C2D3E-0F11-4A52-9B63-7C8D9EA0B1C2}
const CLSID CLSID_TestTransform = {0x6B1C2D3E, 0x0F11, 0x4A52, {0x9B, 0x63, 0x7C, 0x8D, 0x9E, 0xA0, 0xB1, 0xC2}};

class TestTransform : public CTransformFilter {
public:
    explicit TestTransform(CallLog* log) : CTransformFilter("test transform", nullptr, CLSID_TestTransform), m_log(log)
    {
    }

    HRESULT Transform(IMediaSample* in, IMediaSample* out) override
    {
        m_log->Add("Transform");
        return transform ? transform(in, out) : transformResult;
    }
    HRESULT CheckInputType(const CMediaType*) override
    {
        m_log->Add("CheckInputType");
        return checkInputResult;
    }
    HRESULT CheckTransform(const CMediaType*, const CMediaType*) override
    {
        m_log->Add("CheckTransform");
        return checkTransformResult;
    }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* props) override
    {
        m_log->Add("DecideBufferSize");
        props->cBuffers = 1;
        props->cbBuffer = 256;
        ALLOCATOR_PROPERTIES actual = {};
        return alloc->SetProperties(props, &actual);
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override
    {
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        mt->majortype = MEDIATYPE_Audio;
        mt->formattype = FORMAT_None;
        return S_OK;
    }
    HRESULT StartStreaming() override
    {
        m_log->Add("StartStreaming");
        return startResult;
    }
    HRESULT StopStreaming() override
    {
        m_log->Add("StopStreaming");
        return stopResult;
    }
    HRESULT AlterQuality(Quality) override
    {
        m_log->Add("AlterQuality");
        return alterQualityResult;
    }
    HRESULT SetMediaType(PIN_DIRECTION dir, const CMediaType*) override
    {
        m_log->Add(dir == PINDIR_INPUT ? "SetMediaType in" : "SetMediaType out");
        return setMediaTypeResult;
    }

    CTransformInputPin* Input() { return static_cast<CTransformInputPin*>(GetPin(0)); }
    CTransformOutputPin* Output() { return static_cast<CTransformOutputPin*>(GetPin(1)); }
    IBaseFilter* AsFilter() { return static_cast<IBaseFilter*>(this); }

    std::function<HRESULT(IMediaSample*, IMediaSample*)> transform;
    HRESULT transformResult = S_OK;
    HRESULT checkInputResult = S_OK;
    HRESULT checkTransformResult = S_OK;
    HRESULT startResult = S_OK;
    HRESULT stopResult = S_OK;
    HRESULT alterQualityResult = S_FALSE;
    HRESULT setMediaTypeResult = S_OK;

private:
    CallLog* m_log;
};

// A complete media type with a small format block.
inline CMediaType AudioType()
{
    CMediaType mt;
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    WAVEFORMATEX wfx = {};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 8000;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = 4;
    wfx.nAvgBytesPerSec = 32000;
    mt.cbFormat = sizeof wfx;
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(sizeof wfx));
    std::memcpy(mt.pbFormat, &wfx, sizeof wfx);
    return mt;
}

// The filter between the fakes, in a fake graph that records events. Connection is left to
// each test.
class TransformFixture : public ::testing::Test, public fakes::FilterBetweenFakePins<TestTransform> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        TestTransform* made = new TestTransform(&log);
        made->NonDelegatingAddRef();
        ASSERT_EQ(S_OK, Insert(made, WIDE("transform")));
    }

    void TearDown() override
    {
        Dismantle();
        EXPECT_EQ(0, FakeSample::live());
        EXPECT_EQ(0, FakePin::live());
        EXPECT_EQ(0, FakeAllocator::live());
        CoUninitialize();
    }

    void ConnectInput()
    {
        CMediaType mt = AudioType();
        ASSERT_EQ(S_OK, filter->Input()->ReceiveConnection(upstream, &mt));
        ASSERT_EQ(S_OK, filter->Input()->NotifyAllocator(inAlloc, FALSE));
    }
    void ConnectOutput()
    {
        CMediaType mt = AudioType();
        ASSERT_EQ(S_OK, filter->Output()->Connect(downstream, &mt));
    }
    void ConnectBoth()
    {
        ConnectInput();
        ConnectOutput();
        log.Clear();
    }

    // A media sample for the input pin, with the given flags and times in its properties.
    static FakeSample* InputSample(DWORD flags, REFERENCE_TIME start = 0, REFERENCE_TIME stop = 0,
                                   bool offers2 = true)
    {
        FakeSample* s = new FakeSample(32, offers2);
        s->props.dwSampleFlags = flags;
        s->props.tStart = start;
        s->props.tStop = stop;
        s->props.lActual = 32;
        return s;
    }

    // Receive through the input pin and drop the test's reference.
    HRESULT Push(FakeSample* sample)
    {
        HRESULT hr = filter->Input()->Receive(sample);
        sample->Release();
        return hr;
    }
};

}  // namespace transform_test
