// The decoder filter streaming in the platform's filter graph: for every layout, sample format and
// both input layouts the speaker feeds equal, bit for bit, the decoder core's; timing and
// flags travel with the samples; flushes, segments and end-of-stream pass through; and the
// shelf filters' memory carries over pauses, stops and flushes; UHJ and headphone output and a
// designed rig turned while streaming equal the engine's, bit for bit.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "decoder/rig.h"
#include "tests/support/two_channel_reference.h"
#include "tests/filter/decoder_graph.h"

namespace bformat_test {
namespace {

constexpr LONG kBufferSize = 4096;

struct Layout {
    const char* name;
    TypeShape shape;
};

std::vector<Layout> Layouts()
{
    std::vector<Layout> all;
    const char* names[] = {"16-bit", "24-bit", "32-bit", "float"};
    for (int format = 0; format < 4; ++format) {
        for (WORD channels : {WORD{3}, WORD{4}}) {
            TypeShape s;
            if (format == 3) s.Float();
            else s.bits = static_cast<WORD>(16 + 8 * format);
            s.channels = channels;
            s.rate = channels == 3 ? 48000 : 44100;
            all.push_back({names[format], s});
        }
    }
    return all;
}

// Whole buffers of frames, with a few bytes of a partial frame after each but the last.
std::vector<SampleRecord> FullBuffers(const TypeShape& shape, int count)
{
    const size_t frameBytes = decoder::BytesPerSample(FormatOf(shape)) * shape.channels;
    const size_t frames = (kBufferSize - frameBytes + 1) / frameBytes;
    return MakeScript(shape, count, frames, frameBytes - 1);
}

void ExpectDecodedAsTheCore(const TypeShape& shape, const std::vector<SampleRecord>& script,
                            const std::vector<SampleRecord>& received, const std::string& what, int8_t decodeType = 0)
{
    const auto expected = ReferenceDecode(shape, script, received.size(), decodeType);
    for (size_t i = 0; i < received.size(); ++i) {
        ASSERT_EQ(expected[i].size(), received[i].data.size()) << what << ", sample " << i;
        ASSERT_TRUE(expected[i] == received[i].data) << what << ", sample " << i << " differs";
    }
}

using DecoderInGraph = ComThread;

TEST_F(DecoderInGraph, SpeakerFeedsMatchTheDecoderCoreForEveryFormat)
{
    for (const Layout& layout : Layouts()) {
        const std::string what = std::string(layout.name) + " " + std::to_string(layout.shape.channels) + "-channel";
        const auto script = FullBuffers(layout.shape, 6);
        DecoderGraph g(layout.shape, script, kBufferSize);
        if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
        ASSERT_TRUE(g.Ready()) << what << ": connection 0x" << std::hex << g.connectResult;

        // The sink was offered the speaker feeds.
        const WAVEFORMATEXTENSIBLE out = FormatOf(g.sink->pin->CurrentMediaType());
        EXPECT_EQ(4, out.Format.nChannels) << what;
        EXPECT_EQ(layout.shape.rate, out.Format.nSamplesPerSec) << what;
        EXPECT_EQ(layout.shape.bits, out.Format.wBitsPerSample) << what;
        EXPECT_TRUE(IsEqualGUID(out.SubFormat, IsFloat(layout.shape) ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
                                                                     : KSDATAFORMAT_SUBTYPE_PCM))
            << what;

        ASSERT_TRUE(SUCCEEDED(g.control->Run())) << what;
        ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1)) << what;
        const auto received = g.sink->pin->Samples();
        ASSERT_EQ(script.size(), received.size()) << what;
        ExpectDecodedAsTheCore(layout.shape, script, received, what);
    }
}

TEST_F(DecoderInGraph, TimesAndFlagsTravelWithTheSamples)
{
    TypeShape shape;
    auto script = MakeScript(shape, 9, 100, 0);
    for (size_t i = 0; i < script.size(); ++i) {
        SampleRecord& s = script[i];
        s.timed = i % 4 != 3;
        s.sync = i % 2 == 0;
        s.discontinuity = i == 0 || i == 5;
        s.preroll = i == 1;
        s.mediaTimed = i % 3 == 0;
        s.mediaStart = static_cast<LONGLONG>(i) * 100;
        s.mediaStop = s.mediaStart + 99;
    }
    DecoderGraph g(shape, script, kBufferSize);
    if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
    ASSERT_TRUE(g.Ready());
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1));

    const auto received = g.sink->pin->Samples();
    ASSERT_EQ(script.size(), received.size());
    for (size_t i = 0; i < script.size(); ++i) {
        const SampleRecord& in = script[i];
        const SampleRecord& out = received[i];
        EXPECT_EQ(in.timed, out.timed) << i;
        if (in.timed) {
            EXPECT_EQ(in.start, out.start) << i;
            EXPECT_EQ(in.stop, out.stop) << i;
        }
        EXPECT_EQ(in.sync, out.sync) << i;
        EXPECT_EQ(in.discontinuity, out.discontinuity) << i;
        EXPECT_EQ(in.preroll, out.preroll) << i;
        EXPECT_EQ(in.mediaTimed, out.mediaTimed) << i;
        if (in.mediaTimed) {
            EXPECT_EQ(in.mediaStart, out.mediaStart) << i;
            EXPECT_EQ(in.mediaStop, out.mediaStop) << i;
        }
    }
    ExpectDecodedAsTheCore(shape, script, received, "16-bit");
}

