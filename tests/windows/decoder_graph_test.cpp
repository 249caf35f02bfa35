// The registered DUrazOdo.dll in the platform's own filter graph: offered B-Format audio, the
// graph builder picks the decoder by its merit and renders its output on the platform's
// audio renderer to the end of the stream; the decoder's output taken by the platform's
// Sample Grabber matches what bformat-decode wrote for the same input on Linux; and every
// speaker layout, chosen through the layout interface, decodes as the decoder core does; and
// UHJ and headphone output, chosen the same way, render as the engine does; and the settings
// window stores a listener's choices, which filters created afterwards take.
//
// The comparison with Linux's decodes allows one step of the last place: integer samples may differ by 1 and
// float samples by one unit in the last place of a float. The shelf filters' coefficients
// come from the C runtime's trigonometric functions, which on the two systems may differ in
// the last bit of a double; a decoded value that lies next to a rounding boundary can then
// round the other way. Anything beyond that is a real difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decoder/coefficients.h"
#include "decoder/decoder_testing.h"
#include "decoder/rig.h"
#include "decoder/transform.h"
#include "durazodo/ambisonic_decoder.h"
#include "framework/com_ref.h"
#include "framework/media_type.h"
#include "platform/platform.h"
#include "tests/support/speaker_reference.h"
#include "tests/support/two_channel_reference.h"
#include "tests/tools/wave_builder.h"
#include "tools/bformat-decode/source_filter.h"
#include "tools/bformat-decode/wave_format.h"
#include "ui/resource_ids.h"

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
        if (beforeRead) beforeRead(m_reads);
        ++m_reads;
        const uint64_t left = (m_data.size() - m_at) / m_frameBytes;
        const uint64_t n = maxFrames < left ? maxFrames : left;
        std::memcpy(buffer, m_data.data() + m_at, n * m_frameBytes);
        m_at += n * m_frameBytes;
        return static_cast<int64_t>(n);
    }
    std::string ErrorText() const override { return {}; }

    // Called with the number of reads before each: the source's one thread reads a sample only
    // once it has delivered the one before, so this runs between two samples' transforms.
    std::function<void(size_t)> beforeRead;

private:
    std::vector<uint8_t> m_data;
    uint32_t m_frameBytes;
    size_t m_at = 0;
    size_t m_reads = 0;
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

// What our source offers for the reference input.
bformat::SourceStream SourceOf(const Reference& reference)
{
    bformat::SourceStream stream;
    // The subformat at the end of the extensible format block.
    std::memcpy(&stream.subtype, reference.input.format.data() + 24, sizeof stream.subtype);
    stream.formatBlock = reference.input.format;
    stream.framesPerSample = 1024;
    return stream;
}

// Our source filter offering `stream`, its frames from `frames`.
ComRef<IBaseFilter> MakeSource(const bformat::SourceStream& stream, MemoryFrames& frames)
{
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
    ComRef<IBaseFilter> source = MakeSource(SourceOf(reference), frames);
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

ComRef<IBaseFilter> CreateDecoder()
{
    ComRef<IBaseFilter> filter;
    EXPECT_EQ(CoCreateInstance(kDecoderClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.put_void()),
              S_OK)
        << "DUrazOdo.dll is not registered";
    return filter;
}

// What reached the Sample Grabber after the decoder, and the format block it was connected
// with (whole, and its extensible record).
struct Grabbed {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> formatBlock;
    WAVEFORMATEXTENSIBLE format{};
};

// Runs `input`, frames of `frameBytes` bytes, from our source offering `stream` through the
// decoder `filter` into the platform's Sample Grabber and Null Renderer in the platform's
// graph, to the end. `connected` runs once every pin is connected, before the graph runs;
// `beforeRead(n)` before the source reads its sample n.
Grabbed DecodeInPlatformGraph(IBaseFilter* filter, const bformat::SourceStream& stream,
                              const std::vector<uint8_t>& input, uint32_t frameBytes,
                              const std::function<void()>& connected = {},
                              const std::function<void(size_t)>& beforeRead = {})
{
    Grabbed grabbed;
    MemoryFrames frames(input, frameBytes);
    frames.beforeRead = beforeRead;
    ComRef<IGraphBuilder> graph;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.put_void()),
              S_OK);
    ComRef<IBaseFilter> source = MakeSource(stream, frames);
    ComRef<IBaseFilter> grabberFilter, sink;
    EXPECT_EQ(CoCreateInstance(kSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, grabberFilter.put_void()),
              S_OK);
    EXPECT_EQ(CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, sink.put_void()), S_OK);
    ComRef<ISampleGrabber> grabber;
    if (!graph.get() || !grabberFilter.get() || !sink.get() ||
        grabberFilter->QueryInterface(kIID_ISampleGrabber, grabber.put_void()) != S_OK)
        return grabbed;
    AM_MEDIA_TYPE audio;
    std::memset(&audio, 0, sizeof audio);
    audio.majortype = MEDIATYPE_Audio;
    EXPECT_EQ(grabber->SetMediaType(&audio), S_OK);
    Collector collector;
    EXPECT_EQ(grabber->SetCallback(&collector, 1), S_OK);
    EXPECT_EQ(grabber->SetBufferSamples(FALSE), S_OK);

    EXPECT_EQ(graph->AddFilter(source.get(), L"B-Format source"), S_OK);
    EXPECT_EQ(graph->AddFilter(filter, L"Decoder"), S_OK);
    EXPECT_EQ(graph->AddFilter(grabberFilter.get(), L"Grabber"), S_OK);
    EXPECT_EQ(graph->AddFilter(sink.get(), L"Null renderer"), S_OK);
    const ComRef<IPin> sourceOut = FirstPin(source.get(), PINDIR_OUTPUT);
    const ComRef<IPin> decoderIn = FirstPin(filter, PINDIR_INPUT);
    const ComRef<IPin> decoderOut = FirstPin(filter, PINDIR_OUTPUT);
    const ComRef<IPin> grabberIn = FirstPin(grabberFilter.get(), PINDIR_INPUT);
    const ComRef<IPin> grabberOut = FirstPin(grabberFilter.get(), PINDIR_OUTPUT);
    const ComRef<IPin> sinkIn = FirstPin(sink.get(), PINDIR_INPUT);
    const bool linked = graph->ConnectDirect(sourceOut.get(), decoderIn.get(), nullptr) == S_OK &&
                        graph->ConnectDirect(decoderOut.get(), grabberIn.get(), nullptr) == S_OK &&
                        graph->ConnectDirect(grabberOut.get(), sinkIn.get(), nullptr) == S_OK;
    EXPECT_TRUE(linked);
    if (linked) {
        AM_MEDIA_TYPE mt;
        if (grabber->GetConnectedMediaType(&mt) == S_OK) {
            if (mt.pbFormat) grabbed.formatBlock.assign(mt.pbFormat, mt.pbFormat + mt.cbFormat);
            if (mt.pbFormat && mt.cbFormat >= sizeof grabbed.format)
                std::memcpy(&grabbed.format, mt.pbFormat, sizeof grabbed.format);
            FreeMediaType(mt);
        }
        if (connected) connected();
        ComRef<IMediaFilter> mediaFilter;
        EXPECT_EQ(graph->QueryInterface(IID_IMediaFilter, mediaFilter.put_void()), S_OK);
        if (mediaFilter.get()) mediaFilter->SetSyncSource(nullptr);
        EXPECT_EQ(RunToCompletion(graph.get(), 30000), EC_COMPLETE);
    }
    RemoveAll(graph.get());
    grabbed.bytes = std::move(collector.bytes);
    return grabbed;
}

