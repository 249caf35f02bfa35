// The GStreamer plugin: its header reader, type finder, parser and decoder, run in real
// pipelines and in GStreamer's test harness, against the engine's own decode.
#include <gst/audio/audio.h>
#include <gst/base/gsttypefindhelper.h>
#include <gst/controller/gstdirectcontrolbinding.h>
#include <gst/controller/gstinterpolationcontrolsource.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>

#include "decoder/renderer.h"
#include "decoder/rig.h"
#include "plugins/gstreamer/wave_header.h"
#include "tests/gstreamer/gst_support.h"
#include "tests/tools/temp_dir.h"
#include "tools/bformat-decode/sofa_responses.h"

namespace {

using gst_test::BFormatFile;
using gst_test::Container;
using gst_test::RunResult;
using gst_test::Samples;

constexpr uint32_t kRate = 48000;

class GStreamerTest : public ::testing::Test {
protected:
    void SetUp() override { gst_test::StartGStreamer(); }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        const std::string path = m_dir / name;
        EXPECT_TRUE(wave_test::WriteFile(path, bytes));
        return path;
    }

    tools_test::TempDir m_dir;
};

// The engine's speaker decode of interleaved samples, at 4096-frame blocks.
std::vector<uint8_t> EngineSpeakers(const std::vector<uint8_t>& samples, uint16_t bits, const decoder::Rig& rig)
{
    const auto renderer = decoder::MakeRenderer(decoder::OutputKind::Speakers, rig, nullptr);
    EXPECT_EQ(renderer->Prepare({4, kRate, 4096}), decoder::PrepareResult::Ok);
    const auto format = bits == 16 ? decoder::SampleFormat::Pcm16 : decoder::SampleFormat::Float32;
    const size_t frames = samples.size() / (4 * bits / 8);
    std::vector<uint8_t> out(frames * rig.Channels() * bits / 8);
    renderer->Render(format, samples.data(), out.data(), frames);
    return out;
}
std::vector<uint8_t> EngineSquare(const std::vector<uint8_t>& samples, uint16_t bits, int8_t type = 0)
{
    return EngineSpeakers(samples, bits, decoder::BuiltInRig(*decoder::LayoutIdOf(type)));
}

// The engine's two-channel render of 16-bit samples, with the decode's lag dropped from the start
// and the tail rendered after the input, as long as the input.
std::vector<uint8_t> EngineStereo(const std::vector<uint8_t>& samples, decoder::OutputKind kind,
                                  const decoder::MeasuredResponses* measured = nullptr)
{
    const auto renderer = decoder::MakeRenderer(kind, decoder::BuiltInRig(decoder::LayoutId::Square), measured);
    EXPECT_EQ(renderer->Prepare({4, kRate, 4096}), decoder::PrepareResult::Ok);
    const size_t frames = samples.size() / 8, tail = renderer->LagFrames();
    std::vector<uint8_t> out((frames + tail) * 4);
    renderer->Render(decoder::SampleFormat::Pcm16, samples.data(), out.data(), frames);
    renderer->RenderTail(decoder::SampleFormat::Pcm16, out.data() + frames * 4, tail);
    return std::vector<uint8_t>(out.begin() + static_cast<long>(tail * 4), out.end());
}

std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, size_t n)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(std::min(n, bytes.size())));
}

