// The registered DUrazOdo.dll in the platform's own filter graph: offered B-Format audio, the
// graph builder picks the decoder by its merit and renders its output on the platform's
// audio renderer to the end of the stream; and the decoder's output taken by the platform's
// Sample Grabber matches what bformat-decode wrote for the same input on Linux.
//
// The comparison allows one step of the last place: integer samples may differ by 1 and
// float samples by one unit in the last place of a float. The shelf filters' coefficients
// come from the C runtime's trigonometric functions, which on the two systems may differ in
// the last bit of a double; a decoded value that lies next to a rounding boundary can then
// round the other way. Anything beyond that is a real difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "framework/com_ref.h"
#include "framework/media_type.h"
#include "platform/platform.h"
#include "tests/tools/wave_builder.h"
#include "tools/bformat-decode/source_filter.h"
#include "tools/bformat-decode/wave_format.h"

// The Sample Grabber's interfaces, which MinGW-w64's headers do not declare. Outside the
// unnamed namespace: the compiler would otherwise conclude that nothing in the program
// implements them and turn every call through them into a pure-virtual call.
struct ISampleGrabberCB : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SampleCB(double SampleTime, IMediaSample* pSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE BufferCB(double SampleTime, BYTE* pBuffer, long BufferLen) = 0;
};

struct ISampleGrabber : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetOneShot(BOOL OneShot) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE* pType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE* pType) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL BufferThem) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentBuffer(long* pBufferSize, long* pBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample** ppSample) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB* pCallback, long WhichMethodToCallback) = 0;
};

namespace {

// The platform's Sample Grabber and Null Renderer (qedit).
const CLSID kSampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const CLSID kNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const IID kIID_ISampleGrabber = {0x6B652FFF, 0x11FE, 0x4FCE, {0x92, 0xAD, 0x02, 0x66, 0xB5, 0xD7, 0xC7, 0x8F}};
const IID kIID_ISampleGrabberCB = {0x0579154A, 0x2B53, 0x4994, {0xB0, 0xD0, 0xE7, 0x73, 0x14, 0x8E, 0xFF, 0x85}};

// The decoder filter, {A4BFE317-D4A4-41BC-9926-20C0432AA2CF}.
const CLSID kDecoderClsid = {0xA4BFE317, 0xD4A4, 0x41BC, {0x99, 0x26, 0x20, 0xC0, 0x43, 0x2A, 0xA2, 0xCF}};

class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};
const ::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(new ComEnvironment);


using wave_test::SplitWave;
using wave_test::WaveChunks;

// Frames from a B-Format file held in memory.
class MemoryFrames : public bformat::FrameProvider {
public:
    MemoryFrames(std::vector<uint8_t> data, uint32_t frameBytes) : m_data(std::move(data)), m_frameBytes(frameBytes) {}
    int64_t Read(uint8_t* buffer, uint64_t maxFrames) override
    {
        const uint64_t left = (m_data.size() - m_at) / m_frameBytes;
        const uint64_t n = maxFrames < left ? maxFrames : left;
        std::memcpy(buffer, m_data.data() + m_at, n * m_frameBytes);
        m_at += n * m_frameBytes;
        return static_cast<int64_t>(n);
    }
    std::string ErrorText() const override { return {}; }

private:
    std::vector<uint8_t> m_data;
    uint32_t m_frameBytes;
    size_t m_at = 0;
};

// The bytes of one frame in a format block.
uint32_t BlockAlign(const std::vector<uint8_t>& format)
{
    bformat::WaveFormat fields;
    bformat::ReadWaveFormat(format.data(), format.size(), fields);
    return fields.blockAlign;
}

// One reference input and its decode by bformat-decode on Linux.
struct Reference {
    WaveChunks input;
    WaveChunks output;
};

bool LoadReference(const std::string& name, Reference& reference)
{
    const std::string base = std::string(TEST_DATA_DIR) + "/" + name;
    return SplitWave(wave_test::ReadFile(base + ".amb"), reference.input) &&
           SplitWave(wave_test::ReadFile(base + "-speakers.wav"), reference.output);
}

// Our source filter offering the reference input.
ComRef<IBaseFilter> MakeSource(const Reference& reference, MemoryFrames& frames)
{
    bformat::SourceStream stream;
    // The subformat at the end of the extensible format block.
    std::memcpy(&stream.subtype, reference.input.format.data() + 24, sizeof stream.subtype);
    stream.formatBlock = reference.input.format;
    stream.framesPerSample = 1024;
    HRESULT hr = S_OK;
    ComRef<IBaseFilter> source;
    source.Assign(new bformat::CFrameSourceFilter(stream, &frames, &hr));
    return source;
}