TEST_P(DecoderInPlatformGraph, SampleGrabberSeesWhatBformatDecodeWroteOnLinux)
{
    Reference reference;
    ASSERT_TRUE(LoadReference(GetParam(), reference));
    ComRef<IBaseFilter> filter = CreateDecoder();
    ASSERT_TRUE(filter.get());
    const Grabbed grabbed =
        DecodeInPlatformGraph(filter.get(), SourceOf(reference), reference.input.data, BlockAlign(reference.input.format));

    // The grabber is connected with the format bformat-decode wrote into its file's header.
    EXPECT_EQ(grabbed.formatBlock, reference.output.format);

    const std::vector<uint8_t>& expected = reference.output.data;
    ASSERT_EQ(grabbed.bytes.size(), expected.size());
    bformat::WaveFormat format;
    bformat::ReadWaveFormat(reference.output.format.data(), reference.output.format.size(), format);
    size_t differing = 0;
    if (format.subFormat == bformat::kSubtypeFloat) {
        for (size_t i = 0; i < expected.size(); i += 4) {
            float a, b;
            std::memcpy(&a, &grabbed.bytes[i], 4);
            std::memcpy(&b, &expected[i], 4);
            if (a != b) ++differing;
            ASSERT_LE(std::fabs(a - b), std::max(Ulp(a), Ulp(b))) << "sample " << i / 4;
        }
    } else {
        ASSERT_EQ(format.bitsPerSample, 16);
        for (size_t i = 0; i < expected.size(); i += 2) {
            int16_t a, b;
            std::memcpy(&a, &grabbed.bytes[i], 2);
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

// ---- Layouts chosen through the layout interface ------------------------------------------
//
// These decode synthetic input with every layout and compare with the decoder core compiled
// into this test program. Both sides are built with the same compiler and C runtime, so the
// gains and shelf coefficients come from the same cosines and the comparison is exact; the
// one-step allowance above is only needed against decodes made on Linux.

// One input stream shape: sample format, channel count and rate.
struct StreamShape {
    std::string name;
    decoder::SampleFormat format;
    WORD channels;
    DWORD rate;
};

std::vector<StreamShape> StreamShapes()
{
    std::vector<StreamShape> all;
    const std::pair<const char*, decoder::SampleFormat> formats[] = {{"16-bit", decoder::SampleFormat::Pcm16},
                                                                     {"24-bit", decoder::SampleFormat::Pcm24},
                                                                     {"32-bit", decoder::SampleFormat::Pcm32},
                                                                     {"float", decoder::SampleFormat::Float32}};
    for (const auto& format : formats)
        for (WORD channels : {WORD{3}, WORD{4}})
            all.push_back({std::string(format.first) + " " + std::to_string(channels) + "-channel", format.second,
                           channels, channels == 3 ? 48000u : 44100u});
    return all;
}

uint32_t FrameBytes(const StreamShape& shape) { return shape.channels * decoder::BytesPerSample(shape.format); }

bformat::SourceStream SourceFor(const StreamShape& shape)
{
    const bool isFloat = shape.format == decoder::SampleFormat::Float32;
    const WORD bits = static_cast<WORD>(8 * decoder::BytesPerSample(shape.format));
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof f);
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = shape.channels;
    f.Format.nSamplesPerSec = shape.rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(shape.channels * bits / 8);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * shape.rate;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat = isFloat ? decoder::KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT : decoder::KSDATAFORMAT_SUBTYPE_BFORMAT_PCM;
    bformat::SourceStream stream;
    stream.subtype = f.SubFormat;
    stream.formatBlock.assign(reinterpret_cast<const uint8_t*>(&f), reinterpret_cast<const uint8_t*>(&f + 1));
    stream.framesPerSample = 1000;
    return stream;
}

// `frames` frames of noise: any bit pattern for integers, values in [-1, 1] for floats.
std::vector<uint8_t> NoiseFrames(const StreamShape& shape, size_t frames)
{
    std::mt19937 rng(7);
    const size_t values = frames * shape.channels;
    std::vector<uint8_t> data(values * decoder::BytesPerSample(shape.format));
    if (shape.format == decoder::SampleFormat::Float32) {
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (size_t v = 0; v < values; ++v) {
            const float x = u(rng);
            std::memcpy(&data[v * 4], &x, 4);
        }
    } else {
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    }
    return data;
}

// The decoder core's speaker feeds for the whole input with one decode type.
std::vector<uint8_t> CoreDecode(const StreamShape& shape, int8_t decodeType, const std::vector<uint8_t>& input)
{
    decoder::DecoderState state = decoder::PreparedDecoder(decodeType, {shape.channels, double(shape.rate), 1024});
    EXPECT_TRUE(state.IsReady());
    const uint32_t speakers = state.m_nSpeakers;
    const size_t bytes = decoder::BytesPerSample(shape.format);
    const size_t frames = input.size() / (bytes * shape.channels);
    std::vector<uint8_t> out(frames * speakers * bytes);
    state.DecodeFrames(shape.format, input.data(), out.data(), frames);
    return out;
}

ComRef<IAmbisonicDecoderLayout> LayoutInterfaceOf(IBaseFilter* filter)
{
    ComRef<IAmbisonicDecoderLayout> layout;
    EXPECT_EQ(filter->QueryInterface(IID_IAmbisonicDecoderLayout, layout.put_void()), S_OK);
    return layout;
}

// Every layout of a family, for every sample format and both input channel counts: the
// grabber is connected with the layout's speaker count and mask and sees exactly the core's
// decode.
void ExpectLayoutsDecodeAsTheCore(std::initializer_list<int8_t> decodeTypes)
{
    for (int8_t type : decodeTypes) {
        for (const StreamShape& shape : StreamShapes()) {
            const decoder::Rig& rig = decoder::BuiltInRig(static_cast<decoder::LayoutId>(type));
            const std::string what = rig.name + ", " + shape.name;
            const std::vector<uint8_t> input = NoiseFrames(shape, 2500);
            ComRef<IBaseFilter> filter = CreateDecoder();
            ASSERT_TRUE(filter.get());
            ComRef<IAmbisonicDecoderLayout> layout = LayoutInterfaceOf(filter.get());
            ASSERT_TRUE(layout.get());
            ASSERT_EQ(layout->SetDecodeType(type), S_OK) << what;
            const Grabbed grabbed = DecodeInPlatformGraph(filter.get(), SourceFor(shape), input, FrameBytes(shape));
            EXPECT_EQ(grabbed.format.Format.nChannels, rig.Channels()) << what;
            EXPECT_EQ(grabbed.format.dwChannelMask, type <= 1 ? 0x33u : 0u) << what;
            const std::vector<uint8_t> expected = CoreDecode(shape, type, input);
            ASSERT_EQ(grabbed.bytes.size(), expected.size()) << what;
            EXPECT_TRUE(grabbed.bytes == expected) << what << ": the decode differs from the core's";
        }
    }
}

TEST(DecoderLayoutsThroughCom, FourSpeakerLayoutsDecodeAsTheCore) { ExpectLayoutsDecodeAsTheCore({0, 1}); }
TEST(DecoderLayoutsThroughCom, HexagonsDecodeAsTheCore) { ExpectLayoutsDecodeAsTheCore({2, 3}); }
TEST(DecoderLayoutsThroughCom, OctagonsDecodeAsTheCore) { ExpectLayoutsDecodeAsTheCore({4, 5}); }
TEST(DecoderLayoutsThroughCom, TwoLayerLayoutDecodesAsTheCore) { ExpectLayoutsDecodeAsTheCore({6}); }

// Refusals through COM: out of range at any time, any layout once connected; the stream then
// decodes with the layout it was connected with.
TEST(DecoderLayoutsThroughCom, RefusedSettingsChangeNothing)
{
    const StreamShape shape = StreamShapes()[1];
    const std::vector<uint8_t> input = NoiseFrames(shape, 2500);
    ComRef<IBaseFilter> filter = CreateDecoder();
    ASSERT_TRUE(filter.get());
    ComRef<IAmbisonicDecoderLayout> layout = LayoutInterfaceOf(filter.get());
    ASSERT_TRUE(layout.get());
    ASSERT_EQ(layout->SetDecodeType(AMBISONIC_LAYOUT_OCTAGON), S_OK);
    EXPECT_EQ(layout->SetDecodeType(-1), E_INVALIDARG);
    EXPECT_EQ(layout->SetDecodeType(7), E_INVALIDARG);
    EXPECT_EQ(layout->SetOutput(4), E_INVALIDARG);
    LONG type = -1;
    const Grabbed grabbed = DecodeInPlatformGraph(filter.get(), SourceFor(shape), input, FrameBytes(shape), [&] {
        EXPECT_EQ(layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE), VFW_E_ALREADY_CONNECTED);
        EXPECT_EQ(layout->SetOutput(AMBISONIC_OUTPUT_SPEAKERS), VFW_E_ALREADY_CONNECTED);
        EXPECT_EQ(layout->SetOutput(AMBISONIC_OUTPUT_UHJ_STEREO), VFW_E_ALREADY_CONNECTED);
        EXPECT_EQ(layout->GetDecodeType(&type), S_OK);
    });
    EXPECT_EQ(type, AMBISONIC_LAYOUT_OCTAGON);
    EXPECT_EQ(grabbed.format.Format.nChannels, 8);
    EXPECT_TRUE(grabbed.bytes == CoreDecode(shape, AMBISONIC_LAYOUT_OCTAGON, input));
    // Disconnected again, the filter takes a layout.
    EXPECT_EQ(layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE), S_OK);
}

