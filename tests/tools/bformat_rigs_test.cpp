// bformat-decode for the listener's own speakers: the presets, --speakers and --rig decode
// through the filter as the engine's speaker renderer does, an AmbDec file's matrices are used
// exactly as written, a JSON layout is the same rig as its positions given with --speakers, and
// bad rigs are refused with one line.
// First: the C library's fcntl.h defines LOCK_WRITE, a name the platform's OLE declarations use.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/speaker_reference.h"
#include "tests/tools/decode_tool.h"
#include "tools/bformat-decode/wave_format.h"

using tools_test::ProcessResult;
using wave_test::WaveShape;

namespace {

// `frames` frames of pseudo-random 16-bit FuMa B-Format in `channels` channels.
WaveShape Random16(uint32_t frames, uint16_t channels)
{
    WaveShape shape;
    shape.rate = 48000;
    shape.channels = channels;
    shape.frames = frames;
    uint32_t seed = 77;
    for (uint32_t i = 0; i < frames * channels; ++i) {
        seed = seed * 1664525u + 1013904223u;
        wave_test::Put16(shape.samples, uint16_t(int16_t(int((seed >> 9) % 30001) - 15000)));
    }
    return shape;
}

class DecodeRigs : public tools_test::DecodeToolTest {
protected:
    // Decodes `in` with `options` into out.wav; its format block and samples.
    void Decode(const std::string& in, std::vector<std::string> options, bformat::WaveFormat& format,
                std::vector<uint8_t>& data, std::string* summary = nullptr)
    {
        const std::string out = m_dir / "out.wav";
        options.insert(options.begin(), {in, "-o", out});
        const ProcessResult r = Run(options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        if (summary) *summary = r.out;
        wave_test::WaveChunks chunks;
        ASSERT_TRUE(wave_test::SplitWave(wave_test::ReadFile(out), chunks));
        ASSERT_TRUE(bformat::ReadWaveFormat(chunks.format.data(), chunks.format.size(), format));
        data = chunks.data;
    }

    std::string WriteText(const std::string& name, const std::string& text)
    {
        const std::string path = m_dir / name;
        std::ofstream(path) << text;
        return path;
    }
};

// The engine's decode of 16-bit `shape` for `rig`, its tail included.
std::vector<uint8_t> EngineDecode(const WaveShape& shape, const decoder::Rig& rig)
{
    return speaker_test::EngineSpeakerDecode(rig, false, decoder::SampleFormat::Pcm16, shape.channels, shape.rate,
                                             {shape.samples});
}

int16_t Sample16(const std::vector<uint8_t>& data, size_t index)
{
    return int16_t(uint16_t(data[index * 2] | (data[index * 2 + 1] << 8)));
}

}  // namespace

TEST_F(DecodeRigs, PresetsAndSpeakersDecodeAsTheEngineWithTheirMasks)
{
    const WaveShape shape = Random16(6000, 4);
    const std::string in = Write("in.amb", shape);
    for (const decoder::Rig& rig : decoder::PresetRigs()) {
        SCOPED_TRACE(rig.name);
        bformat::WaveFormat format;
        std::vector<uint8_t> data;
        std::string summary;
        Decode(in, {"--layout", rig.name}, format, data, &summary);
        EXPECT_EQ(format.channels, rig.Channels());
        EXPECT_EQ(format.channelMask, rig.channelMask);
        EXPECT_TRUE(data == EngineDecode(shape, rig));
        EXPECT_NE(summary.find("  layout    " + rig.name + ", "), std::string::npos) << summary;
    }
    std::string summary;
    bformat::WaveFormat format;
    std::vector<uint8_t> data;
    Decode(in, {"--layout", "7.1"}, format, data, &summary);
    EXPECT_NE(summary.find("  design    all-round decoder designed for 7 speakers + LFE\n"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("  peak      low frequency"), std::string::npos) << summary;

    // Speakers at different distances: the nearer ones delayed and lowered, the output longer
    // by the largest delay (3.43 m - 1.715 m = 5 ms, 240 frames).
    decoder::Rig rig;
    ASSERT_EQ(decoder::MakeRig({{45, 0, 3.43}, {-45, 0, 3.43}, {135, 10, 1.715}, {-135, 0, 3.43}}, true, rig),
              decoder::DesignResult::Ok);
    Decode(in, {"--speakers", "45/0/3.43,-45/0/3.43,135/10/1.715,-135/0/3.43", "--lfe"}, format, data, &summary);
    EXPECT_EQ(format.channels, 5u);
    EXPECT_EQ(format.channelMask, 0u);
    EXPECT_EQ(data.size(), (6000u + 240u) * 5 * 2);
    EXPECT_TRUE(data == EngineDecode(shape, rig));
    EXPECT_NE(summary.find("135 up 10 at 1.7 m, -135 up 0 at 3.4 m, LFE"), std::string::npos) << summary;
    for (size_t f = 0; f < 240; ++f) ASSERT_EQ(Sample16(data, f * 5 + 2), 0) << f;

    // --no-lfe: the LFE channel silent, the others as before.
    std::vector<uint8_t> silent;
    Decode(in, {"--speakers", "45/0/3.43,-45/0/3.43,135/10/1.715,-135/0/3.43", "--lfe", "--no-lfe"}, format, silent);
    ASSERT_EQ(silent.size(), data.size());
    bool lfeHeard = false;
    for (size_t i = 0; i < data.size() / 2; ++i) {
        if (i % 5 == 4) {
            EXPECT_EQ(Sample16(silent, i), 0);
            lfeHeard = lfeHeard || Sample16(data, i) != 0;
        } else {
            ASSERT_EQ(Sample16(silent, i), Sample16(data, i)) << i;
        }
    }
    EXPECT_TRUE(lfeHeard);
}

// A single-band AmbDec decoder in SN3D: each speaker's output is its row applied by hand to the
// input as ambiX (W times sqrt 2; W Y Z X), rounded as the decoder rounds.
TEST_F(DecodeRigs, AnAmbDecFileDecodesWithExactlyItsMatrix)
{
    const std::string path = WriteText("triangle.ambdec", R"(/version 3
/dec/chan_mask    f
/dec/freq_bands   1
/dec/speakers     3
/dec/coeff_scale  sn3d
/opt/input_scale  sn3d
/opt/delay_comp   off
/speakers/{
add_spkr  A  2.0    0.0  0.0  out_1
add_spkr  B  2.0  120.0  0.0  out_2
add_spkr  C  1.0 -120.0  0.0  out_3
/}
/matrix/{
order_gain  1.0  1.0
add_row  0.5   0.25   0.125  0.75
add_row  0.25 -0.5    0.0   -0.25
add_row  0.125 0.0   -0.5    0.375
/}
/end
)");
    const WaveShape shape = Random16(2000, 4);
    const std::string in = Write("in.amb", shape);
    bformat::WaveFormat format;
    std::vector<uint8_t> data;
    std::string summary;
    Decode(in, {"--rig", path}, format, data, &summary);
    ASSERT_EQ(format.channels, 3u);
    ASSERT_EQ(data.size(), 2000u * 3 * 2);  // no distances used: delay compensation is off
    const double rows[3][4] = {{0.5, 0.25, 0.125, 0.75}, {0.25, -0.5, 0.0, -0.25}, {0.125, 0.0, -0.5, 0.375}};
    for (size_t f = 0; f < 2000; ++f) {
        const double w = Sample16(shape.samples, f * 4), x = Sample16(shape.samples, f * 4 + 1),
                     y = Sample16(shape.samples, f * 4 + 2), z = Sample16(shape.samples, f * 4 + 3);
        for (size_t s = 0; s < 3; ++s) {
            const double v = rows[s][0] * w * std::sqrt(2.0) + rows[s][1] * y + rows[s][2] * z + rows[s][3] * x;
            ASSERT_EQ(Sample16(data, f * 3 + s), decoder::RoundSaturate(v, -32768.0, 32767.0)) << f << " " << s;
        }
    }
    EXPECT_NE(summary.find("the decoder of " + path + " as given (order 1, one band) for 3 speakers"),
              std::string::npos)
        << summary;
}

// Third-order ambiX decodes at third order to a rig that carries it, as the engine's renderer
// decodes it, and the summary says the order and the rule; headphones take every order, the
// built-in layouts the first-order part.
TEST_F(DecodeRigs, HigherOrdersDecodeAtTheOrderTheOutputCarries)
{
    WaveShape shape;
    shape.channels = 16;
    shape.bits = 32;
    shape.subFormat = bformat::kSubtypeFloat;
    shape.frames = 3000;
    uint32_t seed = 5;
    for (uint32_t i = 0; i < shape.frames * shape.channels; ++i) {
        seed = seed * 1664525u + 1013904223u;
        wave_test::PutFloat(shape.samples, static_cast<float>(int((seed >> 9) % 20001) - 10000) / 40000.0f);
    }
    const std::string in = Write("third.wav", shape);
    bformat::WaveFormat format;
    std::vector<uint8_t> data;
    std::string summary;
    Decode(in, {"-i", "ambix", "--layout", "7.1"}, format, data, &summary);
    EXPECT_NE(summary.find("third-order input decoded at third order: a horizontal rig of 7 speakers carries the "
                           "orders N with 2N+1 <= 7"),
              std::string::npos)
        << summary;
    const decoder::Rig& rig = *decoder::RigNamed("7.1");
    std::unique_ptr<decoder::Renderer> engine = decoder::MakeSpeakerRenderer(rig, {});
    ASSERT_EQ(engine->Prepare({16, 48000.0, 3000, decoder::InputConvention::Ambix}), decoder::PrepareResult::Ok);
    std::vector<uint8_t> expected(3000 * rig.Channels() * 4);
    engine->Render(decoder::SampleFormat::Float32, shape.samples.data(), expected.data(), 3000);
    EXPECT_TRUE(data == expected) << "the decode differs from the engine's";

    Decode(in, {"-i", "ambix", "--headphones"}, format, data, &summary);
    EXPECT_NE(summary.find("decoded at third order: headphones decode every order"), std::string::npos) << summary;
    Decode(in, {"-i", "n3d"}, format, data, &summary);
    EXPECT_NE(summary.find("16-channel N3D"), std::string::npos) << summary;
    EXPECT_NE(summary.find("decoded at first order: the built-in layouts"), std::string::npos) << summary;
}

TEST_F(DecodeRigs, AJsonLayoutIsTheRigOfItsPositions)
{
    // Channels out of file order, an imaginary speaker that has no output.
    const std::string path = WriteText("rig.json", R"({"Name": "ring", "LoudspeakerLayout": {"Loudspeakers": [
        {"Azimuth": 0, "Elevation": 0, "Radius": 2, "Channel": 1},
        {"Azimuth": -100, "Elevation": 0, "Radius": 2, "Channel": 3},
        {"Azimuth": 100, "Elevation": 0, "Radius": 1.5, "Channel": 2},
        {"Azimuth": 0, "Elevation": -90, "IsImaginary": true, "Channel": 4},
        {"Azimuth": 180, "Elevation": 0, "Radius": 2, "Channel": 5}]}})");
    const std::string in = Write("in.amb", Random16(3000, 4));
    bformat::WaveFormat format;
    std::vector<uint8_t> fromFile, fromSpeakers;
    Decode(in, {"--rig", path, "--lfe"}, format, fromFile);
    EXPECT_EQ(format.channels, 5u);
    Decode(in, {"--speakers", "0/0/2,100/0/1.5,-100/0/2,180/0/2", "--lfe"}, format, fromSpeakers);
    EXPECT_TRUE(fromFile == fromSpeakers);
}