TEST(WaveHeader, FindsFormatAndAudioInEveryContainerAndAsksForMoreOnAShortPrefix)
{
    const std::vector<uint8_t> samples = Samples(10, 4, 16);
    for (Container c : {Container::Riff, Container::Rf64, Container::Wave64}) {
        const std::vector<uint8_t> file = BFormatFile(c, 4, 16, samples);
        gstbformat::WaveHeader header;
        ASSERT_EQ(gstbformat::ScanWaveHeader(file.data(), file.size(), header).status, gstbformat::ScanStatus::Done);
        EXPECT_TRUE(gstbformat::IsBFormat(header.format));
        EXPECT_EQ(header.format.channels, 4);
        EXPECT_EQ(header.dataSize, samples.size());
        ASSERT_EQ(header.dataOffset + header.dataSize, file.size());
        EXPECT_EQ(Prefix(std::vector<uint8_t>(file.begin() + static_cast<long>(header.dataOffset), file.end()), 80), samples);
        EXPECT_EQ(header.declaredSize, file.size());
        // Every shorter prefix (copied, so a read past it is caught) asks for more than it has.
        for (size_t n = 0; n < header.dataOffset; ++n) {
            const std::vector<uint8_t> part = Prefix(file, n);
            const gstbformat::ScanResult r = gstbformat::ScanWaveHeader(part.data(), part.size(), header);
            ASSERT_EQ(r.status, gstbformat::ScanStatus::NeedMore) << n;
            ASSERT_GT(r.needed, n);
        }
    }
}

TEST(WaveHeader, RefusesHeadersThatCannotBeRead)
{
    auto scan = [](const std::vector<uint8_t>& file) {
        gstbformat::WaveHeader header;
        return gstbformat::ScanWaveHeader(file.data(), file.size(), header).status;
    };
    using gstbformat::ScanStatus;
    EXPECT_EQ(scan(wave_test::BuildWave(wave_test::ShapeWith([](wave_test::WaveShape& s) { s.fmtSize = 14; }))),
              ScanStatus::Broken);
    EXPECT_EQ(scan(wave_test::BuildWave(wave_test::ShapeWith([](wave_test::WaveShape& s) { s.dataBeforeFmt = true; }))),
              ScanStatus::Broken);
    std::vector<uint8_t> rf64 = BFormatFile(Container::Rf64, 4, 16, Samples(4, 4, 16));
    std::memcpy(&rf64[12], "JUNK", 4);  // the ds64 chunk becomes one to step over
    EXPECT_EQ(scan(rf64), ScanStatus::Broken);
    std::vector<uint8_t> w64 = BFormatFile(Container::Wave64, 4, 16, Samples(4, 4, 16));
    std::memset(&w64[56], 0, 8);  // the fmt chunk's size, smaller than its own header
    EXPECT_EQ(scan(w64), ScanStatus::Broken);
    std::vector<uint8_t> aiff = wave_test::BuildWave(wave_test::WaveShape{});
    std::memcpy(&aiff[8], "AIFF", 4);
    EXPECT_EQ(scan(aiff), ScanStatus::NotWave);
}

TEST_F(GStreamerTest, TypeFindingClaimsBFormatInEveryContainerAndLeavesPlainWave)
{
    const std::vector<uint8_t> samples = Samples(64, 4, 16);
    for (Container c : {Container::Riff, Container::Rf64, Container::Wave64}) {
        const std::vector<uint8_t> file = BFormatFile(c, 4, 16, samples);
        GstTypeFindProbability probability = GST_TYPE_FIND_NONE;
        GstCaps* caps = gst_type_find_helper_for_data(nullptr, file.data(), file.size(), &probability);
        ASSERT_NE(caps, nullptr);
        EXPECT_TRUE(gst_structure_has_name(gst_caps_get_structure(caps, 0), "audio/x-bformat-wav"));
        EXPECT_EQ(probability, GST_TYPE_FIND_MAXIMUM);
        gst_caps_unref(caps);
    }
    wave_test::WaveShape plain;
    plain.subFormat = bformat::kSubtypePcm;
    const std::vector<uint8_t> file = wave_test::BuildWave(plain);
    GstCaps* caps = gst_type_find_helper_for_data(nullptr, file.data(), file.size(), nullptr);
    ASSERT_NE(caps, nullptr);
    EXPECT_FALSE(gst_structure_has_name(gst_caps_get_structure(caps, 0), "audio/x-bformat-wav"));
    gst_caps_unref(caps);
}