// What the filter writes through IPersistStream.
std::vector<uint8_t> Saved(IBaseFilter* filter)
{
    std::vector<uint8_t> bytes;
    ComRef<IPersistStream> persist;
    ComRef<IStream> stream;
    if (filter->QueryInterface(IID_IPersistStream, persist.put_void()) != S_OK ||
        CreateStreamOnHGlobal(nullptr, TRUE, stream.put()) != S_OK || persist->Save(stream.get(), TRUE) != S_OK)
        return bytes;
    LARGE_INTEGER zero = {};
    ULARGE_INTEGER end = {};
    stream->Seek(zero, STREAM_SEEK_CUR, &end);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    bytes.resize(static_cast<size_t>(end.QuadPart));
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    bytes.resize(read);
    return bytes;
}

// A filter nobody asks: the square, speaker output, the version header alone when saved,
// and a saved filter with another layout writes the same bytes.
TEST(DecoderLayoutsThroughCom, AnUnaskedFilterIsTheSquareAndSavesNoLayout)
{
    ComRef<IBaseFilter> unasked = CreateDecoder();
    ASSERT_TRUE(unasked.get());
    const std::vector<uint8_t> header = Saved(unasked.get());
    ASSERT_EQ(header.size(), 24u);
    EXPECT_EQ(std::memcmp(header.data(), L"00000000000 ", 24), 0);
    ComRef<IAmbisonicDecoderLayout> layout = LayoutInterfaceOf(unasked.get());
    ASSERT_TRUE(layout.get());
    LONG value = -1;
    EXPECT_EQ(layout->GetDecodeType(&value), S_OK);
    EXPECT_EQ(value, AMBISONIC_LAYOUT_SQUARE);
    EXPECT_EQ(layout->GetOutput(&value), S_OK);
    EXPECT_EQ(value, AMBISONIC_OUTPUT_SPEAKERS);

    ComRef<IBaseFilter> asked = CreateDecoder();
    ASSERT_TRUE(asked.get());
    ASSERT_EQ(LayoutInterfaceOf(asked.get())->SetDecodeType(AMBISONIC_LAYOUT_TWO_LAYER), S_OK);
    EXPECT_EQ(Saved(asked.get()), header);
}