// The filter's first pin of `direction`; empty when it has none.
ComRef<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION direction)
{
    ComRef<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.put()))) return {};
    ComRef<IPin> pin;
    while (pins->Next(1, pin.put(), nullptr) == S_OK) {
        PIN_DIRECTION d;
        pin->QueryDirection(&d);
        if (d == direction) return pin;
    }
    return {};
}

// The filter that `pin` is connected to; empty when unconnected.
ComRef<IBaseFilter> PeerFilter(IPin* pin)
{
    ComRef<IPin> peer;
    if (!pin || FAILED(pin->ConnectedTo(peer.put()))) return {};
    PIN_INFO info;
    if (FAILED(peer->QueryPinInfo(&info))) return {};
    return ComRef<IBaseFilter>(info.pFilter);
}

LONG RunToCompletion(IGraphBuilder* graph, LONG timeoutMs)
{
    ComRef<IMediaControl> control;
    ComRef<IMediaEvent> events;
    EXPECT_EQ(graph->QueryInterface(IID_IMediaControl, control.put_void()), S_OK);
    EXPECT_EQ(graph->QueryInterface(IID_IMediaEvent, events.put_void()), S_OK);
    if (!control.get() || !events.get()) return 0;
    EXPECT_TRUE(SUCCEEDED(control->Run()));
    LONG code = 0;
    EXPECT_EQ(events->WaitForCompletion(timeoutMs, &code), S_OK);
    control->Stop();
    return code;
}

void RemoveAll(IGraphBuilder* graph)
{
    ComRef<IEnumFilters> filters;
    std::vector<IBaseFilter*> all;
    if (SUCCEEDED(graph->EnumFilters(filters.put()))) {
        IBaseFilter* f = nullptr;
        while (filters->Next(1, &f, nullptr) == S_OK) all.push_back(f);
    }
    for (IBaseFilter* f : all) {
        graph->RemoveFilter(f);
        f->Release();
    }
}

// One unit in the last place of a float of this magnitude.
float Ulp(float x)
{
    const float m = std::fabs(x);
    return std::nextafter(m, INFINITY) - m;
}

class DecoderInPlatformGraph : public ::testing::TestWithParam<const char*> {};

// 16-bit audio: the platform's graph builder knows renderers for integer PCM only, so it
// cannot finish a graph for the decoder's float output by itself (the float decode is
// compared through the Sample Grabber below).
TEST(DecoderRenderedByThePlatform, RenderPicksTheDecoderByMeritAndPlaysToTheEnd)
{
    Reference reference;
    ASSERT_TRUE(LoadReference("reference-pcm16", reference));
    MemoryFrames frames(reference.input.data, BlockAlign(reference.input.format));
    ComRef<IGraphBuilder> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.put_void()),
              S_OK);
    ComRef<IBaseFilter> source = MakeSource(reference, frames);
    ASSERT_EQ(graph->AddFilter(source.get(), L"B-Format source"), S_OK);
    ComRef<IPin> out = FirstPin(source.get(), PINDIR_OUTPUT);
    ASSERT_TRUE(out.get());

    const HRESULT rendered = graph->Render(out.get());
    EXPECT_EQ(rendered, S_OK);

    // The source feeds the decoder, and the decoder a renderer (a filter with no output).
    ComRef<IBaseFilter> decoder = PeerFilter(out.get());
    ASSERT_TRUE(decoder.get()) << "nothing took the B-Format stream";
    CLSID clsid{};
    decoder->GetClassID(&clsid);
    EXPECT_TRUE(IsEqualGUID(clsid, kDecoderClsid));
    ComRef<IPin> decoded = FirstPin(decoder.get(), PINDIR_OUTPUT);
    ASSERT_TRUE(decoded.get());
    ComRef<IBaseFilter> renderer = PeerFilter(decoded.get());
    ASSERT_TRUE(renderer.get()) << "the decoder's output was not rendered";
    ComRef<IPin> further = FirstPin(renderer.get(), PINDIR_OUTPUT);
    EXPECT_FALSE(further.get());

    if (rendered == S_OK) {
        EXPECT_EQ(RunToCompletion(graph.get(), 30000), EC_COMPLETE);
    }
    RemoveAll(graph.get());
}

// Collects every buffer the grabber sees, in order.
class Collector : public ISampleGrabberCB {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, kIID_ISampleGrabberCB)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SampleCB(double, IMediaSample*) override { return E_NOTIMPL; }
    STDMETHODIMP BufferCB(double, BYTE* buffer, long length) override
    {
        bytes.insert(bytes.end(), buffer, buffer + length);
        return S_OK;
    }
    std::vector<uint8_t> bytes;
};