// decodebin picks the parser and the decoder by itself, in pull and in push mode, for 16-bit
// and float files in each container; the speaker feeds are the engine's, timed from zero.
TEST_F(GStreamerTest, DecodebinDecodesEveryContainerAsTheEngineDoes)
{
    const uint32_t frames = 20000;
    for (uint16_t bits : {16, 32}) {
        const std::vector<uint8_t> samples = Samples(frames, 4, bits);
        const std::vector<uint8_t> expected = EngineSquare(samples, bits);
        for (Container c : {Container::Riff, Container::Rf64, Container::Wave64}) {
            const std::string path = Write("in.amb", BFormatFile(c, 4, bits, samples));
            for (const char* mode : {"", "queue ! "}) {
                RunResult r;
                gst_test::RunPipeline("filesrc location=" + path + " ! " + mode + "decodebin ! fakesink name=out", r);
                ASSERT_TRUE(r.eos) << r.message;
                EXPECT_TRUE(r.bytes == expected) << bits << "-bit, container " << int(c) << " " << mode;
                ASSERT_FALSE(r.pts.empty());
                EXPECT_EQ(r.pts.front(), 0u);
                const GstStructure* s = gst_caps_get_structure(r.caps, 0);
                guint64 mask = 0;
                gst_structure_get(s, "channel-mask", GST_TYPE_BITMASK, &mask, nullptr);
                EXPECT_EQ(mask, 0x33u);  // front left, front right, rear left, rear right
            }
        }
    }
}

// With only two channels downstream the decoder sends headphone signals (or UHJ as the
// property says), as long as the input and lined up with it.
TEST_F(GStreamerTest, TwoChannelsDownstreamGetHeadphonesOrUhj)
{
    const std::vector<uint8_t> samples = Samples(10000, 4, 16);
    const std::string path = Write("in.amb", BFormatFile(Container::Riff, 4, 16, samples));
    for (const char* kind : {"headphones", "uhj"}) {
        RunResult r;
        gst_test::RunPipeline("filesrc location=" + path + " ! bformatparse ! bformatdec two-channel=" + kind +
                                  " ! audio/x-raw,channels=2 ! fakesink name=out",
                              r);
        ASSERT_TRUE(r.eos) << r.message;
        const auto output = std::string(kind) == "uhj" ? decoder::OutputKind::Uhj : decoder::OutputKind::Headphones;
        EXPECT_TRUE(r.bytes == EngineStereo(samples, output)) << kind;
        EXPECT_EQ(r.pts.front(), 0u);
    }
}

// A rig whose order is not GStreamer's goes out in GStreamer's order, with its positions; the
// layout property takes names and numbers and keeps its value on an unknown one.
TEST_F(GStreamerTest, RigFeedsFollowGStreamerChannelOrder)
{
    GstElement* dec = gst_element_factory_make("bformatdec", nullptr);
    ASSERT_NE(dec, nullptr);
    gchar* layout = nullptr;
    g_object_set(dec, "layout", "4", nullptr);
    g_object_set(dec, "layout", "no-such-rig", nullptr);
    g_object_get(dec, "layout", &layout, nullptr);
    EXPECT_STREQ(layout, "octagon");
    g_free(layout);
    gst_object_unref(dec);

    const std::vector<uint8_t> samples = Samples(5000, 4, 16);
    const std::string path = Write("in.amb", BFormatFile(Container::Riff, 4, 16, samples));
    RunResult r;
    gst_test::RunPipeline("filesrc location=" + path + " ! bformatparse ! bformatdec layout=octagon ! fakesink name=out", r);
    ASSERT_TRUE(r.eos) << r.message;
    guint64 mask = 0;
    gst_structure_get(gst_caps_get_structure(r.caps, 0), "channel-mask", GST_TYPE_BITMASK, &mask, nullptr);
    // The octagon from straight ahead round to the left: centre, front left, side left, rear
    // left, rear centre, rear right, side right, front right. GStreamer's order sorts them by
    // position: FL, FR, FC, RL, RR, RC, SL, SR.
    const int rigToCaps[8] = {2, 0, 6, 3, 5, 4, 7, 1};
    const std::vector<uint8_t> rig = EngineSquare(samples, 16, 4);
    ASSERT_EQ(r.bytes.size(), rig.size());
    bool same = true;
    for (size_t f = 0; f < rig.size() / 16; ++f) {
        for (int s = 0; s < 8; ++s) {
            same = same && std::memcmp(&r.bytes[f * 16 + rigToCaps[s] * 2], &rig[f * 16 + s * 2], 2) == 0;
        }
    }
    EXPECT_TRUE(same);
    EXPECT_EQ(mask, (1u << 0) | (1u << 1) | (1u << 2) | (1u << 4) | (1u << 5) | (1u << 8) | (1u << 10) | (1u << 11));
}