// ---- Two-channel outputs chosen through the layout interface ------------------------------
//
// UHJ and headphone output of the registered module against the engine compiled into this
// program, for every sample format and both input channel counts. The tolerance is zero:
// both sides are the same engine source built by the same compiler with the same flags
// (no contraction into fused multiply-adds, SSE2 arithmetic) and run on the same C runtime, so
// the head model's and the FFT's sines and cosines, the all-pass chains and the block
// convolution give the same bits. Against the native build the outputs may differ where
// MinGW's and glibc's trigonometric functions differ in the last bit of a double (up to
// 1.1e-16 in the gains of the two-layer layout; none for the octagon), which after rounding
// to a sample is at most one step, as for the speaker decodes above; and the headphone
// convolution, single precision on both, runs on FFTW natively and on Eigen's FFT here, whose
// round-off differs by a few units in a float's last place of the output's peak.

TEST(DecoderOutputsThroughCom, UhjAndHeadphonesRenderAsTheEngine)
{
    for (const two_channel_test::TwoChannelOutput& mode : two_channel_test::kTwoChannelOutputs) {
        for (const StreamShape& shape : StreamShapes()) {
            const std::string what = std::string(mode.name) + ", " + shape.name;
            const std::vector<uint8_t> input = NoiseFrames(shape, 2500);
            const two_channel_test::HostResponses responses = two_channel_test::MakeResponses(shape.rate);
            ComRef<IBaseFilter> filter = CreateDecoder();
            ASSERT_TRUE(filter.get());
            ComRef<IAmbisonicDecoderLayout> layout = LayoutInterfaceOf(filter.get());
            ASSERT_TRUE(layout.get());
            // A layout set first is kept but not used by the two-channel outputs.
            ASSERT_EQ(layout->SetDecodeType(AMBISONIC_LAYOUT_TWO_LAYER), S_OK) << what;
            ASSERT_EQ(two_channel_test::Choose(layout.get(), mode.output, responses), S_OK) << what;
            const Grabbed grabbed = DecodeInPlatformGraph(filter.get(), SourceFor(shape), input, FrameBytes(shape));
            EXPECT_EQ(grabbed.format.Format.nChannels, 2) << what;
            EXPECT_EQ(grabbed.format.dwChannelMask, 0x3u) << what;
            EXPECT_EQ(grabbed.format.Format.nSamplesPerSec, shape.rate) << what;
            EXPECT_EQ(grabbed.format.Format.wBitsPerSample, 8 * decoder::BytesPerSample(shape.format)) << what;
            // The engine's output does not depend on how the stream is split: one block, and
            // for headphones the tail the filter delivers at the end of the stream.
            std::vector<uint8_t> expected;
            for (const auto& block : two_channel_test::EngineDecode(mode.output, responses, shape.format,
                                                                    shape.channels, shape.rate, {input}))
                expected.insert(expected.end(), block.begin(), block.end());
            ASSERT_EQ(grabbed.bytes.size(), expected.size()) << what;
            EXPECT_TRUE(grabbed.bytes == expected) << what << ": the output differs from the engine's";
        }
    }
}