TEST_P(DecoderInPlatformGraph, SampleGrabberSeesWhatBformatDecodeWroteOnLinux)
{
    Reference reference;
    ASSERT_TRUE(LoadReference(GetParam(), reference));
    MemoryFrames frames(reference.input.data, BlockAlign(reference.input.format));
    ComRef<IGraphBuilder> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.put_void()),
              S_OK);
    ComRef<IBaseFilter> source = MakeSource(reference, frames);
    ComRef<IBaseFilter> decoder, grabberFilter, sink;
    ASSERT_EQ(CoCreateInstance(kDecoderClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, decoder.put_void()), S_OK)
        << "DUrazOdo.dll is not registered";
    ASSERT_EQ(CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, grabberFilter.put_void()),
              S_OK);
    ASSERT_EQ(CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, sink.put_void()), S_OK);
    ComRef<ISampleGrabber> grabber;
    ASSERT_EQ(grabberFilter->QueryInterface(kIID_ISampleGrabber, grabber.put_void()), S_OK);
    AM_MEDIA_TYPE audio;
    std::memset(&audio, 0, sizeof audio);
    audio.majortype = MEDIATYPE_Audio;
    ASSERT_EQ(grabber->SetMediaType(&audio), S_OK);
    Collector collector;
    ASSERT_EQ(grabber->SetCallback(&collector, 1), S_OK);
    ASSERT_EQ(grabber->SetBufferSamples(FALSE), S_OK);

    ASSERT_EQ(graph->AddFilter(source.get(), L"B-Format source"), S_OK);
    ASSERT_EQ(graph->AddFilter(decoder.get(), L"Decoder"), S_OK);
    ASSERT_EQ(graph->AddFilter(grabberFilter.get(), L"Grabber"), S_OK);
    ASSERT_EQ(graph->AddFilter(sink.get(), L"Null renderer"), S_OK);
    const ComRef<IPin> sourceOut = FirstPin(source.get(), PINDIR_OUTPUT);
    const ComRef<IPin> decoderIn = FirstPin(decoder.get(), PINDIR_INPUT);
    const ComRef<IPin> decoderOut = FirstPin(decoder.get(), PINDIR_OUTPUT);
    const ComRef<IPin> grabberIn = FirstPin(grabberFilter.get(), PINDIR_INPUT);
    const ComRef<IPin> grabberOut = FirstPin(grabberFilter.get(), PINDIR_OUTPUT);
    const ComRef<IPin> sinkIn = FirstPin(sink.get(), PINDIR_INPUT);
    ASSERT_EQ(graph->ConnectDirect(sourceOut.get(), decoderIn.get(), nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(decoderOut.get(), grabberIn.get(), nullptr), S_OK);
    ASSERT_EQ(graph->ConnectDirect(grabberOut.get(), sinkIn.get(), nullptr), S_OK);

    // The grabber is connected with the format bformat-decode wrote into its file's header.
    AM_MEDIA_TYPE connected;
    ASSERT_EQ(grabber->GetConnectedMediaType(&connected), S_OK);
    ASSERT_EQ(connected.cbFormat, reference.output.format.size());
    EXPECT_EQ(std::memcmp(connected.pbFormat, reference.output.format.data(), connected.cbFormat), 0);
    FreeMediaType(connected);

    // Nothing to wait for: the graph runs as fast as the decoder goes.
    ComRef<IMediaFilter> mediaFilter;
    ASSERT_EQ(graph->QueryInterface(IID_IMediaFilter, mediaFilter.put_void()), S_OK);
    mediaFilter->SetSyncSource(nullptr);
    EXPECT_EQ(RunToCompletion(graph.get(), 30000), EC_COMPLETE);
    RemoveAll(graph.get());

    const std::vector<uint8_t>& expected = reference.output.data;
    ASSERT_EQ(collector.bytes.size(), expected.size());
    bformat::WaveFormat format;
    bformat::ReadWaveFormat(reference.output.format.data(), reference.output.format.size(), format);
    size_t differing = 0;
    if (format.subFormat == bformat::kSubtypeFloat) {
        for (size_t i = 0; i < expected.size(); i += 4) {
            float a, b;
            std::memcpy(&a, &collector.bytes[i], 4);
            std::memcpy(&b, &expected[i], 4);
            if (a != b) ++differing;
            ASSERT_LE(std::fabs(a - b), std::max(Ulp(a), Ulp(b))) << "sample " << i / 4;
        }
    } else {
        ASSERT_EQ(format.bitsPerSample, 16);
        for (size_t i = 0; i < expected.size(); i += 2) {
            int16_t a, b;
            std::memcpy(&a, &collector.bytes[i], 2);
            std::memcpy(&b, &expected[i], 2);
            if (a != b) ++differing;
            ASSERT_LE(std::abs(a - b), 1) << "sample " << i / 2;
        }
    }
    // Differences at rounding boundaries are rare; many of them would mean a real change.
    EXPECT_LE(differing, expected.size() / 1000) << differing << " samples differ by one step";
}

INSTANTIATE_TEST_SUITE_P(ReferenceInputs, DecoderInPlatformGraph,
                         ::testing::Values("reference-pcm16", "reference-float3"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(10);
                         });

}  // namespace