// The preset rigs go out in the order of their WAVE channel mask, which is GStreamer's order of
// their positions: the LFE channel as LFE1, the upper layer of 7.1.4 at the top positions; the
// samples are the engine's decode of the preset.
TEST_F(GStreamerTest, PresetRigsGoOutWithTheirPositionsLfeAndTopLayer)
{
    const std::vector<uint8_t> samples = Samples(3000, 4, 16);
    const std::string path = Write("in.amb", BFormatFile(Container::Riff, 4, 16, samples));
    using P = GstAudioChannelPosition;
    const auto bits = [](std::initializer_list<P> positions) {
        guint64 mask = 0;
        for (P p : positions) mask |= G_GUINT64_CONSTANT(1) << p;
        return mask;
    };
    const guint64 fiveOne = bits({GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT,
                                  GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER, GST_AUDIO_CHANNEL_POSITION_LFE1,
                                  GST_AUDIO_CHANNEL_POSITION_REAR_LEFT, GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT});
    const guint64 sevenOneFour =
        fiveOne | bits({GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT, GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT,
                        GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_LEFT, GST_AUDIO_CHANNEL_POSITION_TOP_FRONT_RIGHT,
                        GST_AUDIO_CHANNEL_POSITION_TOP_REAR_LEFT, GST_AUDIO_CHANNEL_POSITION_TOP_REAR_RIGHT});
    for (const auto& [name, mask] : {std::make_pair("5.1", fiveOne), std::make_pair("7.1.4", sevenOneFour)}) {
        RunResult r;
        gst_test::RunPipeline("filesrc location=" + path + " ! bformatparse ! bformatdec layout=" + name +
                                  " ! fakesink name=out",
                              r);
        ASSERT_TRUE(r.eos) << name << ": " << r.message;
        guint64 got = 0;
        gst_structure_get(gst_caps_get_structure(r.caps, 0), "channel-mask", GST_TYPE_BITMASK, &got, nullptr);
        EXPECT_EQ(got, mask) << name;
        EXPECT_TRUE(r.bytes == EngineSpeakers(samples, 16, *decoder::RigNamed(name))) << name;
    }
}