// Responses at another rate than the stream's are refused at connection; refused hand-ins
// leave the output as it was.
TEST(DecoderOutputsThroughCom, RefusalsChangeNothing)
{
    ComRef<IBaseFilter> filter = CreateDecoder();
    ASSERT_TRUE(filter.get());
    ComRef<IAmbisonicDecoderLayout> layout = LayoutInterfaceOf(filter.get());
    ASSERT_TRUE(layout.get());
    const two_channel_test::HostResponses r = two_channel_test::MakeResponses(48000);
    EXPECT_EQ(layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_RESPONSES), E_INVALIDARG);
    EXPECT_EQ(layout->SetHeadphoneResponses(r.Directions(), r.azimuth.data(), r.elevation.data(), 0, r.rate,
                                            r.left.data(), r.right.data()),
              E_INVALIDARG);
    EXPECT_EQ(layout->SetHeadphoneResponses(r.Directions(), nullptr, r.elevation.data(), r.length, r.rate,
                                            r.left.data(), r.right.data()),
              E_POINTER);
    LONG output = -1;
    EXPECT_EQ(layout->GetOutput(&output), S_OK);
    EXPECT_EQ(output, AMBISONIC_OUTPUT_SPEAKERS);
    ASSERT_EQ(two_channel_test::HandIn(layout.get(), r), S_OK);

    // A 44.1 kHz stream (the 4-channel shapes) does not connect to 48 kHz responses.
    const StreamShape shape = StreamShapes()[1];
    ASSERT_EQ(shape.rate, 44100u);
    bformat::SourceStream stream = SourceFor(shape);
    MemoryFrames frames(NoiseFrames(shape, 100), FrameBytes(shape));
    ComRef<IGraphBuilder> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.put_void()),
              S_OK);
    ComRef<IBaseFilter> source = MakeSource(stream, frames);
    ASSERT_EQ(graph->AddFilter(source.get(), L"B-Format source"), S_OK);
    ASSERT_EQ(graph->AddFilter(filter.get(), L"Decoder"), S_OK);
    const ComRef<IPin> out = FirstPin(source.get(), PINDIR_OUTPUT);
    const ComRef<IPin> in = FirstPin(filter.get(), PINDIR_INPUT);
    EXPECT_TRUE(FAILED(graph->ConnectDirect(out.get(), in.get(), nullptr)));
    RemoveAll(graph.get());
    EXPECT_EQ(layout->GetOutput(&output), S_OK);
    EXPECT_EQ(output, AMBISONIC_OUTPUT_HEADPHONES_RESPONSES);
}

// ---- Rigs and rotation through COM ----------------------------------------------------------

// A preset, speakers handed in (at distances, their LFE left silent), and a preset with the scene
// turned before connecting and again from another thread between samples while streaming: the
// grabber is connected with the rig's channels and mask and sees exactly the engine's output for
// the same SetRotation calls at the same sample boundaries, distance compensation's tail
// included.
TEST(DecoderRigsThroughCom, RigsAndATurnWhileStreamingRenderAsTheEngine)
{
    const float az[] = {30, -30, 0, 110, -110}, el[] = {0, 0, 0, 0, 0}, dist[] = {2, 2, 2.5f, 3, 3};
    std::vector<decoder::Speaker> speakers;
    for (int i = 0; i < 5; ++i) speakers.push_back({az[i], el[i], dist[i]});
    decoder::Rig custom;
    ASSERT_EQ(decoder::MakeRig(speakers, true, custom), decoder::DesignResult::Ok);
    const decoder::Rig& surround = decoder::PresetRigs()[AMBISONIC_RIG_5_1];
    const decoder::Rig& sevenOne = decoder::PresetRigs()[AMBISONIC_RIG_7_1];
    for (const StreamShape& shape : {StreamShapes()[1], StreamShapes()[6]}) {  // 16-bit 4-channel, float 3-channel
        for (int c = 0; c < 3; ++c) {
            const std::string what = std::to_string(c) + ", " + shape.name;
            const std::vector<uint8_t> input = NoiseFrames(shape, 5000);
            ComRef<IBaseFilter> filter = CreateDecoder();
            ASSERT_TRUE(filter.get());
            ComRef<IAmbisonicDecoderRig> rig;
            ComRef<IAmbisonicDecoderRotation> rotation;
            ASSERT_EQ(filter->QueryInterface(IID_IAmbisonicDecoderRig, rig.put_void()), S_OK);
            ASSERT_EQ(filter->QueryInterface(IID_IAmbisonicDecoderRotation, rotation.put_void()), S_OK);
            const decoder::Rig& expectedRig = c == 0 ? surround : c == 1 ? custom : sevenOne;
            std::function<void(size_t)> turnWhileStreaming;
            if (c == 0) {
                ASSERT_EQ(rig->SetPresetRig(AMBISONIC_RIG_5_1), S_OK);
            }
            if (c == 1) {
                ASSERT_EQ(rig->SetSpeakers(5, az, el, dist, TRUE), S_OK);
                ASSERT_EQ(rig->SetLfeSilent(TRUE), S_OK);
            }
            if (c == 2) {
                ASSERT_EQ(rig->SetPresetRig(AMBISONIC_RIG_7_1), S_OK);
                ASSERT_EQ(rotation->SetRotation(10, 0, 0), S_OK);
                turnWhileStreaming = [&](size_t read) {
                    if (read != 2) return;
                    std::thread([&] { EXPECT_EQ(rotation->SetRotation(30, 20, -15), S_OK); }).join();
                };
            }
            const Grabbed grabbed =
                DecodeInPlatformGraph(filter.get(), SourceFor(shape), input, FrameBytes(shape), {}, turnWhileStreaming);
            EXPECT_EQ(grabbed.format.Format.nChannels, expectedRig.Channels()) << what;
            EXPECT_EQ(grabbed.format.dwChannelMask, expectedRig.channelMask) << what;
            // The source's samples: 1000 frames each.
            std::vector<std::vector<uint8_t>> blocks;
            const size_t sampleBytes = 1000 * FrameBytes(shape);
            for (size_t at = 0; at < input.size(); at += sampleBytes)
                blocks.emplace_back(input.begin() + at, input.begin() + std::min(input.size(), at + sampleBytes));
            const std::vector<uint8_t> expected = speaker_test::EngineSpeakerDecode(
                expectedRig, c == 1, shape.format, shape.channels, shape.rate, blocks,
                c == 2 ? decoder::SceneRotation{10, 0, 0} : decoder::SceneRotation{},
                [&](size_t i, decoder::Renderer& r) {
                    if (c == 2 && i == 2) r.SetRotation({30, 20, -15});
                });
            ASSERT_EQ(grabbed.bytes.size(), expected.size()) << what;
            EXPECT_TRUE(grabbed.bytes == expected) << what << ": the output differs from the engine's";
        }
    }
}