TEST_F(DecoderInGraph, FlushSegmentAndEndOfStreamPassThroughAndTheShelvesKeepTheirMemory)
{
    TypeShape shape;
    shape.channels = 3;
    const auto script = FullBuffers(shape, 10);
    DecoderGraph g(shape, script, kBufferSize);
    if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
    ASSERT_TRUE(g.Ready());
    BFormatSourcePin* out = g.source->pin;
    out->Allow(4);
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("sample", 4));

    // The source waits between samples, so nothing is in flight while the notices travel.
    EXPECT_EQ(S_OK, out->DeliverNewSegment(1000, 900000, 1.0));
    EXPECT_EQ(S_OK, out->DeliverBeginFlush());
    EXPECT_EQ(S_OK, out->DeliverEndFlush());
    out->Allow(100);
    ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1));

    std::vector<std::string> expected(4, "sample");
    expected.insert(expected.end(), {"segment 1000 900000 1.000000", "begin flush", "end flush"});
    expected.insert(expected.end(), 6, "sample");
    expected.push_back("eos");
    EXPECT_EQ(expected, g.sink->pin->Notices());
    ExpectDecodedAsTheCore(shape, script, g.sink->pin->Samples(), "across the flush");
}

TEST_F(DecoderInGraph, ShelfMemoryCarriesOverPausesAndStops)
{
    TypeShape shape = TypeShape{}.Float();
    const auto script = FullBuffers(shape, 12);
    DecoderGraph g(shape, script, kBufferSize);
    if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
    ASSERT_TRUE(g.Ready());
    BFormatSourcePin* out = g.source->pin;

    out->Allow(3);
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("sample", 3));
    ASSERT_TRUE(SUCCEEDED(g.control->Pause()));
    out->Allow(6);
    ASSERT_TRUE(g.sink->pin->WaitFor("sample", 6));
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    out->Allow(8);
    ASSERT_TRUE(g.sink->pin->WaitFor("sample", 8));
    ASSERT_TRUE(SUCCEEDED(g.control->Stop()));
    EXPECT_EQ(8, out->accepted.load());

    out->Allow(100);
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1));
    const auto received = g.sink->pin->Samples();
    ASSERT_EQ(script.size(), received.size());
    ExpectDecodedAsTheCore(shape, script, received, "across pause and stop");
}

// Every layout of a family, set through the layout interface before connecting, for every
// sample format and both input layouts: the sink is offered the layout's speaker feeds and
// receives exactly what the decoder core makes of the same samples.
void ExpectLayoutsDecodeAsTheCore(std::initializer_list<int8_t> decodeTypes)
{
    for (int8_t type : decodeTypes) {
        const decoder::Rig& rig = decoder::BuiltInRig(static_cast<decoder::LayoutId>(type));
        const LONG speakers = static_cast<LONG>(rig.Channels());
        for (const Layout& layout : Layouts()) {
            const std::string what = rig.name + ", " + layout.name + " " + std::to_string(layout.shape.channels) +
                                     "-channel";
            const auto script = FullBuffers(layout.shape, 4);
            DecoderGraph g(layout.shape, script, kBufferSize, type);
            if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
            ASSERT_TRUE(g.Ready()) << what << ": connection 0x" << std::hex << g.connectResult;
            const WAVEFORMATEXTENSIBLE out = FormatOf(g.sink->pin->CurrentMediaType());
            EXPECT_EQ(speakers, out.Format.nChannels) << what;
            EXPECT_EQ(type <= 1 ? 0x33u : 0u, out.dwChannelMask) << what;

            ASSERT_TRUE(SUCCEEDED(g.control->Run())) << what;
            ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1)) << what;
            const auto received = g.sink->pin->Samples();
            ASSERT_EQ(script.size(), received.size()) << what;
            ExpectDecodedAsTheCore(layout.shape, script, received, what, type);
        }
    }
}