// yaw, pitch and roll change while playing, set by hand between buffers or by a control source
// at the third buffer's time: the decode equals the engine's given the same change before the
// same buffer, which moves across the buffer's first frames; no output step is then larger than
// the largest of the tone's own steps before and after the change.
TEST_F(GStreamerTest, RotationChangedWhilePlayingMovesAsTheEngineDoesWithoutAClick)
{
    // A 500 Hz tone straight ahead, in buffers of 2048 frames; the scene turns by 90 degrees of
    // yaw and 30 of pitch before the third.
    const uint32_t block = 2048, blocks = 5;
    std::vector<float> in(size_t{block} * blocks * 4);
    for (size_t f = 0; f < in.size() / 4; ++f) {
        const double v = 0.5 * std::sin(2.0 * 3.14159265358979323846 * 500.0 * static_cast<double>(f) / kRate);
        in[f * 4] = static_cast<float>(v / std::sqrt(2.0));
        in[f * 4 + 1] = static_cast<float>(v);
    }
    const decoder::Rig& rig = *decoder::RigNamed("5.1");
    const auto engine = decoder::MakeRenderer(decoder::OutputKind::Speakers, rig, nullptr);
    ASSERT_EQ(engine->Prepare({4, kRate, 4096}), decoder::PrepareResult::Ok);
    const uint32_t outs = engine->OutputChannels();
    std::vector<float> expected(size_t{block} * blocks * outs);
    for (uint32_t b = 0; b < blocks; ++b) {
        if (b == 2) {
            ASSERT_TRUE(engine->SetRotation({90.0, 30.0, 0.0}));
        }
        engine->Render(decoder::SampleFormat::Float32, reinterpret_cast<const uint8_t*>(&in[size_t{b} * block * 4]),
                       reinterpret_cast<uint8_t*>(&expected[size_t{b} * block * outs]), block);
    }

    std::vector<float> got;
    for (const bool controlled : {false, true}) {
        got.clear();
        GstHarness* h = gst_harness_new("bformatdec");
        gst_util_set_object_arg(G_OBJECT(h->element), "output", "speakers");
        gst_util_set_object_arg(G_OBJECT(h->element), "layout", "5.1");
        const GstClockTime change = gst_util_uint64_scale(2 * block, GST_SECOND, 48000);
        if (controlled) {
            for (const auto& [name, degrees] : {std::make_pair("yaw", 90.0), std::make_pair("pitch", 30.0)}) {
                GstControlSource* source = gst_interpolation_control_source_new();
                g_object_set(source, "mode", GST_INTERPOLATION_MODE_NONE, nullptr);
                gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(source), 0, 0.0);
                gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(source), change, degrees);
                gst_object_add_control_binding(GST_OBJECT(h->element),
                                               gst_direct_control_binding_new_absolute(GST_OBJECT(h->element), name, source));
                gst_object_unref(source);
            }
        }
        gst_harness_set_src_caps_str(h, "audio/x-raw, format=F32LE, rate=48000, channels=4, layout=interleaved");
        for (uint32_t b = 0; b < blocks; ++b) {
            if (b == 2 && !controlled) g_object_set(h->element, "yaw", 90.0, "pitch", 30.0, nullptr);
            GstBuffer* buffer = gst_buffer_new_memdup(&in[size_t{b} * block * 4], size_t{block} * 16);
            GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(size_t{b} * block, GST_SECOND, 48000);
            GstBuffer* out = gst_harness_push_and_pull(h, buffer);
            ASSERT_NE(out, nullptr);
            GstMapInfo map;
            gst_buffer_map(out, &map, GST_MAP_READ);
            got.insert(got.end(), reinterpret_cast<const float*>(map.data),
                       reinterpret_cast<const float*>(map.data + map.size));
            gst_buffer_unmap(out, &map);
            gst_buffer_unref(out);
        }
        gst_harness_teardown(h);
        ASSERT_EQ(got.size(), expected.size());
        EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0)
            << (controlled ? "control source" : "set by hand");
    }

    // The largest step of each channel: in the settled stretches before and after, and across the
    // change (the third buffer). The LFE channel carries W only, which does not turn.
    for (uint32_t c = 0; c < outs; ++c) {
        const auto largestStep = [&](uint32_t from, uint32_t to) {
            double step = 0.0;
            for (uint32_t f = from + 1; f < to; ++f)
                step = std::max(step, std::fabs(double(got[size_t{f} * outs + c]) - got[size_t{f - 1} * outs + c]));
            return step;
        };
        const double own = std::max(largestStep(block, 2 * block), largestStep(3 * block, 5 * block));
        EXPECT_LE(largestStep(2 * block - 1, 3 * block), own * 1.05 + 1e-9) << "channel " << c;
    }
}