// ---- The listener's settings --------------------------------------------------------------
//
// The settings window opened as a listener opens it (rundll32 DUrazOdo.dll,Settings) and driven
// by messages as its controls would send them; filters a host then creates without asking for
// anything take what it stored. Every new filter of the prefix reads these settings, so these
// tests run alone (windows.UserSettings, with DURAZODO_RUN_ALONE set) and skip otherwise; each
// starts and ends with nothing stored.

const WCHAR kSettingsKey[] = L"Software\\DUrazOdo";

void ClearSettings() { RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey); }

void StoreText(const WCHAR* name, const std::wstring& text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void StoreNumber(const WCHAR* name, DWORD number)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// A stored value as text ("#n" for a number); empty when there is none.
std::wstring StoredValue(const WCHAR* name)
{
    WCHAR data[512] = {};
    DWORD size = sizeof data - sizeof(WCHAR), type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_SZ | RRF_RT_REG_DWORD, &type, data, &size) !=
        ERROR_SUCCESS)
        return {};
    if (type == REG_DWORD) {
        DWORD number;
        std::memcpy(&number, data, sizeof number);
        return L"#" + std::to_wstring(number);
    }
    return data;
}

class UserSettingsInGraph : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("DURAZODO_RUN_ALONE"))
            GTEST_SKIP() << "changes what every new filter does: runs alone as the test windows.UserSettings";
        ClearSettings();
    }
    void TearDown() override { ClearSettings(); }
};

// The settings window of a rundll32 process.
struct SettingsWindow {
    PROCESS_INFORMATION process{};
    HWND dialog = nullptr;

    bool Open()
    {
        std::wstring command = L"rundll32.exe " + std::wstring(MODULE_PATH_W) + L",Settings";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return false;
        for (int i = 0; i < 300 && !dialog; ++i) {
            Sleep(100);
            EnumWindows(
                [](HWND hwnd, LPARAM self) -> BOOL {
                    auto* window = reinterpret_cast<SettingsWindow*>(self);
                    DWORD pid = 0;
                    GetWindowThreadProcessId(hwnd, &pid);
                    if (pid != window->process.dwProcessId || !IsWindowVisible(hwnd)) return TRUE;
                    window->dialog = hwnd;
                    return FALSE;
                },
                reinterpret_cast<LPARAM>(this));
        }
        return dialog != nullptr;
    }
    ~SettingsWindow()
    {
        if (!process.hProcess) return;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }

    std::wstring Text(int id)
    {
        WCHAR text[1024] = {};
        SendMessageW(GetDlgItem(dialog, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
        return text;
    }
    void Type(int id, const wchar_t* text) { SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }
    // Chooses row `row` of a drop-down list as a listener's click does, notification included.
    void Choose(int id, int row)
    {
        HWND list = GetDlgItem(dialog, id);
        SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(row), 0);
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    }
    LRESULT Chosen(int id) { return SendMessageW(GetDlgItem(dialog, id), CB_GETCURSEL, 0, 0); }
    void Press(int id) { SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id))); }
    bool Closed() { return WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0; }
};

// Hands the window to the wrapper for its screenshot (when one is asked for) and waits until
// it is taken.
void Screenshot()
{
    const char* shot = std::getenv("UI_SCREENSHOT");
    if (!shot || !*shot) return;
    Sleep(800);  // painted by now
    if (FILE* f = std::fopen((std::string(shot) + ".ready").c_str(), "w")) std::fclose(f);
    for (int i = 0; i < 300; ++i) {
        if (FILE* f = std::fopen((std::string(shot) + ".taken").c_str(), "r")) {
            std::fclose(f);
            return;
        }
        Sleep(100);
    }
}