TEST_F(DecoderInGraph, FourSpeakerLayoutsDecodeAsTheCore) { ExpectLayoutsDecodeAsTheCore({0, 1}); }
TEST_F(DecoderInGraph, HexagonsDecodeAsTheCore) { ExpectLayoutsDecodeAsTheCore({2, 3}); }
TEST_F(DecoderInGraph, OctagonsDecodeAsTheCore) { ExpectLayoutsDecodeAsTheCore({4, 5}); }
TEST_F(DecoderInGraph, TwoLayerLayoutDecodesAsTheCore) { ExpectLayoutsDecodeAsTheCore({6}); }

// A host that tries to change the layout of a running decoder is refused, and the stream
// goes on decoding with the layout it was connected with.
TEST_F(DecoderInGraph, ALayoutRefusedWhileConnectedLeavesTheStreamAsItWas)
{
    TypeShape shape;
    const auto script = FullBuffers(shape, 8);
    DecoderGraph g(shape, script, kBufferSize, AMBISONIC_LAYOUT_HEXAGON_ROTATED);
    if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
    ASSERT_TRUE(g.Ready());
    IAmbisonicDecoderLayout* layout = nullptr;
    ASSERT_EQ(S_OK, g.decoder->GetNonDelegatingUnknown()->QueryInterface(IID_IAmbisonicDecoderLayout,
                                                                           reinterpret_cast<void**>(&layout)));
    BFormatSourcePin* out = g.source->pin;
    out->Allow(3);
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("sample", 3));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetDecodeType(AMBISONIC_LAYOUT_SQUARE));
    EXPECT_EQ(E_INVALIDARG, layout->SetDecodeType(7));
    ASSERT_TRUE(SUCCEEDED(g.control->Stop()));
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, layout->SetDecodeType(AMBISONIC_LAYOUT_OCTAGON));
    LONG type = -1;
    EXPECT_EQ(S_OK, layout->GetDecodeType(&type));
    EXPECT_EQ(AMBISONIC_LAYOUT_HEXAGON_ROTATED, type);
    layout->Release();

    out->Allow(100);
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1));
    const auto received = g.sink->pin->Samples();
    ASSERT_EQ(script.size(), received.size());
    ExpectDecodedAsTheCore(shape, script, received, "after the refusals", AMBISONIC_LAYOUT_HEXAGON_ROTATED);
}

// ---- Two-channel outputs --------------------------------------------------------------

// Each output, for every sample format and both input channel counts, with a decode type set
// before it (which the two-channel outputs do not use): the sink is offered two channels
// with mask 0x3 in the input's format and rate, and receives exactly what the engine makes
// of the same samples, sample by sample, with the headphone decode's tail before the end of
// the stream.
TEST_F(DecoderInGraph, TwoChannelOutputsMatchTheEngineForEveryFormat)
{
    for (const two_channel_test::TwoChannelOutput& mode : two_channel_test::kTwoChannelOutputs) {
        for (const Layout& layout : Layouts()) {
            const std::string what = std::string(mode.name) + ", " + layout.name + " " +
                                     std::to_string(layout.shape.channels) + "-channel";
            const auto responses = two_channel_test::MakeResponses(layout.shape.rate);
            const auto script = FullBuffers(layout.shape, 5);
            auto choose = [&](IAmbisonicDecoderLayout* l) {
                return two_channel_test::Choose(l, mode.output, responses);
            };
            DecoderGraph g(layout.shape, script, kBufferSize, AMBISONIC_LAYOUT_HEXAGON, choose);
            if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
            ASSERT_TRUE(g.Ready()) << what << ": connection 0x" << std::hex << g.connectResult;
            const WAVEFORMATEXTENSIBLE out = FormatOf(g.sink->pin->CurrentMediaType());
            EXPECT_EQ(2, out.Format.nChannels) << what;
            EXPECT_EQ(0x3u, out.dwChannelMask) << what;
            EXPECT_EQ(layout.shape.rate, out.Format.nSamplesPerSec) << what;
            EXPECT_EQ(layout.shape.bits, out.Format.wBitsPerSample) << what;

            ASSERT_TRUE(SUCCEEDED(g.control->Run())) << what;
            ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1)) << what;
            const auto received = g.sink->pin->Samples();
            std::vector<std::vector<uint8_t>> blocks;
            for (const SampleRecord& s : script) blocks.push_back(s.data);
            const auto expected = two_channel_test::EngineDecode(mode.output, responses, FormatOf(layout.shape),
                                                                 layout.shape.channels, layout.shape.rate, blocks);
            // Headphones deliver their tail in one more sample, timed on from the last.
            ASSERT_EQ(expected.size(), received.size()) << what;
            for (size_t i = 0; i < received.size(); ++i) {
                ASSERT_EQ(expected[i].size(), received[i].data.size()) << what << ", sample " << i;
                ASSERT_TRUE(expected[i] == received[i].data) << what << ", sample " << i << " differs";
            }
            if (received.size() > script.size()) {
                const SampleRecord& tail = received.back();
                EXPECT_TRUE(tail.timed) << what;
                EXPECT_EQ(script.back().stop, tail.start) << what;
                EXPECT_EQ(tail.start + 256 * 10000000LL / layout.shape.rate, tail.stop) << what;
            }
            EXPECT_EQ("eos", g.sink->pin->Notices().back()) << what;
        }
    }
}

