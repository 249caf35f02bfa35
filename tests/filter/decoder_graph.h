// The decoder filter in the platform's filter graph, between a B-Format source and a sink,
// and the decode the decoder core gives for the same input, to hold the graph's output to.
#pragma once

#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "decoder/coefficients.h"
#include "decoder/decoder_testing.h"
#include "decoder/renderer.h"
#include "decoder/transform.h"
#include "filter/Maincom.h"
#include "framework/transform_pins.h"
#include "tests/filter/bformat_filters.h"
#include "tests/support/speaker_reference.h"

namespace bformat_test {

// COM for the test's thread, free-threaded as a host with its own streaming threads is.
class ComThread : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};

inline decoder::SampleFormat FormatOf(const TypeShape& shape)
{
    WAVEFORMATEXTENSIBLE f = Extensible(shape);
    return decoder::SampleFormatOf(&f);
}

// `count` samples of `frames` frames each of audio-like data (no NaNs), timed back to back.
// Every sample but the last ends with a partial frame of `tail` bytes, which the decoder
// must leave out.
inline std::vector<SampleRecord> MakeScript(const TypeShape& shape, int count, size_t frames, size_t tail,
                                            unsigned seed = 1)
{
    std::mt19937 rng(seed);
    const size_t bytes = decoder::BytesPerSample(FormatOf(shape));
    std::vector<SampleRecord> script(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        SampleRecord& s = script[static_cast<size_t>(i)];
        const size_t values = frames * shape.channels;
        s.data.resize(values * bytes + (i + 1 < count ? tail : 0));
        if (IsFloat(shape)) {
            std::uniform_real_distribution<float> u(-1.0f, 1.0f);
            for (size_t v = 0; v < values; ++v) {
                float x = u(rng);
                std::memcpy(&s.data[v * 4], &x, 4);
            }
        } else {
            for (BYTE& b : s.data) b = static_cast<BYTE>(rng());
        }
        s.timed = true;
        s.start = i * 100000;
        s.stop = s.start + 100000;
        s.sync = true;
        s.discontinuity = i == 0;
    }
    return script;
}

// What the decoder core makes of the script's samples for a decode type, one output block
// per sample.
inline std::vector<std::vector<BYTE>> ReferenceDecode(const TypeShape& shape, const std::vector<SampleRecord>& script,
                                                      size_t count, int8_t decodeType = 0)
{
    decoder::DecoderState state = decoder::PreparedDecoder(decodeType, {shape.channels, double(shape.rate), 1024});
    EXPECT_TRUE(state.IsReady());
    const uint32_t speakers = state.m_nSpeakers;
    const decoder::SampleFormat format = FormatOf(shape);
    const size_t bytes = decoder::BytesPerSample(format);
    std::vector<std::vector<BYTE>> out;
    for (size_t i = 0; i < count; ++i) {
        const SampleRecord& s = script[i % script.size()];
        const size_t frames = s.data.size() / (bytes * shape.channels);
        std::vector<BYTE> block(frames * speakers * bytes);
        state.DecodeFrames(format, s.data.data(), block.data(), frames);
        out.push_back(std::move(block));
    }
    return out;
}

// The engine's speaker output for `rig` from the script's samples (speaker_reference.h).
inline std::vector<BYTE> EngineSpeakerDecode(
    const decoder::Rig& rig, bool silentLfe, const TypeShape& shape, const std::vector<SampleRecord>& script,
    const decoder::SceneRotation& initial = {}, const std::function<void(size_t, decoder::Renderer&)>& beforeSample = {})
{
    std::vector<std::vector<uint8_t>> blocks;
    for (const SampleRecord& s : script) {
        const size_t frameBytes = decoder::BytesPerSample(FormatOf(shape)) * shape.channels;
        blocks.emplace_back(s.data.begin(), s.data.begin() + (s.data.size() / frameBytes) * frameBytes);
    }
    return speaker_test::EngineSpeakerDecode(rig, silentLfe, FormatOf(shape), shape.channels, shape.rate, blocks,
                                             initial, beforeSample);
}

// The received samples' bytes, one after another.
inline std::vector<BYTE> Joined(const std::vector<SampleRecord>& samples)
{
    std::vector<BYTE> all;
    for (const SampleRecord& s : samples) all.insert(all.end(), s.data.begin(), s.data.end());
    return all;
}

// A graph of source, decoder and sink, connected. The decoder is created the way the class
// factory creates it; a decode type other than 0 is set through the layout interface before
// anything connects, then `configure` runs on that interface (its failure stops the graph
// there, in connectResult).
class DecoderGraph {
public:
    DecoderGraph(const TypeShape& shape, std::vector<SampleRecord> script, LONG bufferSize, LONG decodeType = 0,
                 const std::function<HRESULT(IAmbisonicDecoderLayout*)>& configure = {})
    {
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                      reinterpret_cast<void**>(&graph));
        if (FAILED(hr)) return;
        graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));

        source = new BFormatSource(shape, std::move(script), bufferSize);
        source->NonDelegatingAddRef();
        sink = new BFormatSink();
        sink->NonDelegatingAddRef();
        CUnknown* object = CVEvava::CreateInstance(nullptr, &hr);
        if (!object) return;
        object->NonDelegatingAddRef();
        decoder = static_cast<CVEvava*>(object);
        if (decodeType != 0) {
            connectResult = static_cast<IAmbisonicDecoderLayout*>(decoder)->SetDecodeType(decodeType);
            if (FAILED(connectResult)) return;
        }
        if (configure) {
            connectResult = configure(static_cast<IAmbisonicDecoderLayout*>(decoder));
            if (FAILED(connectResult)) return;
        }

        if (FAILED(graph->AddFilter(source, WIDE("source"))) || FAILED(graph->AddFilter(decoder, WIDE("decoder"))) ||
            FAILED(graph->AddFilter(sink, WIDE("sink"))))
            return;
        connectResult = graph->ConnectDirect(source->pin, decoder->GetPin(0), nullptr);
        if (SUCCEEDED(connectResult)) connectResult = graph->ConnectDirect(decoder->GetPin(1), sink->pin, nullptr);
    }

    ~DecoderGraph()
    {
        if (control) {
            control->Stop();
            control->Release();
        }
        if (graph) {
            for (IBaseFilter* f : {static_cast<IBaseFilter*>(source), static_cast<IBaseFilter*>(decoder),
                                   static_cast<IBaseFilter*>(sink)})
                if (f) graph->RemoveFilter(f);
            graph->Release();
        }
        if (decoder) decoder->NonDelegatingRelease();
        if (source) source->NonDelegatingRelease();
        if (sink) sink->NonDelegatingRelease();
    }

    bool Ready() const { return graph && control && decoder && SUCCEEDED(connectResult); }

    IFilterGraph* graph = nullptr;
    IMediaControl* control = nullptr;
    BFormatSource* source = nullptr;
    CVEvava* decoder = nullptr;
    BFormatSink* sink = nullptr;
    HRESULT connectResult = E_FAIL;
};

}  // namespace bformat_test