TEST_F(UserSettingsInGraph, TheWindowReportsIgnoredValuesRefusesBadOnesAndStoresTheChoices)
{
    StoreNumber(L"Output", 9);
    StoreText(L"Yaw", L"north");
    StoreText(L"Pitch", L"12.5");
    SettingsWindow window;
    ASSERT_TRUE(window.Open()) << "rundll32 showed no settings window";
    const std::wstring opened = window.Text(IDC_SETTINGS_MESSAGE);
    EXPECT_NE(opened.find(L"Ignored: Output: not 0 (speakers), 1 (UHJ) or 2 (headphones); speakers are used."),
              std::wstring::npos);
    EXPECT_NE(opened.find(L"Ignored: Yaw: "), std::wstring::npos);
    EXPECT_EQ(window.Chosen(IDC_SETTINGS_OUTPUT), AMBISONIC_OUTPUT_SPEAKERS);
    EXPECT_EQ(window.Chosen(IDC_SETTINGS_RIG), AMBISONIC_LAYOUT_SQUARE);
    EXPECT_EQ(window.Text(IDC_SETTINGS_YAW), L"0");
    EXPECT_EQ(window.Text(IDC_SETTINGS_PITCH), L"12.5") << "the good value beside them is shown";
    Screenshot();

    // A custom rig the interface would refuse: nothing is stored and the window says why.
    const int customRow = decoder::kLayoutCount + static_cast<int>(decoder::PresetRigs().size());
    window.Choose(IDC_SETTINGS_RIG, customRow);
    window.Type(IDC_SETTINGS_SPEAKERS, L"30/0/2, 30/0/2, 180/0/2");
    window.Press(IDC_SETTINGS_APPLY);
    EXPECT_EQ(window.Text(IDC_SETTINGS_MESSAGE),
              L"Not stored: Speakers: two speakers stand in the same place (speakers 1 and 2).");
    EXPECT_EQ(StoredValue(L"Output"), L"#9");
    window.Type(IDC_SETTINGS_SPEAKERS, L"30/0/2, -30/0/2, 180/0/2");
    window.Type(IDC_SETTINGS_ROLL, L"400");
    window.Press(IDC_SETTINGS_APPLY);
    EXPECT_EQ(window.Text(IDC_SETTINGS_MESSAGE), L"Not stored: Roll 400 is outside -360..360 degrees.");

    // Clear all forgets everything at once.
    window.Press(IDC_SETTINGS_CLEAR);
    EXPECT_EQ(StoredValue(L"Output"), L"");
    EXPECT_EQ(StoredValue(L"Pitch"), L"");
    EXPECT_EQ(window.Text(IDC_SETTINGS_ROLL), L"0");

    window.Choose(IDC_SETTINGS_RIG, AMBISONIC_LAYOUT_HEXAGON);
    window.Choose(IDC_SETTINGS_OUTPUT, AMBISONIC_OUTPUT_UHJ_STEREO);
    window.Type(IDC_SETTINGS_YAW, L" -90 ");
    window.Press(IDOK);
    EXPECT_TRUE(window.Closed()) << "OK closes the window once the settings are stored";
    EXPECT_EQ(StoredValue(L"Rig"), L"hexagon");
    EXPECT_EQ(StoredValue(L"Output"), L"#1");
    EXPECT_EQ(StoredValue(L"Yaw"), L"-90");
    EXPECT_EQ(StoredValue(L"Speakers"), L"") << "only a custom rig stores speakers";
}

TEST_F(UserSettingsInGraph, AFilterNobodyAsksTakesTheStoredLayoutAndOutput)
{
    const StreamShape shape = StreamShapes()[6];  // float, 3 channels
    const std::vector<uint8_t> input = NoiseFrames(shape, 2500);
    StoreText(L"Rig", L"hexagon");
    ComRef<IBaseFilter> speakers = CreateDecoder();
    ASSERT_TRUE(speakers.get());
    Grabbed grabbed = DecodeInPlatformGraph(speakers.get(), SourceFor(shape), input, FrameBytes(shape));
    EXPECT_EQ(grabbed.format.Format.nChannels, 6);
    EXPECT_TRUE(grabbed.bytes == CoreDecode(shape, AMBISONIC_LAYOUT_HEXAGON, input));

    StoreNumber(L"Output", AMBISONIC_OUTPUT_UHJ_STEREO);
    ComRef<IBaseFilter> uhj = CreateDecoder();
    ASSERT_TRUE(uhj.get());
    LONG type = -1;
    EXPECT_EQ(LayoutInterfaceOf(uhj.get())->GetDecodeType(&type), S_OK);
    EXPECT_EQ(type, AMBISONIC_LAYOUT_HEXAGON);
    grabbed = DecodeInPlatformGraph(uhj.get(), SourceFor(shape), input, FrameBytes(shape));
    EXPECT_EQ(grabbed.format.Format.nChannels, 2);
    EXPECT_EQ(grabbed.format.dwChannelMask, 0x3u);
    std::vector<uint8_t> expected;
    for (const auto& block : two_channel_test::EngineDecode(AMBISONIC_OUTPUT_UHJ_STEREO, {}, shape.format,
                                                            shape.channels, shape.rate, {input}))
        expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_TRUE(grabbed.bytes == expected) << "the UHJ output differs from the engine's";

    // A host that asks overrides the stored choice.
    ComRef<IBaseFilter> asked = CreateDecoder();
    ASSERT_TRUE(asked.get());
    ASSERT_EQ(LayoutInterfaceOf(asked.get())->SetOutput(AMBISONIC_OUTPUT_SPEAKERS), S_OK);
    ASSERT_EQ(LayoutInterfaceOf(asked.get())->SetDecodeType(AMBISONIC_LAYOUT_OCTAGON), S_OK);
    grabbed = DecodeInPlatformGraph(asked.get(), SourceFor(shape), input, FrameBytes(shape));
    EXPECT_TRUE(grabbed.bytes == CoreDecode(shape, AMBISONIC_LAYOUT_OCTAGON, input));
}