#ifdef DURAZODO_TEST_SOFA
// A SOFA file's whole set designs the headphone decode: the element's output is the engine's
// given every measurement of the file.
TEST_F(GStreamerTest, SofaFileDesignsTheHeadphonesFromTheWholeSet)
{
    const std::vector<uint8_t> samples = Samples(6000, 4, 16);
    const std::string path = Write("in.amb", BFormatFile(Container::Riff, 4, 16, samples));
    decoder::MeasuredResponses measured;
    std::string error;
    ASSERT_TRUE(bformat::LoadSofaSet(DURAZODO_TEST_SOFA, kRate, measured.responses, error)) << error;
    measured.sampleRate = kRate;
    RunResult r;
    gst_test::RunPipeline("filesrc location=" + path + " ! bformatparse ! bformatdec output=headphones sofa-file=" +
                              DURAZODO_TEST_SOFA + " ! fakesink name=out",
                          r);
    ASSERT_TRUE(r.eos) << r.message;
    EXPECT_TRUE(r.bytes == EngineStereo(samples, decoder::OutputKind::Headphones, &measured));
}
#endif

// Raw ambiX audio (no B-Format caps) decodes as the same sound field in FuMa.
TEST_F(GStreamerTest, RawAmbixInputDecodesAsFuma)
{
    const uint32_t frames = 4096;
    const std::vector<uint8_t> fuma = Samples(frames, 4, 32);
    std::vector<uint8_t> ambix(fuma.size());
    for (uint32_t f = 0; f < frames; ++f) {
        float v[4];
        std::memcpy(v, &fuma[f * 16], 16);
        const float acn[4] = {static_cast<float>(v[0] * std::sqrt(2.0)), v[2], v[3], v[1]};  // W, Y, Z, X
        std::memcpy(&ambix[f * 16], acn, 16);
    }
    auto decode = [&](const char* convention, const std::vector<uint8_t>& in) {
        GstHarness* h = gst_harness_new("bformatdec");
        gst_util_set_object_arg(G_OBJECT(h->element), "input-convention", convention);
        gst_util_set_object_arg(G_OBJECT(h->element), "output", "speakers");
        gst_harness_set_src_caps_str(h, "audio/x-raw, format=F32LE, rate=48000, channels=4, layout=interleaved");
        GstBuffer* out = gst_harness_push_and_pull(h, gst_buffer_new_memdup(in.data(), in.size()));
        std::vector<float> samples;
        if (out) {
            GstMapInfo map;
            gst_buffer_map(out, &map, GST_MAP_READ);
            samples.assign(reinterpret_cast<const float*>(map.data), reinterpret_cast<const float*>(map.data + map.size));
            gst_buffer_unmap(out, &map);
            gst_buffer_unref(out);
        }
        gst_harness_teardown(h);
        return samples;
    };
    const std::vector<float> a = decode("fuma", fuma), b = decode("ambix", ambix);
    ASSERT_EQ(a.size(), frames * 4u);
    ASSERT_EQ(b.size(), a.size());
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(double(a[i]) - b[i]));
    EXPECT_LT(worst, 1e-6);  // W passes through float twice, with a rounding each time
}

