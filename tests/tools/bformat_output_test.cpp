// bformat-decode's choice of output as a user makes it: every speaker layout, listed and
// decoded (by number or name) exactly as the decoder engine decodes it, with the speaker count
// and channel mask the filter proposes and a summary that names the layout and its speakers;
// UHJ stereo and headphones (the built-in head, a SOFA file at the stream's rate and at
// another) as the engine renders them, with the responses named in the summary; and the
// layouts, options and SOFA files that cannot be used refused with one line and nothing
// written.
// First: the C library's fcntl.h defines LOCK_WRITE, a name the platform's OLE declarations use.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "decoder/coefficients.h"
#include "decoder/decoder_testing.h"
#include "decoder/rig.h"
#include "tests/support/two_channel_reference.h"
#include "tests/tools/decode_tool.h"
#include "tools/bformat-decode/sofa_responses.h"
#include "tools/bformat-decode/wave_format.h"

using tools_test::ProcessResult;
using wave_test::WaveShape;

namespace {

class DecodeOutputChoice : public tools_test::DecodeToolTest {
protected:
    // The output's format block and samples; fails the test when it is not a WAVE file.
    void ReadOutput(const std::string& path, bformat::WaveFormat& format, std::vector<uint8_t>& data)
    {
        wave_test::WaveChunks chunks;
        ASSERT_TRUE(wave_test::SplitWave(wave_test::ReadFile(path), chunks)) << path;
        ASSERT_TRUE(bformat::ReadWaveFormat(chunks.format.data(), chunks.format.size(), format)) << path;
        data = chunks.data;
    }

};

// `frames` frames of pseudo-random B-Format in `channels` channels of 16-bit integers or
// 32-bit floats.
WaveShape RandomBFormat(uint32_t frames, uint16_t channels, bool floats, uint32_t rate = 48000)
{
    WaveShape shape;
    shape.rate = rate;
    shape.channels = channels;
    shape.frames = frames;
    if (floats) {
        shape.bits = 32;
        shape.subFormat = bformat::kBFormatFloat;
    }
    uint32_t seed = 2024;
    for (uint32_t i = 0; i < frames * channels; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const int v = int((seed >> 9) % 40001) - 20000;
        if (floats) wave_test::PutFloat(shape.samples, float(v) / 25000.0f);
        else wave_test::Put16(shape.samples, uint16_t(int16_t(v)));
    }
    return shape;
}

// The engine's decode of `shape` for `decodeType`, in the input's sample format.
std::vector<uint8_t> EngineDecode(const WaveShape& shape, int decodeType)
{
    decoder::DecoderState state = decoder::PreparedDecoder(decodeType, {shape.channels, double(shape.rate), 4096});
    EXPECT_TRUE(state.IsReady());
    const uint32_t speakers = state.m_nSpeakers;
    const auto format = shape.bits == 32 ? decoder::SampleFormat::Float32 : decoder::SampleFormat::Pcm16;
    std::vector<uint8_t> out(size_t(shape.frames) * speakers * (shape.bits / 8));
    state.DecodeFrames(format, shape.samples.data(), out.data(), shape.frames);
    return out;
}

TEST_F(DecodeOutputChoice, ListsEveryLayoutWithItsSpeakersInOutputChannelOrder)
{
    const ProcessResult r = Run({"--layout", "list"}, {{}, -1, m_dir.Path()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(m_dir.Entries().empty());  // no demonstration, no decode
    for (const char* line : {
             "\n0  square           4 speakers: 45, -45, 135, -135\n",
             "\n1  irregular-quad   4 speakers: 35.3, -35.3, 122.7, -122.7\n",
             "\n2  hexagon          6 speakers: 0, 60, 120, 180, -120, -60\n",
             "\n3  hexagon-rotated  6 speakers: 30, 90, 150, -150, -90, -30\n",
             "\n4  octagon          8 speakers: 0, 45, 90, 135, 180, -135, -90, -45\n",
             "\n5  octagon-rotated  8 speakers: 22.5, 67.5, 112.5, 157.5, -157.5, -112.5, -67.5, -22.5\n",
             "\n6  two-layer        8 speakers: 0 up 45, 90 up 45, 180 up 45, -90 up 45, 0 down 45, 90 down 45, "
             "180 down 45, -90 down 45\n",
         }) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "in\n" << r.out;
    }
    EXPECT_NE(r.out.find("(the default)"), std::string::npos) << r.out;
    EXPECT_EQ(Run({"-l", "list"}).out, r.out);
}

TEST_F(DecodeOutputChoice, DecodesEveryLayoutAsTheEngineDoesWithTheMaskTheFilterProposes)
{
    struct Input {
        const char* name;
        WaveShape shape;
    };
    const std::vector<Input> inputs = {{"pcm16.amb", RandomBFormat(9000, 4, false)},
                                       {"float3.amb", RandomBFormat(5000, 3, true)}};
    for (const Input& input : inputs) {
        const std::string in = Write(input.name, input.shape);
        for (int type = 0; type < decoder::kLayoutCount; ++type) {
            const decoder::Rig& layout = decoder::BuiltInRig(static_cast<decoder::LayoutId>(type));
            // By number and by name, in turn.
            const std::string asked = type % 2 ? layout.name : std::to_string(type);
            const std::string out = m_dir / ("out" + std::to_string(type) + ".wav");
            const ProcessResult r = Run({in, "-o", out, "--layout", asked});
            ASSERT_EQ(r.exitCode, 0) << input.name << " --layout " << asked << ": " << r.err;

            bformat::WaveFormat format;
            std::vector<uint8_t> data;
            ReadOutput(out, format, data);
            EXPECT_EQ(format.channels, layout.Channels()) << asked;
            EXPECT_EQ(format.channelMask, type < 2 ? 0x33u : 0u) << asked;
            EXPECT_TRUE(data == EngineDecode(input.shape, type)) << input.name << " --layout " << asked;

            EXPECT_NE(r.out.find("  output    " + std::to_string(layout.Channels()) + " speakers, "), std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("  layout    " + std::to_string(type) + " " + layout.name + ", " +
                                 std::to_string(layout.Channels()) + " speakers: "),
                      std::string::npos)
                << r.out;
        }
    }
    // Peak lines name the speakers: by the channel mask for the four-speaker layouts, by
    // direction for the others.
    const std::string in = m_dir / "pcm16.amb";
    ProcessResult r = Run({in, "-o", m_dir / "square.wav", "-l", "square"});
    for (const char* speaker : {"front left  ", "front right ", "back left   ", "back right  "})
        EXPECT_NE(r.out.find(std::string("  peak      ") + speaker), std::string::npos) << r.out;
    r = Run({in, "-o", m_dir / "hexagon.wav", "-l", "hexagon"});
    for (const char* speaker : {"az 0  ", "az 60 ", "az 180 ", "az -60 "})
        EXPECT_NE(r.out.find(std::string("  peak      ") + speaker), std::string::npos) << r.out;
    r = Run({in, "-o", m_dir / "two-layer.wav", "-l", "two-layer"});
    for (const char* speaker : {"az 0 up 45 ", "az -90 down 45 "})
        EXPECT_NE(r.out.find(std::string("  peak      ") + speaker), std::string::npos) << r.out;
}

TEST_F(DecodeOutputChoice, TheSquareAskedForIsTheDefaultAndTheDefaultNamesNoLayout)
{
    const std::string in = Write("in.amb", RandomBFormat(3000, 4, false));
    const ProcessResult plain = Run({in, "-o", m_dir / "plain.wav"});
    const ProcessResult square = Run({in, "-o", m_dir / "square.wav", "--layout=square"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    ASSERT_EQ(square.exitCode, 0) << square.err;
    EXPECT_EQ(wave_test::ReadFile(m_dir / "plain.wav"), wave_test::ReadFile(m_dir / "square.wav"));
    EXPECT_EQ(plain.out.find("  layout"), std::string::npos) << plain.out;
    EXPECT_NE(square.out.find("  layout    0 square, 4 speakers: 45, -45, 135, -135\n"), std::string::npos)
        << square.out;
}

// The SOFA file's measurements nearest the octagon's speakers, read at `rate`, as the tool
// hands them to the filter.
two_channel_test::HostResponses SofaResponses(const std::string& path, uint32_t rate)
{
    std::vector<decoder::DirectionalResponse> chosen;
    std::string error;
    EXPECT_TRUE(bformat::LoadSofaSet(path, rate, chosen, error)) << error;
    two_channel_test::HostResponses r;
    r.rate = rate;
    for (const auto& d : chosen) r.length = std::max<uint32_t>(r.length, uint32_t(d.left.size()));
    for (const auto& d : chosen) {
        r.azimuth.push_back(float(d.azimuthDeg));
        r.elevation.push_back(float(d.elevationDeg));
        for (auto [from, to] : {std::make_pair(&d.left, &r.left), std::make_pair(&d.right, &r.right)}) {
            for (double v : *from) to->push_back(float(v));
            to->resize(to->size() + r.length - from->size(), 0.0f);
        }
    }
    return r;
}

TEST_F(DecodeOutputChoice, RendersUhjAndHeadphonesAsTheEngineDoesInTwoChannels)
{
    const std::string grid = SOFA_TEST_DIR "/grid.sofa";  // 20 directions, 48 kHz
    const two_channel_test::HostResponses at48 = SofaResponses(grid, 48000), at44 = SofaResponses(grid, 44100);
    struct Case {
        std::vector<std::string> options;
        uint32_t rate;
        bool uhj;
        const two_channel_test::HostResponses* responses;
        std::string output, responsesLine;
    };
    const std::vector<Case> cases = {
        {{"--stereo", "uhj"}, 48000, true, nullptr, "UHJ stereo", ""},
        {{"--headphones"}, 48000, false, nullptr, "headphones", "built-in spherical head, decoded in three dimensions\n"},
        {{"--headphones", grid}, 48000, false, &at48, "headphones",
         "grid.sofa: 20 measurements at 48000 Hz; all of them, decoded in three dimensions\n"},
        // The file by --headphones=: the same.
        {{"--headphones=" + grid}, 48000, false, &at48, "headphones", "grid.sofa: 20 measurements"},
        {{"--headphones", grid}, 44100, false, &at44, "headphones",
         "grid.sofa: 20 measurements at 48000 Hz, resampled to 44100 Hz; all of them, decoded in three dimensions\n"},
    };
    for (const Case& c : cases) {
        const WaveShape shape = RandomBFormat(12000, 4, false, c.rate);
        const std::string in = Write("in" + std::to_string(c.rate) + ".amb", shape);
        std::vector<std::string> args = {in, "-o", m_dir / "out.wav"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const std::string what = c.options.back();
        const ProcessResult r = Run(args);
        ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;

        bformat::WaveFormat format;
        std::vector<uint8_t> data;
        ReadOutput(m_dir / "out.wav", format, data);
        EXPECT_EQ(format.channels, 2) << what;
        EXPECT_EQ(format.channelMask, 0x3u) << what;
        EXPECT_EQ(format.sampleRate, c.rate) << what;
        const LONG output = c.uhj ? AMBISONIC_OUTPUT_UHJ_STEREO
                                  : c.responses ? AMBISONIC_OUTPUT_HEADPHONES_RESPONSES
                                                : AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL;
        const auto blocks = two_channel_test::EngineDecode(output, c.responses ? *c.responses : two_channel_test::HostResponses{},
                                                           decoder::SampleFormat::Pcm16, 4, c.rate, {shape.samples});
        ASSERT_FALSE(blocks.empty()) << what;
        // Headphones: the decode's lag is dropped from the start, so the ears line up with the input.
        std::vector<uint8_t> expected;
        for (const auto& block : blocks) expected.insert(expected.end(), block.begin(), block.end());
        if (!c.uhj) expected.erase(expected.begin(), expected.begin() + AMBISONIC_HEADPHONE_LATENCY_FRAMES * 2 * 2);
        EXPECT_EQ(data.size(), shape.samples.size() / 2) << what;
        EXPECT_TRUE(data == expected) << what;

        EXPECT_NE(r.out.find("  output    " + c.output + ", 2 channels, 16-bit PCM, "), std::string::npos) << r.out;
        if (c.responsesLine.empty()) EXPECT_EQ(r.out.find("  responses"), std::string::npos) << r.out;
        else EXPECT_NE(r.out.find("  responses " + c.responsesLine), std::string::npos) << r.out;
        for (const char* channel : c.uhj ? std::vector<const char*>{"left  ", "right "}
                                         : std::vector<const char*>{"left ear ", "right ear "})
            EXPECT_NE(r.out.find(std::string("  peak      ") + channel), std::string::npos) << r.out;
    }
}

// --headphones without a file takes the default set when it can be read (named in the summary,
// and rendering as that file named on the command line does), else the built-in head.
TEST_F(DecodeOutputChoice, HeadphonesWithoutAFileTakeTheDefaultSetWhenThere)
{
    const std::string grid = SOFA_TEST_DIR "/grid.sofa";
    const std::string in = Write("in.amb", RandomBFormat(6000, 4, false));
    const ProcessResult named = Run({in, "-o", m_dir / "named.wav", "--headphones", grid});
    ASSERT_EQ(named.exitCode, 0) << named.err;
    const ProcessResult byDefault =
        Run({in, "-o", m_dir / "default.wav", "--headphones"}, {{{"DURAZODO_HEADPHONES_SOFA", grid}}});
    ASSERT_EQ(byDefault.exitCode, 0) << byDefault.err;
    EXPECT_NE(byDefault.out.find("  responses the default set " + grid + ": 20 measurements at 48000 Hz"),
              std::string::npos)
        << byDefault.out;
    bformat::WaveFormat format;
    std::vector<uint8_t> a, b;
    ReadOutput(m_dir / "named.wav", format, a);
    ReadOutput(m_dir / "default.wav", format, b);
    EXPECT_TRUE(a == b);

    const ProcessResult missing = Run({in, "-o", m_dir / "head.wav", "--headphones"},
                                      {{{"DURAZODO_HEADPHONES_SOFA", m_dir / "missing.sofa"}}});
    ASSERT_EQ(missing.exitCode, 0) << missing.err;
    EXPECT_NE(missing.out.find("  responses built-in spherical head"), std::string::npos) << missing.out;
}

// --rotate turns the scene before the decode: a source turned to a direction decodes as one
// recorded there (float output, to float's precision), integer input as well as float, the
// summary says the turn, and values that are not one to three finite angles are usage errors
// with nothing written.
TEST_F(DecodeOutputChoice, RotateTurnsTheSceneBeforeTheDecode)
{
    const WaveShape noise = RandomBFormat(3000, 1, true);
    auto encoded = [&](double azimuthDeg, double elevationDeg) {
        const double az = azimuthDeg * 3.141592653589793 / 180.0, el = elevationDeg * 3.141592653589793 / 180.0;
        const double gains[4] = {1.0 / std::sqrt(2.0), std::cos(el) * std::cos(az), std::cos(el) * std::sin(az),
                                 std::sin(el)};
        WaveShape shape = RandomBFormat(3000, 4, true);
        shape.samples.clear();
        for (uint32_t f = 0; f < 3000; ++f) {
            float s;
            std::memcpy(&s, &noise.samples[f * 4], 4);
            for (double g : gains) wave_test::PutFloat(shape.samples, static_cast<float>(s * g));
        }
        return shape;
    };
    auto floats = [&](const std::string& path) {
        bformat::WaveFormat format;
        std::vector<uint8_t> data;
        ReadOutput(path, format, data);
        std::vector<float> v(data.size() / 4);
        std::memcpy(v.data(), data.data(), data.size());
        return v;
    };
    struct Case {
        std::string turn, layout;
        double fromAz, fromEl, toAz, toEl;
    };
    const Case cases[] = {{"-30", "square", 30, 0, 0, 0},
                          {"0,30", "two-layer", 0, 0, 0, 30},
                          {"0,0,30", "two-layer", -90, 0, -90, -30}};
    for (const Case& c : cases) {
        const std::string from = Write("from.amb", encoded(c.fromAz, c.fromEl));
        const std::string to = Write("to.amb", encoded(c.toAz, c.toEl));
        const ProcessResult turned =
            Run({from, "-o", m_dir / "turned.wav", "-f", "float", "-l", c.layout, "--rotate", c.turn});
        ASSERT_EQ(turned.exitCode, 0) << turned.err;
        const ProcessResult plain = Run({to, "-o", m_dir / "plain.wav", "-f", "float", "-l", c.layout});
        ASSERT_EQ(plain.exitCode, 0) << plain.err;
        EXPECT_NE(turned.out.find("  rotate    yaw "), std::string::npos) << turned.out;
        EXPECT_EQ(plain.out.find("  rotate"), std::string::npos) << plain.out;
        const std::vector<float> got = floats(m_dir / "turned.wav"), want = floats(m_dir / "plain.wav");
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 1e-5) << c.turn << " sample " << i;
    }

    // 16-bit input turns as well as float: X and Y near full scale turned by 45 degrees carry
    // Y past it, which is not clipped before the decode (the same source as float input decodes
    // the same).
    WaveShape pcm = RandomBFormat(2000, 4, false), flt = RandomBFormat(2000, 4, true);
    pcm.samples.clear();
    flt.samples.clear();
    for (uint32_t f = 0; f < 2000; ++f) {
        const int v = (f % 2 ? 1 : -1) * (30000 - int(f));
        for (int gain : {0, 1, 1, 0}) {
            wave_test::Put16(pcm.samples, uint16_t(int16_t(v * gain)));
            wave_test::PutFloat(flt.samples, float(v * gain) / 32768.0f);
        }
    }
    const std::string pcmIn = Write("pcm.amb", pcm), floatIn = Write("float.amb", flt);
    ASSERT_EQ(Run({pcmIn, "-o", m_dir / "pcm.wav", "-f", "float", "--rotate", "45"}).exitCode, 0);
    ASSERT_EQ(Run({floatIn, "-o", m_dir / "float.wav", "-f", "float", "--rotate", "45"}).exitCode, 0);
    const std::vector<float> fromPcm = floats(m_dir / "pcm.wav"), fromFloat = floats(m_dir / "float.wav");
    ASSERT_EQ(fromPcm.size(), fromFloat.size());
    for (size_t i = 0; i < fromPcm.size(); ++i) ASSERT_NEAR(fromPcm[i], fromFloat[i], 1e-6) << "sample " << i;

    const std::string in = Write("in.amb", RandomBFormat(100, 4, false));
    for (const char* bad : {"", "x", "10,", "1,2,3,4", "nan", "0,inf", "5 deg"}) {
        const ProcessResult r = Run({in, "-o", m_dir / "bad.wav", "--rotate", bad});
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("--rotate "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("YAW[,PITCH[,ROLL]]"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(m_dir / "bad.wav")) << bad;
    }
}

TEST_F(DecodeOutputChoice, RefusesUnknownLayoutsAndOutputsThatDoNotGoTogether)
{
    const std::string in = Write("in.amb", RandomBFormat(100, 4, false));
    const std::string valid =
        "one of 0 square, 1 irregular-quad, 2 hexagon, 3 hexagon-rotated, 4 octagon, 5 octagon-rotated, 6 two-layer, "
        "stereo, 5.0, 5.1, 7.1, 5.1.4, 7.1.4";
    for (const char* bad : {"pentagon", "7", "-1", "Square", "04", "2.0"})
        ExpectRefused({in, "--layout", bad}, 2, "--layout takes list or " + valid + ", not " + bad);
    // Without an input nothing is written either: no demonstration.
    ExpectRefused({"-l", "9"}, 2, valid);
    ExpectRefused({in, "--layout="}, 2, "--layout= needs NAME|NUMBER");
    ExpectRefused({in, "--stereo", "ms"}, 2, "--stereo takes uhj, not ms");
    ExpectRefused({in, "--stereo", "uhj", "--headphones"}, 2, "--stereo and --headphones: choose one");
    ExpectRefused({in, "--headphones", "--stereo=uhj"}, 2, "--stereo and --headphones: choose one");
    ExpectRefused({in, "--stereo", "uhj", "-l", "hexagon"}, 2, "uses no speaker layout: drop --layout hexagon");
    for (const char* layout : {"square", "octagon"})
        ExpectRefused({"-l", layout, "--headphones"}, 2,
                      std::string("--headphones and --layout ") + layout + ": choose one output");
    ExpectRefused({in, "--headphones=", "-l", "octagon"}, 2, "--headphones= needs a value after =");
}

TEST_F(DecodeOutputChoice, RefusesASofaFileThatCannotBeUsedBeforeWritingAnything)
{
    const std::string in = Write("in.amb", RandomBFormat(100, 4, false));
    ASSERT_TRUE(wave_test::WriteFile(m_dir / "text.sofa", {'n', 'o', 't', '\n'}));
    ExpectRefused({in, "--headphones", m_dir / "missing.sofa"}, 1,
                  m_dir / "missing.sofa" + ": cannot be opened: No such file or directory");
    ExpectRefused({in, "--headphones", m_dir / "text.sofa"}, 1, m_dir / "text.sofa" + ": is not a SOFA");
    ExpectRefused({"--headphones=" + m_dir / "text.sofa"}, 1, "is not a SOFA");  // no demonstration
    ExpectRefused({in, "--headphones", SOFA_TEST_DIR "/one_ear.sofa"}, 1, "has 1 receivers; a head-related set needs 2");
}

}  // namespace