TEST_F(DecodeRigs, AJsonLayoutsGainsAndImaginarySpeakersReachTheDecode)
{
    // A ring the designer would not close, closed behind by the file, its left speaker trimmed.
    const std::string path = WriteText("trimmed.json", R"({"Loudspeakers": [
        {"Azimuth": 0, "Elevation": 0, "Channel": 1},
        {"Azimuth": 70, "Elevation": 0, "Channel": 2, "Gain": 0.5},
        {"Azimuth": -70, "Elevation": 0, "Channel": 3},
        {"Azimuth": 140, "Elevation": 0, "Channel": 4},
        {"Azimuth": -140, "Elevation": 0, "Channel": 5},
        {"Azimuth": 180, "Elevation": 0, "IsImaginary": true, "Gain": 0}]})");
    const WaveShape shape = Random16(3000, 4);
    const std::string in = Write("in.amb", shape);
    bformat::WaveFormat format;
    std::vector<uint8_t> fromFile, plain;
    Decode(in, {"--rig", path}, format, fromFile);
    decoder::Rig rig;
    ASSERT_EQ(decoder::MakeRig({{0, 0}, {70, 0, 0, 0.5}, {-70, 0}, {140, 0}, {-140, 0}}, false, rig, nullptr, {{180, 0}}),
              decoder::DesignResult::Ok);
    EXPECT_TRUE(fromFile == EngineDecode(shape, rig));
    Decode(in, {"--speakers", "0,70,-70,140,-140"}, format, plain);
    EXPECT_FALSE(fromFile == plain);
}