// Buffers of 100 frames: the headphone tail of 256 frames comes in three samples of 100,
// 100 and 56 frames whose times follow on from each other, and the whole output is still the
// engine's.
TEST_F(DecoderInGraph, AHeadphoneTailLongerThanABufferComesInPieces)
{
    TypeShape shape;
    shape.rate = 48000;
    const auto script = MakeScript(shape, 7, 100, 0);
    const two_channel_test::HostResponses none;
    DecoderGraph g(shape, script, 800, 0, [](IAmbisonicDecoderLayout* l) {
        return l->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL);
    });
    if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
    ASSERT_TRUE(g.Ready());
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1));
    const auto received = g.sink->pin->Samples();
    ASSERT_EQ(script.size() + 3, received.size());
    std::vector<uint8_t> all, expected;
    for (const SampleRecord& s : received) all.insert(all.end(), s.data.begin(), s.data.end());
    std::vector<std::vector<uint8_t>> blocks;
    for (const SampleRecord& s : script) blocks.push_back(s.data);
    for (const auto& block : two_channel_test::EngineDecode(AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL, none,
                                                            FormatOf(shape), shape.channels, shape.rate, blocks))
        expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_TRUE(all == expected);
    REFERENCE_TIME at = script.back().stop;
    for (size_t i = script.size(); i < received.size(); ++i) {
        EXPECT_EQ(at, received[i].start) << i;
        at = received[i].stop;
    }
    EXPECT_EQ(400u, received[script.size()].data.size());
    EXPECT_EQ(224u, received.back().data.size());
    EXPECT_EQ(script.back().stop + 256 * 10000000LL / 48000, at);
}

// ---- Rotation ---------------------------------------------------------------------------

// A head tracker: the rotation is set before the rig (the new renderer starts from it), then
// changed from other threads between samples while the graph streams. The output is the
// engine's with SetRotation called at the same sample boundaries.
TEST_F(DecoderInGraph, RotationChangedWhileStreamingTurnsFromTheNextSample)
{
    TypeShape pcm, flt;
    flt.Float().channels = 3;
    for (const TypeShape& shape : {pcm, flt}) {
        const auto script = FullBuffers(shape, 6);
        IAmbisonicDecoderRotation* rotation = nullptr;
        DecoderGraph g(shape, script, kBufferSize, 0, [&](IAmbisonicDecoderLayout* l) {
            IAmbisonicDecoderRig* rig = nullptr;
            HRESULT hr = l->QueryInterface(IID_IAmbisonicDecoderRotation, reinterpret_cast<void**>(&rotation));
            if (SUCCEEDED(hr)) hr = rotation->SetRotation(10, 0, 0);
            if (SUCCEEDED(hr)) hr = l->QueryInterface(IID_IAmbisonicDecoderRig, reinterpret_cast<void**>(&rig));
            if (SUCCEEDED(hr)) hr = rig->SetPresetRig(AMBISONIC_RIG_7_1);
            if (rig) rig->Release();
            return hr;
        });
        if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
        ASSERT_TRUE(g.Ready()) << std::hex << g.connectResult;
        // Before sample 2 a turn with every angle, before sample 4 back to none; the second call
        // of each pair replaces the first before any sample sees it.
        const float turns[2][2][3] = {{{90, 0, 0}, {30, 20, -15}}, {{5, 5, 5}, {0, 0, 0}}};
        g.source->pin->Allow(2);
        ASSERT_TRUE(SUCCEEDED(g.control->Run()));
        for (int step = 0; step < 2; ++step) {
            ASSERT_TRUE(g.sink->pin->WaitFor("sample", 2 + 2 * step));
            for (const auto& angles : turns[step])
                std::thread([&] { EXPECT_EQ(S_OK, rotation->SetRotation(angles[0], angles[1], angles[2])); }).join();
            g.source->pin->Allow(step == 0 ? 4 : 100);
        }
        ASSERT_TRUE(g.sink->pin->WaitFor("eos", 1));
        rotation->Release();
        const auto expected = EngineSpeakerDecode(
            decoder::PresetRigs()[AMBISONIC_RIG_7_1], false, shape, script, {10, 0, 0},
            [&](size_t i, decoder::Renderer& r) {
                if (i == 2) r.SetRotation({30, 20, -15});
                if (i == 4) r.SetRotation({0, 0, 0});
            });
        EXPECT_TRUE(Joined(g.sink->pin->Samples()) == expected) << shape.bits << "-bit";
    }
}

}  // namespace
}  // namespace bformat_test
