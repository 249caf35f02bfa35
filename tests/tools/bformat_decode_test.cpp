// bformat-decode as a user runs it: known signals decoded through the module's filter to the
// expected speaker feeds, the output format as the filter proposes it, ambiX and higher
// orders against the same audio as first-order FuMa, every output container, several files
// at once, clip counts, the demo without an input file, one clear line and a non-zero exit
// for every bad input, and no output file left behind by any failed run, including one that
// fails halfway through writing.
// First: the C library's fcntl.h defines LOCK_WRITE, a name the platform's OLE declarations use.
#include "platform/platform.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/tools/decode_tool.h"
#include "tests/tools/process.h"
#include "tests/tools/sound_files.h"
#include "tests/tools/temp_dir.h"
#include "tests/tools/wave_builder.h"

using tools_test::ProcessOptions;
using tools_test::ProcessResult;
using tools_test::TempDir;
using wave_test::ShapeWith;
using wave_test::WaveShape;

namespace {

const std::string kData = TEST_DATA_DIR;

class BFormatDecode : public tools_test::DecodeToolTest {};

// `frames` frames of 16-bit 4-channel B-Format with each channel held at a constant value.
WaveShape Constant16(int16_t w, int16_t x, int16_t y, int16_t z, uint32_t frames)
{
    WaveShape shape;
    shape.frames = frames;
    for (uint32_t f = 0; f < frames; ++f) {
        for (int16_t v : {w, x, y, z}) wave_test::Put16(shape.samples, uint16_t(v));
    }
    return shape;
}

// A 16-bit file's samples, through libsndfile; empty when it cannot be read.
std::vector<int16_t> Samples16(const std::string& path)
{
    sound_test::Sound sound;
    if (!sound_test::ReadSound(path, sound)) return {};
    std::vector<int16_t> samples;
    for (int32_t v : sound.ints) samples.push_back(int16_t(v >> 16));
    return samples;
}

// The decoder's value for a settled constant: the gain times the shelved input, rounded by
// adding one half and truncating toward zero.
int16_t Settled(double shelfGain, double matrixGain, double input)
{
    return int16_t(std::trunc(matrixGain * (shelfGain * input) + 0.5));
}

TEST_F(BFormatDecode, DecodesConstantWXAndYToTheSettledSpeakerFeeds)
{
    const double w = 0.7071067811865476, xy = 0.3535533905932738;
    const double lowW = 2.0 - 1.33, lowXY = 1.33;
    struct Case {
        int16_t w, x, y;
        std::vector<int16_t> expected;  // front left, front right, back left, back right
    };
    const int16_t wOut = Settled(lowW, w, 10000), xOut = Settled(lowXY, xy, 10000), xNeg = Settled(lowXY, -xy, 10000);
    const std::vector<Case> cases = {
        {10000, 0, 0, {wOut, wOut, wOut, wOut}},
        {0, 10000, 0, {xOut, xOut, xNeg, xNeg}},  // X points to the front
        {0, 0, 10000, {xOut, xNeg, xOut, xNeg}},  // Y points to the left
    };
    EXPECT_EQ(wOut, 4738);  // 0.67 × 0.7071… × 10000 = 4737.6
    EXPECT_EQ(xOut, 4702);
    EXPECT_EQ(xNeg, -4701);
    for (const Case& c : cases) {
        const std::string in = Write("constant.amb", Constant16(c.w, c.x, c.y, 1234, 48000));
        const std::string out = m_dir / "constant-speakers.wav";
        const ProcessResult r = Run({in, "--quiet"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        const std::vector<int16_t> s = Samples16(out);
        ASSERT_EQ(s.size(), 48000u * 4);
        // After half a second the shelves have settled to their low-frequency gains.
        for (size_t f = 24000; f < 48000; ++f) {
            for (size_t k = 0; k < 4; ++k) ASSERT_EQ(s[f * 4 + k], c.expected[k]) << "frame " << f << " speaker " << k;
        }
    }
}

TEST_F(BFormatDecode, DecodesFloatAndThreeChannelInputInTheirOwnSampleFormat)
{
    // 32-bit float, W = 0.5 held: 0.67 × 0.7071… × 0.5 on every speaker, as float.
    WaveShape shape;
    shape.bits = 32;
    shape.subFormat = bformat::kBFormatFloat;
    shape.channels = 3;
    shape.frames = 48000;
    for (uint32_t f = 0; f < shape.frames; ++f) {
        for (float v : {0.5f, 0.0f, 0.0f}) wave_test::PutFloat(shape.samples, v);
    }
    const std::string in = Write("float.amb", shape);
    const ProcessResult r = Run({in, "-o", m_dir / "float.wav", "--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    SF_INFO info{};
    SNDFILE* sf = sf_open((m_dir / "float.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.channels, 4);
    EXPECT_EQ(info.samplerate, 48000);
    ASSERT_EQ(info.frames, 48000);
    std::vector<float> s(48000 * 4);
    ASSERT_EQ(sf_readf_float(sf, s.data(), 48000), 48000);
    sf_close(sf);
    for (size_t i = 24000 * 4; i < s.size(); ++i) ASSERT_NEAR(s[i], 0.67 * 0.7071067811865476 * 0.5, 1e-6) << i;
}

TEST_F(BFormatDecode, WritesTheFormatTheFilterProposes)
{
    // 24-bit input at 44.1 kHz: PCM out, four speakers with the square's channel mask, the
    // input's sample size and rate.
    WaveShape shape;
    shape.bits = 24;
    shape.validBits = 20;
    shape.rate = 44100;
    shape.frames = 1000;
    const std::string in = Write("in24.amb", shape);
    const ProcessResult r = Run({in, "-o", m_dir / "out24.wav", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    wave_test::WaveChunks chunks;
    ASSERT_TRUE(wave_test::SplitWave(wave_test::ReadFile(m_dir / "out24.wav"), chunks));
    ASSERT_EQ(chunks.data.size(), 1000u * 12);
    bformat::WaveFormat f;
    ASSERT_TRUE(bformat::ReadWaveFormat(chunks.format.data(), chunks.format.size(), f));
    EXPECT_EQ(f.formatTag, 0xFFFE);
    EXPECT_EQ(f.channels, 4);
    EXPECT_EQ(f.sampleRate, 44100u);
    EXPECT_EQ(f.blockAlign, 12);
    EXPECT_EQ(f.avgBytesPerSec, 44100u * 12);
    EXPECT_EQ(f.bitsPerSample, 24);
    EXPECT_EQ(f.cbSize, 22);
    EXPECT_EQ(f.channelMask, 0x33u);
    EXPECT_EQ(f.subFormat, bformat::kSubtypePcm);
}

TEST_F(BFormatDecode, ReproducesTheCommittedReferenceDecodesExactly)
{
    // The Windows graph tests compare the platform's run of the filter with these files.
    for (const char* name : {"reference-pcm16", "reference-float3"}) {
        const ProcessResult r = Run({kData + "/" + name + ".amb", "-o", m_dir / "out.wav", "-q"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        wave_test::WaveChunks written, reference;
        ASSERT_TRUE(wave_test::SplitWave(wave_test::ReadFile(m_dir / "out.wav"), written));
        ASSERT_TRUE(wave_test::SplitWave(wave_test::ReadFile(kData + "/" + name + "-speakers.wav"), reference));
        EXPECT_EQ(written.format, reference.format) << name;
        EXPECT_EQ(written.data, reference.data) << name;
    }
}

TEST_F(BFormatDecode, DemoNeedsNoInputAndKeepsItsBFormatFileBesideTheOutput)
{
    const ProcessResult r = Run({"-o", m_dir / "demo.wav"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(m_dir.Entries(), (std::vector<std::string>{"demo-bformat.amb", "demo.wav"}));
    // Not a terminal: no progress on standard error, the summary on standard output.
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(m_dir / "demo-bformat.amb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(m_dir / "demo.wav"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("384000 (0:08.000)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("real time"), std::string::npos) << r.out;
    for (const char* speaker : {"front left", "front right", "back left", "back right"}) {
        EXPECT_NE(r.out.find(std::string("peak      ") + speaker), std::string::npos) << r.out;
    }

    SF_INFO info{};
    SNDFILE* sf = sf_open((m_dir / "demo.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.channels, 4);
    EXPECT_EQ(info.frames, 384000);
    // The sound circles: at the start (front) the front speakers are louder than the back
    // ones, half way round (back) the other way about.
    std::vector<short> s(384000 * 4);
    ASSERT_EQ(sf_readf_short(sf, s.data(), 384000), 384000);
    sf_close(sf);
    auto energy = [&](size_t from, size_t to, size_t speaker) {
        double e = 0;
        for (size_t f = from; f < to; ++f) e += double(s[f * 4 + speaker]) * s[f * 4 + speaker];
        return e;
    };
    EXPECT_GT(energy(0, 12000, 0) + energy(0, 12000, 1), 4 * (energy(0, 12000, 2) + energy(0, 12000, 3)));
    EXPECT_GT(energy(192000, 204000, 2) + energy(192000, 204000, 3),
              4 * (energy(192000, 204000, 0) + energy(192000, 204000, 1)));

    const ProcessResult quiet = Run({"-o", m_dir / "demo.wav", "--quiet"});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
}

// Pseudo-random first-order audio, 16-bit FuMa W, X, Y, Z: W a multiple of 985, whose
// ambiX value 985 × sqrt(2) = 1393.0003 is within a thousandth of a step of an integer, so
// the same audio exists in both conventions as 16-bit files.
std::vector<int16_t> FirstOrderAudio(size_t frames)
{
    std::vector<int16_t> s;
    uint32_t seed = 12345;
    auto next = [&seed](int range) {
        seed = seed * 1664525u + 1013904223u;
        return int((seed >> 8) % uint32_t(2 * range + 1)) - range;
    };
    for (size_t f = 0; f < frames; ++f) {
        s.push_back(int16_t(985 * next(10)));
        for (int c = 0; c < 3; ++c) s.push_back(int16_t(next(10000)));
    }
    return s;
}

// FuMa W, X, Y, Z as ambiX W, Y, Z, X (W times sqrt(2)), followed by `extra` channels of
// noise standing for the higher orders.
std::vector<int32_t> AsAmbiX(const std::vector<int16_t>& fuma, int extra)
{
    std::vector<int32_t> s;
    for (size_t f = 0; f < fuma.size() / 4; ++f) {
        const int16_t* in = &fuma[f * 4];
        const int32_t w = int32_t(std::lrint(in[0] * std::sqrt(2.0)));
        for (int32_t v : {w, int32_t(in[2]), int32_t(in[3]), int32_t(in[1])}) s.push_back(v * 65536);
        for (int k = 0; k < extra; ++k) s.push_back(int32_t((f * 7919 + k * 104729) % 60000 - 30000) * 65536);
    }
    return s;
}

// FuMa W, X, Y, Z with `extra` channels after them; three channels (no Z) when `height` is off.
std::vector<int32_t> AsFuma(const std::vector<int16_t>& fuma, bool height, int extra)
{
    std::vector<int32_t> s;
    for (size_t f = 0; f < fuma.size() / 4; ++f) {
        for (int c = 0; c < (height ? 4 : 3); ++c) s.push_back(fuma[f * 4 + c] * 65536);
        for (int k = 0; k < extra; ++k) s.push_back(int32_t((f * 6151 + k * 3079) % 50000 - 25000) * 65536);
    }
    return s;
}

TEST_F(BFormatDecode, DecodesAmbiXToWithinOneStepOfTheSameAudioAsFuMa)
{
    const size_t frames = 24000;
    const std::vector<int16_t> audio = FirstOrderAudio(frames);
    const int fumaFormat = SF_FORMAT_WAVEX | SF_FORMAT_PCM_16;
    std::vector<int32_t> fuma = AsFuma(audio, true, 0);
    ASSERT_TRUE(sound_test::WriteSound(m_dir / "fuma.wav", fumaFormat, 4, fuma));
    ASSERT_EQ(Run({m_dir / "fuma.wav", "-i", "fuma", "-q"}).exitCode, 0);
    const std::vector<int16_t> expected = Samples16(m_dir / "fuma-speakers.wav");
    ASSERT_EQ(expected.size(), frames * 4);

    for (const char* name : {"ambix.wav", "ambix.flac"}) {
        const int format = std::string(name).find(".flac") != std::string::npos ? SF_FORMAT_FLAC | SF_FORMAT_PCM_16
                                                                                 : SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        ASSERT_TRUE(sound_test::WriteSound(m_dir / name, format, 4, AsAmbiX(audio, 0)));
        const std::string out = m_dir / (std::string(name) + "-out.wav");
        const ProcessResult r = Run({m_dir / name, "--input", "ambix", "-o", out});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("4-channel ambiX"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("16-bit PCM"), std::string::npos) << r.out;
        const std::vector<int16_t> got = Samples16(out);
        ASSERT_EQ(got.size(), expected.size()) << name;
        size_t differing = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_LE(std::abs(got[i] - expected[i]), 1) << name << " sample " << i;
            differing += got[i] != expected[i];
        }
        // Only values next to a rounding boundary may round the other way.
        EXPECT_LT(differing, got.size() / 100) << name;
    }
}

TEST_F(BFormatDecode, DecodesTheFirstOrderPartOfHigherOrdersBitForBit)
{
    const std::vector<int16_t> audio = FirstOrderAudio(6000);
    auto decode = [&](const std::string& name, const std::vector<int32_t>& samples, int channels, int format,
                      std::vector<std::string> options) {
        EXPECT_TRUE(sound_test::WriteSound(m_dir / name, format, channels, samples)) << name;
        std::vector<std::string> args = {m_dir / name, "-o", m_dir / (name + ".wav")};
        args.insert(args.end(), options.begin(), options.end());
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err;
        return std::make_pair(Samples16(m_dir / (name + ".wav")), r.out);
    };
    const int amb = SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, plain = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    // FuMa: the sets with height against W, X, Y, Z alone, those without against W, X, Y.
    const auto full = decode("first.wav", AsFuma(audio, true, 0), 4, amb, {"-i", "fuma"}).first;
    const auto horizontal = decode("first-h.wav", AsFuma(audio, false, 0), 3, amb, {"-i", "fuma"}).first;
    ASSERT_EQ(full.size(), 6000u * 4);
    struct Set {
        int channels;
        bool height;
        const char* order;
    };
    for (const Set& set : {Set{5, false, "second"}, Set{6, true, "second"}, Set{9, true, "second"},
                           Set{7, false, "third"}, Set{8, true, "third"}, Set{11, true, "third"},
                           Set{16, true, "third"}}) {
        const std::string name = "fuma" + std::to_string(set.channels) + ".wav";
        const auto [got, out] = decode(name, AsFuma(audio, set.height, set.channels - (set.height ? 4 : 3)),
                                       set.channels, plain, {"--input", "fuma"});
        EXPECT_EQ(got, set.height ? full : horizontal) << name;
        EXPECT_NE(out.find(std::string(set.order) +
                           "-order input decoded at first order: the built-in layouts and UHJ decode the first-order part"),
                  std::string::npos)
            << out;
    }
    // ambiX: third and seventh order against first.
    const auto first = decode("ambix4.wav", AsAmbiX(audio, 0), 4, plain, {"-i", "ambix"}).first;
    for (int order : {3, 7}) {
        const int channels = (order + 1) * (order + 1);
        const std::string name = "ambix" + std::to_string(channels) + ".wav";
        const auto [got, out] = decode(name, AsAmbiX(audio, channels - 4), channels, plain, {"-i", "ambix"});
        EXPECT_EQ(got, first) << name;
        EXPECT_NE(out.find("-order input decoded at first order"), std::string::npos) << out;
    }
}

TEST_F(BFormatDecode, WritesEveryContainerAndSampleFormatTheOutputNameAndOptionAskFor)
{
    const std::string in = Write("in.amb", Constant16(3000, 1000, -2000, 0, 4800));
    ASSERT_EQ(Run({in, "-o", m_dir / "ref.wav", "-q"}).exitCode, 0);
    sound_test::Sound reference;
    ASSERT_TRUE(sound_test::ReadSound(m_dir / "ref.wav", reference));
    struct Case {
        const char* name;
        std::vector<std::string> options;
        int format;
    };
    const std::vector<Case> cases = {
        {"a.w64", {}, SF_FORMAT_W64 | SF_FORMAT_PCM_16},
        {"b.caf", {}, SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"c.flac", {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"d.rf64", {}, SF_FORMAT_RF64 | SF_FORMAT_PCM_16},
        {"e.WAV", {"--format", "pcm24"}, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24},
        {"f.flac", {"-f", "pcm24"}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"g.wav", {"--format=pcm32"}, SF_FORMAT_WAVEX | SF_FORMAT_PCM_32},
        {"h.caf", {"-f", "float"}, SF_FORMAT_CAF | SF_FORMAT_FLOAT},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {in, "-o", m_dir / c.name, "-q"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ProcessResult r = Run(args);
        ASSERT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
        sound_test::Sound sound;
        ASSERT_TRUE(sound_test::ReadSound(m_dir / c.name, sound)) << c.name;
        EXPECT_EQ(sound.info.format & ~SF_FORMAT_ENDMASK, c.format) << c.name;
        EXPECT_EQ(sound.info.channels, 4);
        ASSERT_EQ(sound.info.frames, 4800) << c.name;
        // A wider output carries the decode at 32-bit precision: within half a 16-bit step of
        // the 16-bit decode (and a step where that one rounded a negative value up).
        for (size_t i = 0; i < sound.ints.size(); ++i) {
            const double a = sound.floats[i] * 32768.0, b = reference.ints[i] / 65536.0;
            ASSERT_LE(std::fabs(a - b), 1.0) << c.name << " sample " << i;
            if ((c.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16) {
                ASSERT_EQ(sound.ints[i], reference.ints[i]) << c.name << " sample " << i;
            }
        }
    }
}

TEST_F(BFormatDecode, DecodesManyFilesReportingEachOutcome)
{
    Write("a.amb", WaveShape{});
    Write("b.amb", ShapeWith([](WaveShape& s) { s.channels = 2; }));
    ASSERT_TRUE(sound_test::WriteSound(m_dir / "c.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 4,
                                       AsAmbiX(FirstOrderAudio(100), 0)));
    ASSERT_EQ(::mkdir((m_dir / "out").c_str(), 0700), 0);
    const ProcessResult r = Run({m_dir / "a.amb", m_dir / "b.amb", m_dir / "c.flac", "--input", "ambix", "-o",
                                 m_dir / "out/"});
    EXPECT_EQ(r.exitCode, 1);
    const std::vector<std::string> lines = r.ErrLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0], "bformat-decode: " + m_dir / "b.amb" + ": 2 channels: FuMa B-Format has 3 or 4 channels "
                                                               "(first order), 5, 6 or 9 (second) or 7, 8, 11 or 16 (third)");
    EXPECT_NE(r.out.find("Decoded " + m_dir / "a.amb"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Decoded " + m_dir / "c.flac"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 3 files decoded, 1 failed"), std::string::npos) << r.out;
    EXPECT_EQ(TempDir::List(m_dir / "out"), (std::vector<std::string>{"a-speakers.wav", "c-speakers.wav"}));

    // All good: exit 0.
    EXPECT_EQ(Run({m_dir / "a.amb", m_dir / "c.flac", "-i", "ambix", "-o", m_dir / "out/", "-q"}).exitCode, 0);
}

TEST_F(BFormatDecode, CountsClippedSamplesPerSpeakerInTheSummary)
{
    // Float input near full scale in W, X and Y: the front left speaker sums past full scale,
    // the others stay inside; written as 16-bit, its samples saturate and are counted.
    WaveShape shape;
    shape.bits = 32;
    shape.subFormat = bformat::kBFormatFloat;
    shape.frames = 4800;
    for (uint32_t f = 0; f < shape.frames; ++f) {
        for (float v : {0.95f, 0.95f, 0.95f, 0.0f}) wave_test::PutFloat(shape.samples, v);
    }
    const std::string in = Write("hot.amb", shape);
    ProcessResult r = Run({in, "-o", m_dir / "hot.wav", "--format", "pcm16"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("clipped   front left"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("clipped   back right"), std::string::npos) << r.out;
    const std::vector<int16_t> s = Samples16(m_dir / "hot.wav");
    ASSERT_EQ(s.size(), 4800u * 4);
    size_t atFullScale = 0;
    for (size_t f = 0; f < 4800; ++f) atFullScale += s[f * 4] == 32767;
    EXPECT_GT(atFullScale, 0u);
    EXPECT_NE(r.out.find("clipped   front left   " + std::to_string(atFullScale) + " samples at full scale"),
              std::string::npos)
        << r.out;

    // Float output is never clipped.
    r = Run({in, "-o", m_dir / "hot-float.wav"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("clipped"), std::string::npos) << r.out;
}

struct BadInput {
    const char* name;
    WaveShape shape;
    const char* reason;
};

TEST_F(BFormatDecode, RefusesEveryBadInputWithOneLineAndNoOutput)
{
    const std::vector<BadInput> files = {
        {"plain.wav", ShapeWith([](WaveShape& s) { s.tag = 1, s.fmtSize = 16; }),
         "not flagged as B-Format: name its channel convention with --input ambix or --input fuma"},
        {"extensible-pcm.wav", ShapeWith([](WaveShape& s) { s.subFormat = bformat::kSubtypePcm; }),
         "not flagged as B-Format"},
        {"two.amb", ShapeWith([](WaveShape& s) { s.channels = 2; }), "2 channels"},
        {"ten.amb", ShapeWith([](WaveShape& s) { s.channels = 10; }), "10 channels"},
        {"empty.amb", ShapeWith([](WaveShape& s) { s.frames = 0; }), "holds no audio"},
        {"float16.amb", ShapeWith([](WaveShape& s) { s.bits = 16, s.subFormat = bformat::kBFormatFloat; }),
         "not an audio file this tool can read"},
        {"rate0.amb", ShapeWith([](WaveShape& s) { s.rate = 0; }), "audio file"},
    };
    for (const BadInput& bad : files) Write(bad.name, bad.shape);
    ASSERT_TRUE(wave_test::WriteFile(m_dir / "text.amb", {'h', 'e', 'l', 'l', 'o', '\n'}));
    ASSERT_EQ(::mkdir((m_dir / "folder.amb").c_str(), 0700), 0);
    const std::vector<std::string> before = m_dir.Entries();

    std::vector<std::pair<std::string, std::string>> runs;
    for (const BadInput& bad : files) runs.push_back({bad.name, bad.reason});
    runs.push_back({"text.amb", "not an audio file this tool can read"});
    runs.push_back({"missing.amb", "No such file or directory"});
    runs.push_back({"folder.amb", "is a directory"});
    for (const auto& [name, reason] : runs) {
        const std::string path = m_dir / name;
        const ProcessResult r = Run({path});
        EXPECT_EQ(r.exitCode, 1) << name;
        const std::vector<std::string> lines = r.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << name << ":\n" << r.err;
        EXPECT_EQ(lines[0].rfind("bformat-decode: " + path + ": ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(m_dir.Entries(), before) << name;
    }
}

TEST_F(BFormatDecode, AWriteFailureHalfWayLeavesNoOutputFile)
{
    // The file size limit lets the decode start writing and stops it well before the end.
    const std::string in = Write("long.amb", Constant16(1000, 2000, 3000, 0, 48000));
    ProcessOptions options;
    options.fileSizeLimit = 100000;  // of 384068 bytes
    const ProcessResult r = Run({in, "-o", m_dir / "out.wav"}, options);
    EXPECT_EQ(r.exitCode, 1);
    const std::vector<std::string> lines = r.ErrLines();
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_NE(lines[0].find("cannot write " + m_dir / "out.wav" + ": File too large"), std::string::npos)
        << lines[0];
    EXPECT_EQ(m_dir.Entries(), std::vector<std::string>{"long.amb"});

    // An earlier file of the same name survives a failed run unchanged.
    ASSERT_TRUE(wave_test::WriteFile(m_dir / "out.wav", {'o', 'l', 'd'}));
    EXPECT_EQ(Run({in, "-o", m_dir / "out.wav"}, options).exitCode, 1);
    EXPECT_EQ(wave_test::ReadFile(m_dir / "out.wav"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(m_dir.Entries(), (std::vector<std::string>{"long.amb", "out.wav"}));
}

TEST_F(BFormatDecode, AnInterruptLeavesNoOutputAndKeepsAnEarlierFile)
{
    // An hour of sparse silence: the decode is still running when the interrupt comes.
    WaveShape shape;
    shape.channels = 3;
    shape.frames = 0;
    std::vector<uint8_t> header = wave_test::BuildWave(shape);
    const uint32_t dataBytes = 48000u * 3600 * 6;
    header.resize(60);
    wave_test::PutId(header, "data");
    wave_test::Put32(header, dataBytes);
    const uint32_t riffSize = uint32_t(header.size() - 8 + dataBytes);
    for (int i = 0; i < 4; ++i) header[4 + i] = uint8_t(riffSize >> (8 * i));
    const std::string in = m_dir / "hour.amb";
    ASSERT_TRUE(wave_test::WriteFile(in, header));
    ASSERT_EQ(::truncate(in.c_str(), off_t(header.size() + dataBytes)), 0);
    ASSERT_TRUE(wave_test::WriteFile(m_dir / "hour.wav", {'o', 'l', 'd'}));

    // The signal comes once the decode has begun writing (its temporary file is there): the
    // handlers are set by then, and an hour of audio takes far longer than the signal.
    const auto writing = [](const std::string& folder, const std::string& prefix) {
        return [folder, prefix] {
            for (const std::string& name : tools_test::TempDir::List(folder))
                if (name.rfind(prefix, 0) == 0) return true;
            return false;
        };
    };
    ProcessOptions options;
    options.signalWhen = writing(m_dir.Path(), ".hour.wav.");
    const ProcessResult r = Run({in, "-o", m_dir / "hour.wav"}, options);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "bformat-decode: " + in + ": interrupted; " + m_dir / "hour.wav" + " not written; no output written\n");
    EXPECT_EQ(m_dir.Entries(), (std::vector<std::string>{"hour.amb", "hour.wav"}));
    EXPECT_EQ(wave_test::ReadFile(m_dir / "hour.wav"), (std::vector<uint8_t>{'o', 'l', 'd'}));

    // In a batch, the outputs decoded before the interrupt are kept, and the message says so.
    const std::string first = Write("first.amb", WaveShape{});
    ASSERT_EQ(::mkdir((m_dir / "out").c_str(), 0700), 0);
    options.signalWhen = writing(m_dir / "out", ".hour-speakers.wav.");  // the first decode done
    const ProcessResult batch = Run({first, in, "-o", m_dir / "out/", "-q"}, options);
    EXPECT_EQ(batch.exitCode, 130) << batch.err;
    EXPECT_NE(batch.err.find("interrupted; " + m_dir / "out/hour-speakers.wav" +
                             " not written; the 1 output decoded before it is kept"),
              std::string::npos)
        << batch.err;
    EXPECT_EQ(tools_test::TempDir::List(m_dir / "out"), std::vector<std::string>{"first-speakers.wav"});
}

TEST_F(BFormatDecode, TakesTheRegisteredDecoderFirstAndANamedModuleOnly)
{
    const std::string in = Write("in.amb", WaveShape{});
    // Not registered: the module beside the tool.
    ProcessResult r = Run({in});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("decoder   " + std::string(BFORMAT_DECODE_DIR) + "/DUrazOdo.so"), std::string::npos) << r.out;

    // Registered in the tool's registry store by the module itself: through COM.
    ASSERT_EQ(::setenv("DURAZODO_REGISTRY", (m_registry / "registry").c_str(), 1), 0);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    void* module = ::dlopen(DURAZODO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    using Entry = HRESULT (*)();
    const auto registerServer = reinterpret_cast<Entry>(::dlsym(module, "DllRegisterServer"));
    const auto unregisterServer = reinterpret_cast<Entry>(::dlsym(module, "DllUnregisterServer"));
    ASSERT_TRUE(registerServer && unregisterServer);
    ASSERT_EQ(registerServer(), S_OK);
    r = Run({in});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("decoder   the registered decoder filter"), std::string::npos) << r.out;

    // A named module is the only one tried.
    r = Run({in, "--module", DURAZODO_MODULE_PATH});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("decoder   ") + DURAZODO_MODULE_PATH), std::string::npos) << r.out;
    r = Run({in, "--module", m_dir / "missing.so"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot load the decoder module"), std::string::npos) << r.err;

    EXPECT_EQ(unregisterServer(), S_OK);
    ::dlclose(module);
    CoUninitialize();
    ::unsetenv("DURAZODO_REGISTRY");
}

TEST_F(BFormatDecode, RefusesBadOutputsAndArgumentsWithOneLine)
{
    const std::string in = Write("in.amb", WaveShape{});
    auto oneLine = [](const ProcessResult& r, int code, const std::string& reason) {
        EXPECT_EQ(r.exitCode, code) << r.err;
        const std::vector<std::string> lines = r.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
    };
    oneLine(Run({in, "-o", m_dir / "no/such/folder.wav"}), 1, "No such file or directory");
    ASSERT_EQ(::mkdir((m_dir / "out.wav").c_str(), 0700), 0);
    oneLine(Run({in, "-o", m_dir / "out.wav"}), 2, "is a directory");
    oneLine(Run({in, "--module", m_dir / "in.amb"}), 1, "cannot load the decoder module");
    oneLine(Run({in, "--frobnicate"}), 2, "unknown option --frobnicate");
    oneLine(Run({in, in, "-o", m_dir / "one.wav"}), 2, "names one file for 2 inputs");
    oneLine(Run({in, "-o"}), 2, "-o needs OUTPUT");
    oneLine(Run({in, "--input", "hoa"}), 2, "--input takes fuma, ambix or n3d, not hoa");
    oneLine(Run({in, "--format=pcm8"}), 2, "--format takes pcm16, pcm24, pcm32 or float, not pcm8");
    oneLine(Run({in, "-o", m_dir / "out.mp3"}), 1, "end it in .wav, .w64, .rf64, .caf or .flac");
    oneLine(Run({in, "-o", m_dir / "out.flac", "-f", "float"}), 2, "FLAC holds 16- and 24-bit samples only");
    EXPECT_EQ(m_dir.Entries(), (std::vector<std::string>{"in.amb", "out.wav"}));

    // --help lists every option with its default.
    const ProcessResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--output", "--input", "--format", "--module", "--quiet", "--help"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(wave_test::ReadFile(in), wave_test::BuildWave(WaveShape{}));
}

}  // namespace