TEST_F(DecodeRigs, RefusesBadRigsWithOneLine)
{
    const std::string in = Write("in.amb", Random16(100, 4));
    std::string many;
    for (int i = 0; i < 65; ++i) many += (i ? "," : "") + std::to_string(i * 5);
    const std::string bad = WriteText("bad.ambdec", "/version 2\n");
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--speakers", "30"}, "at least two speakers"},
        {{"--speakers", "30,-30,30.2"}, "same place (speakers 1 and 3)"},
        {{"--speakers", "30,-30/95"}, "speaker 2: an azimuth, elevation"},
        {{"--speakers", "30,-30/0/-1"}, "speaker 2:"},
        {{"--speakers", "30,-30/0/nan"}, "speaker 2 is \"-30/0/nan\""},
        {{"--speakers", "30,,-30"}, "speaker 2 is \"\""},
        {{"--speakers", "30/0/1/2,-30"}, "speaker 1 is"},
        {{"--speakers", many}, "at most 64"},
        {{"--speakers", "30,-30,30/40,-30/40"}, "do not surround"},
        {{"--rig", bad}, bad + ": "},
        {{"--rig", m_dir / "missing.json"}, "missing.json"},
        {{"--layout", "5.1", "--speakers", "0,180"}, "give one"},
        {{"--layout", "5.1", "--lfe"}, "--lfe adds"},
        {{"--speakers", "0,180", "--no-lfe"}, "no LFE channel"},
        {{"--layout", "5.1", "--stereo", "uhj"}, "drop --layout 5.1"},
        {{"--layout", "7.2"}, "not 7.2"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {in, "-o", m_dir / "out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args[1]);
        ExpectRefused(args, 2, c.reason);
    }
}