// A flushing seek to the middle starts at that frame; once the shelf filters have forgotten
// their start from silence the samples are the whole decode's.
TEST_F(GStreamerTest, SeekToTheMiddleGivesTheWholeDecodeOnceTheShelvesSettle)
{
    const uint32_t frames = 96000;
    const std::vector<uint8_t> samples = Samples(frames, 4, 16);
    const std::string path = Write("in.amb", BFormatFile(Container::Riff, 4, 16, samples));
    RunResult whole;
    gst_test::RunPipeline("filesrc location=" + path + " ! bformatparse ! bformatdec ! fakesink name=out", whole);
    ASSERT_EQ(whole.bytes.size(), frames * 8u);
    const gint64 middle = GST_SECOND;  // frame 48000
    for (const char* upstream : {"", " ! queue"}) {
        RunResult r;
        gst_test::RunPipeline("filesrc location=" + path + upstream + " ! bformatparse ! bformatdec ! fakesink name=out", r,
                              30, middle);
        ASSERT_TRUE(r.eos) << r.message;
        ASSERT_FALSE(r.pts.empty());
        EXPECT_EQ(r.pts.front(), static_cast<GstClockTime>(middle)) << upstream;
        ASSERT_EQ(r.bytes.size(), whole.bytes.size() / 2) << upstream;
        // One past the last frame that differs from the whole decode by more than one step.
        size_t settled = 0, identical = 0;
        const uint8_t* from = whole.bytes.data() + whole.bytes.size() / 2;
        for (size_t i = 0; i < r.bytes.size(); i += 2) {
            const int a = int16_t(r.bytes[i] | r.bytes[i + 1] << 8), b = int16_t(from[i] | from[i + 1] << 8);
            if (std::abs(a - b) > 1) settled = i / 8 + 1;
            if (a != b) identical = i / 8 + 1;
        }
        RecordProperty(std::string("settled_after_frames") + (*upstream ? "_push" : ""), static_cast<int>(settled));
        RecordProperty(std::string("identical_after_frames") + (*upstream ? "_push" : ""), static_cast<int>(identical));
        EXPECT_LT(settled, 2400u) << "frames until the decode equals the whole one";  // 50 ms
    }
}

// Damaged files end with an error on the bus naming the problem, read from a file (pull mode)
// and from a pipe that cannot tell the file's size (push mode).
TEST_F(GStreamerTest, DamagedFilesEndWithAnErrorOnTheBus)
{
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<uint8_t> good = BFormatFile(Container::Riff, 4, 16, Samples(2000, 4, 16));
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        const char* says;  // part of the message
    };
    auto shaped = [](void (*change)(wave_test::WaveShape&)) { return wave_test::BuildWave(wave_test::ShapeWith(change)); };
    std::vector<Case> cases = {
        {"truncated in the audio", Prefix(good, 6000), "truncated"},
        {"truncated inside a frame", Prefix(good, 6003), "truncated"},
        {"truncated in the header", Prefix(good, 50), ""},
        {"zero channels", shaped([](wave_test::WaveShape& s) { s.channels = 0; s.blockAlign = 2; }), "zero channels"},
        {"block alignment", shaped([](wave_test::WaveShape& s) { s.blockAlign = 6; }), "block alignment"},
        {"data size beyond the file", shaped([](wave_test::WaveShape& s) { s.dataSizeExtra = 4000; }), "truncated"},
        {"two channels", shaped([](wave_test::WaveShape& s) { s.channels = 2; }), "channel set"},
        {"8-bit samples", shaped([](wave_test::WaveShape& s) { s.bits = 8; }), "not supported"},
        {"audio before format", shaped([](wave_test::WaveShape& s) { s.dataBeforeFmt = true; }), ""},
    };
    for (const Case& c : cases) {
        const std::string path = Write("damaged.amb", c.file);
        RunResult pulled;
        gst_test::RunPipeline("filesrc location=" + path + " ! decodebin ! fakesink name=out", pulled, 20);
        EXPECT_TRUE(pulled.error) << c.name;
        EXPECT_NE(pulled.message.find(c.says), std::string::npos) << c.name << ": " << pulled.source << ": " << pulled.message;

        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ASSERT_LT(c.file.size(), 65536u);  // fits in the pipe: written whole before the pipeline starts
        ASSERT_EQ(::write(fds[1], c.file.data(), c.file.size()), static_cast<ssize_t>(c.file.size()));
        ::close(fds[1]);
        RunResult pushed;
        gst_test::RunPipeline("fdsrc fd=" + std::to_string(fds[0]) + " ! decodebin ! fakesink name=out", pushed, 20);
        ::close(fds[0]);
        EXPECT_TRUE(pushed.error) << c.name << " (pipe)";
        EXPECT_NE(pushed.message.find(c.says), std::string::npos) << c.name << " (pipe): " << pushed.source << ": " << pushed.message;
    }
}

}  // namespace