TEST_F(UserSettingsInGraph, AStoredPresetRigSetsTheChannelCount)
{
    StoreText(L"Rig", L"5.1");
    ComRef<IBaseFilter> filter = CreateDecoder();
    ASSERT_TRUE(filter.get());
    ComRef<IUnknown> rig;
    if (filter->QueryInterface(IID_IAmbisonicDecoderRig, rig.put_void()) == E_NOINTERFACE)
        GTEST_SKIP() << "this filter has no IAmbisonicDecoderRig, so it cannot take a preset rig yet";
    const StreamShape shape = StreamShapes()[1];
    const Grabbed grabbed =
        DecodeInPlatformGraph(filter.get(), SourceFor(shape), NoiseFrames(shape, 2500), FrameBytes(shape));
    EXPECT_EQ(grabbed.format.Format.nChannels, 6);
    EXPECT_EQ(grabbed.format.dwChannelMask, 0x3Fu);
}

TEST_F(UserSettingsInGraph, ClearingTheSettingsGivesBackTheFilterByteForByte)
{
    const StreamShape shape = StreamShapes()[3];  // 24-bit, 4 channels
    const std::vector<uint8_t> input = NoiseFrames(shape, 2500);
    ComRef<IBaseFilter> plain = CreateDecoder();
    ASSERT_TRUE(plain.get());
    const std::vector<uint8_t> plainSaved = Saved(plain.get());
    const Grabbed plainGrabbed = DecodeInPlatformGraph(plain.get(), SourceFor(shape), input, FrameBytes(shape));

    StoreText(L"Rig", L"two-layer");
    StoreNumber(L"Output", AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL);
    StoreText(L"Yaw", L"30");
    ComRef<IBaseFilter> chosen = CreateDecoder();
    ASSERT_TRUE(chosen.get());
    EXPECT_EQ(Saved(chosen.get()), plainSaved) << "settings are never persisted";
    EXPECT_EQ(DecodeInPlatformGraph(chosen.get(), SourceFor(shape), input, FrameBytes(shape)).format.Format.nChannels, 2);

    ClearSettings();
    ComRef<IBaseFilter> cleared = CreateDecoder();
    ASSERT_TRUE(cleared.get());
    EXPECT_EQ(Saved(cleared.get()), plainSaved);
    const Grabbed clearedGrabbed = DecodeInPlatformGraph(cleared.get(), SourceFor(shape), input, FrameBytes(shape));
    EXPECT_EQ(clearedGrabbed.formatBlock, plainGrabbed.formatBlock) << "the proposed type";
    EXPECT_TRUE(clearedGrabbed.bytes == plainGrabbed.bytes);
    EXPECT_EQ(plainGrabbed.format.Format.nChannels, 4);
}

}  // namespace

// ---- Higher-order input chosen through the input interface --------------------------------

// A third-order ambiX stream, announced through the input interface, decodes for headphones at
// its order exactly as the engine compiled into this program decodes it (the tail included).
TEST(DecoderInputThroughCom, ThirdOrderAmbixDecodesAsTheEngine)
{
    const StreamShape shape{"float 16-channel", decoder::SampleFormat::Float32, 16, 48000};
    constexpr size_t kFrames = 2500;
    const std::vector<uint8_t> input = NoiseFrames(shape, kFrames);
    ComRef<IBaseFilter> filter = CreateDecoder();
    ASSERT_TRUE(filter.get());
    ComRef<IAmbisonicDecoderInput> announce;
    ASSERT_EQ(filter->QueryInterface(IID_IAmbisonicDecoderInput, announce.put_void()), S_OK);
    ASSERT_EQ(announce->SetInputFormat(AMBISONIC_CONVENTION_AMBIX, 16), S_OK);
    ASSERT_EQ(LayoutInterfaceOf(filter.get())->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL), S_OK);
    ULONG order = 0;
    ASSERT_EQ(announce->GetDecodedOrder(&order), S_OK);
    EXPECT_EQ(order, 3u);
    const Grabbed grabbed = DecodeInPlatformGraph(filter.get(), SourceFor(shape), input, FrameBytes(shape));
    EXPECT_EQ(grabbed.format.Format.nChannels, 2);

    const auto engine = decoder::MakeRenderer(decoder::OutputKind::Headphones,
                                              decoder::BuiltInRig(decoder::LayoutId::Square), nullptr);
    ASSERT_EQ(engine->Prepare({16, 48000.0, static_cast<int32_t>(kFrames), decoder::InputConvention::Ambix}),
              decoder::PrepareResult::Ok);
    std::vector<uint8_t> expected(kFrames * 2 * 4);
    engine->Render(shape.format, input.data(), expected.data(), kFrames);
    std::vector<uint8_t> tail(engine->TailFrames() * 2 * 4);
    engine->RenderTail(shape.format, tail.data(), engine->TailFrames());
    expected.insert(expected.end(), tail.begin(), tail.end());
    ASSERT_EQ(grabbed.bytes.size(), expected.size());
    EXPECT_TRUE(grabbed.bytes == expected) << "the third-order decode differs from the engine's";
}
