// bformat-decode's files: which inputs the reader takes and how it delivers their channels (as
// they lie in the file; turned, the first-order part alone), the one-line reason for
// each file it refuses; the sound file writer's containers read back by libsndfile, its
// sample conversion (rounding and saturation) and its levels; files that appear whole or
// not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/tools/sound_files.h"
#include "tests/tools/temp_dir.h"
#include "tests/tools/wave_builder.h"
#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/level_meter.h"
#include "tools/bformat-decode/output_file.h"
#include "tools/bformat-decode/wave_format.h"

using bformat::BFormatReader;
using bformat::Convention;
using decoder::SampleFormat;
using tools_test::TempDir;
using wave_test::BuildWave;
using wave_test::ShapeWith;
using wave_test::WaveShape;

namespace {

// Every frame the reader delivers, read in pieces of 5 frames.
std::vector<uint8_t> ReadAll(BFormatReader& reader)
{
    const size_t frameBytes = reader.Description().channels * decoder::BytesPerSample(reader.DeliveredFormat());
    std::vector<uint8_t> all, piece(5 * frameBytes);
    for (;;) {
        const int64_t got = reader.Read(piece.data(), 5);
        EXPECT_GE(got, 0) << reader.Error();
        if (got <= 0) break;
        all.insert(all.end(), piece.begin(), piece.begin() + got * static_cast<long>(frameBytes));
    }
    EXPECT_EQ(reader.Read(piece.data(), 5), 0);
    return all;
}

struct Accepted {
    uint16_t channels;
    uint16_t bits;
    bformat::Guid subFormat;
    SampleFormat format;
    unsigned order, firstOrder;
};

class FumaFile : public ::testing::TestWithParam<Accepted> {};

TEST_P(FumaFile, DeliversItsFirstOrderChannelsByteForByteInTheFileFormat)
{
    const Accepted& p = GetParam();
    TempDir dir;
    WaveShape shape;
    shape.channels = p.channels;
    shape.bits = p.bits;
    shape.subFormat = p.subFormat;
    shape.frames = 37;
    const std::vector<uint8_t> bytes = BuildWave(shape);
    ASSERT_TRUE(wave_test::WriteFile(dir / "in.amb", bytes));

    BFormatReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(dir / "in.amb", Convention::Unspecified, error)) << error;
    const bformat::InputDescription& d = reader.Description();
    EXPECT_TRUE(d.flagged);
    EXPECT_EQ(d.convention, Convention::FuMa);
    EXPECT_EQ(d.sampleFormat, p.format);
    EXPECT_EQ(d.channels, p.channels);
    EXPECT_EQ(d.order, p.order);
    EXPECT_EQ(d.firstOrderChannels, p.firstOrder);
    EXPECT_EQ(d.sampleRate, 48000u);
    EXPECT_EQ(d.frames, 37u);
    EXPECT_EQ(reader.DeliveredFormat(), p.format);
    EXPECT_EQ(d.channels, p.channels);

    // Every channel of every frame, as the data chunk holds them.
    const size_t frameBytes = p.bits / 8 * p.channels;
    const std::vector<uint8_t> expected(bytes.begin() + 68, bytes.begin() + 68 + static_cast<long>(37 * frameBytes));
    EXPECT_EQ(ReadAll(reader), expected);
    EXPECT_EQ(reader.FramesRead(), 37u);
}

INSTANTIATE_TEST_SUITE_P(
    SampleFormatsAndOrders, FumaFile,
    ::testing::Values(Accepted{4, 16, bformat::kBFormatPcm, SampleFormat::Pcm16, 1, 4},
                      Accepted{3, 16, bformat::kBFormatPcm, SampleFormat::Pcm16, 1, 3},
                      Accepted{4, 24, bformat::kBFormatPcm, SampleFormat::Pcm24, 1, 4},
                      Accepted{4, 32, bformat::kBFormatPcm, SampleFormat::Pcm32, 1, 4},
                      Accepted{3, 32, bformat::kBFormatFloat, SampleFormat::Float32, 1, 3},
                      Accepted{5, 16, bformat::kBFormatPcm, SampleFormat::Pcm16, 2, 3},
                      Accepted{6, 24, bformat::kBFormatPcm, SampleFormat::Pcm24, 2, 4},
                      Accepted{9, 16, bformat::kBFormatPcm, SampleFormat::Pcm16, 2, 4},
                      Accepted{7, 32, bformat::kBFormatFloat, SampleFormat::Float32, 3, 3},
                      Accepted{8, 16, bformat::kBFormatPcm, SampleFormat::Pcm16, 3, 4},
                      Accepted{11, 32, bformat::kBFormatPcm, SampleFormat::Pcm32, 3, 4},
                      Accepted{16, 24, bformat::kBFormatPcm, SampleFormat::Pcm24, 3, 4}));

TEST(BFormatReader, ReadsAmbiXAsItLiesAndTurnsItsFirstOrderPart)
{
    // Second-order ambiX (9 channels, ACN W Y Z X ...), 16-bit WAVE: every channel as it lies
    // in the file, widened to 32 bits for another output format.
    TempDir dir;
    std::vector<int32_t> samples;
    for (int f = 0; f < 50; ++f) {
        for (int c = 0; c < 9; ++c) samples.push_back(((f * 97 + c * 1031) % 65536 - 32768) * 65536);
    }
    ASSERT_TRUE(sound_test::WriteSound(dir / "in.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 9, samples));

    BFormatReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(dir / "in.wav", Convention::Unspecified, error));
    EXPECT_NE(error.find("--input ambix"), std::string::npos) << error;
    ASSERT_TRUE(reader.Open(dir / "in.wav", Convention::N3d, error)) << error;
    ASSERT_TRUE(reader.Open(dir / "in.wav", Convention::AmbiX, error)) << error;
    EXPECT_EQ(reader.Description().order, 2u);
    EXPECT_EQ(reader.Description().channels, 9u);
    EXPECT_EQ(reader.Description().sampleFormat, SampleFormat::Pcm16);
    EXPECT_EQ(reader.DeliveredFormat(), SampleFormat::Pcm16);
    reader.DeliverFor(SampleFormat::Pcm24);
    EXPECT_EQ(reader.DeliveredFormat(), SampleFormat::Pcm32);
    const std::vector<uint8_t> got = ReadAll(reader);
    ASSERT_EQ(got.size(), 50u * 9 * 4);
    for (size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(static_cast<int32_t>(decoder::ReadLittle32(&got[i * 4])), samples[i]) << "sample " << i;

    // Float ambiX stays float; FuMa kept for a different output format widens to 32 bits.
    std::vector<float> floats(4 * 10, 0.5f);
    ASSERT_TRUE(sound_test::WriteSound(dir / "f.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 4, floats));
    ASSERT_TRUE(reader.Open(dir / "f.wav", Convention::AmbiX, error)) << error;
    EXPECT_EQ(reader.DeliveredFormat(), SampleFormat::Float32);
    ASSERT_TRUE(reader.Open(dir / "in.wav", Convention::FuMa, error)) << error;
    EXPECT_EQ(reader.Description().firstOrderChannels, 4u);
    EXPECT_EQ(reader.DeliveredFormat(), SampleFormat::Pcm16);
    reader.DeliverFor(SampleFormat::Pcm24);
    EXPECT_EQ(reader.DeliveredFormat(), SampleFormat::Pcm32);
    // For float output integers arrive as exact fractions of full scale, so that the filter's
    // float output keeps what the decode puts above full scale.
    reader.DeliverFor(SampleFormat::Float32);
    EXPECT_EQ(reader.DeliveredFormat(), SampleFormat::Float32);
    const std::vector<uint8_t> fractions = ReadAll(reader);
    ASSERT_EQ(fractions.size(), 50u * 9 * 4);
    for (size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(decoder::Float32Format::ToDouble(&fractions[i * 4]), std::ldexp(samples[i], -31)) << "sample " << i;
}

struct Refused {
    const char* name;
    std::vector<uint8_t> bytes;
    Convention convention;
    const char* reason;
};

TEST(BFormatReader, RefusesEachBadFileWithOneLineSayingWhy)
{
    TempDir dir;
    const std::vector<Refused> files = {
        {"plain.wav", BuildWave(ShapeWith([](WaveShape& s) { s.subFormat = bformat::kSubtypePcm; })),
         Convention::Unspecified, "not flagged as B-Format: name its channel convention with --input ambix"},
        {"two.amb", BuildWave(ShapeWith([](WaveShape& s) { s.channels = 2; })), Convention::Unspecified,
         "2 channels: FuMa B-Format has 3 or 4"},
        {"ten.amb", BuildWave(ShapeWith([](WaveShape& s) { s.channels = 10; })), Convention::Unspecified,
         "10 channels: FuMa"},
        {"five.wav", BuildWave(ShapeWith([](WaveShape& s) { s.channels = 5, s.subFormat = bformat::kSubtypePcm; })),
         Convention::AmbiX, "5 channels: ambiX has (n+1)"},
        {"empty.amb", BuildWave(ShapeWith([](WaveShape& s) { s.frames = 0, s.samples.clear(); })),
         Convention::Unspecified, "holds no audio"},
        {"slow.amb", BuildWave(ShapeWith([](WaveShape& s) { s.rate = 800; })), Convention::Unspecified,
         "sample rate of 800 Hz is too low"},
        {"text.amb", {'h', 'e', 'l', 'l', 'o', '\n'}, Convention::Unspecified, "not an audio file this tool can read"},
        {"truncated.amb", BuildWave(ShapeWith([](WaveShape& s) { s.dataSizeExtra = 4000; })), Convention::Unspecified,
         "truncated: the file ends before the audio its header announces (it holds 64 frames)"},
    };
    for (const Refused& bad : files) ASSERT_TRUE(wave_test::WriteFile(dir / bad.name, bad.bytes));
    ASSERT_EQ(::mkdir((dir / "folder.amb").c_str(), 0700), 0);

    std::vector<std::tuple<std::string, Convention, std::string>> runs;
    for (const Refused& bad : files) runs.emplace_back(bad.name, bad.convention, bad.reason);
    runs.emplace_back("missing.amb", Convention::Unspecified, "No such file or directory");
    runs.emplace_back("folder.amb", Convention::Unspecified, "is a directory");
    for (const auto& [name, convention, reason] : runs) {
        BFormatReader reader;
        std::string error;
        EXPECT_FALSE(reader.Open(dir / name, convention, error)) << name;
        EXPECT_NE(error.find(reason), std::string::npos) << name << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        uint8_t none[64];
        EXPECT_EQ(reader.Read(none, 1), -1) << name;
    }
}

// ---- writing ----------------------------------------------------------------------------

TEST(SoundFileWriter, WritesEveryContainerSoThatLibsndfileReadsItBack)
{
    TempDir dir;
    struct Case {
        const char* name;
        bformat::Container container;
        SampleFormat format;
        int expected;  // libsndfile's format of the file
    };
    const std::vector<Case> cases = {
        {"a.wav", bformat::Container::Wave, SampleFormat::Pcm16, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16},
        {"b.wav", bformat::Container::Wave, SampleFormat::Float32, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT},
        {"c.rf64", bformat::Container::Rf64, SampleFormat::Pcm24, SF_FORMAT_RF64 | SF_FORMAT_PCM_24},
        {"d.w64", bformat::Container::Wave64, SampleFormat::Pcm32, SF_FORMAT_W64 | SF_FORMAT_PCM_32},
        {"e.caf", bformat::Container::Caf, SampleFormat::Float32, SF_FORMAT_CAF | SF_FORMAT_FLOAT},
        {"f.flac", bformat::Container::Flac, SampleFormat::Pcm24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    };
    for (const Case& c : cases) {
        bformat::Container named;
        std::string error;
        ASSERT_TRUE(bformat::ContainerForName(dir / c.name, named, error)) << error;
        EXPECT_EQ(named, c.container) << c.name;

        // 32-bit samples in, converted to the file's format (positive ones: the decoder's
        // rounding, v + 0.5 toward zero, moves negative integers up by one).
        std::vector<uint8_t> stream;
        std::vector<int32_t> values;
        for (int i = 0; i < 4 * 300; ++i) {
            values.push_back(static_cast<int32_t>((i * 2654435761u) & 0x7FFF0000u));
            wave_test::Put32(stream, static_cast<uint32_t>(values.back()));
        }
        bformat::SoundFileWriter writer;
        bformat::OutputFileSettings settings{dir / c.name, c.container, 4, 44100, 0x33, c.format, 300};
        ASSERT_TRUE(writer.Begin(settings, SampleFormat::Pcm32, error)) << error;
        ASSERT_TRUE(writer.Append(stream.data(), 100 * 16, error)) << error;
        ASSERT_TRUE(writer.Append(stream.data() + 100 * 16, 200 * 16, error)) << error;
        EXPECT_EQ(dir.Entries().size(), 1u) << "only the temporary file";
        ASSERT_TRUE(writer.Finish(error)) << error;

        sound_test::Sound sound;
        ASSERT_TRUE(sound_test::ReadSound(dir / c.name, sound)) << c.name;
        EXPECT_EQ(sound.info.format & ~SF_FORMAT_ENDMASK, c.expected) << c.name;
        EXPECT_EQ(sound.info.channels, 4);
        EXPECT_EQ(sound.info.samplerate, 44100);
        ASSERT_EQ(sound.info.frames, 300) << c.name;
        EXPECT_EQ(sound.log.find("PEAK"), std::string::npos) << c.name;
        for (size_t i = 0; i < values.size(); ++i) {
            if (c.format == SampleFormat::Float32) ASSERT_EQ(sound.floats[i], values[i] / 2147483648.0f) << i;
            else ASSERT_EQ(sound.ints[i], values[i]) << c.name << " sample " << i;
        }
        if (c.container == bformat::Container::Wave) {
            EXPECT_NE(sound.log.find("Channel Mask  : 0x33"), std::string::npos) << sound.log;
        }
        ::unlink((dir / c.name).c_str());
    }

    bformat::Container container;
    std::string error;
    EXPECT_FALSE(bformat::ContainerForName(dir / "out.mp3", container, error));
    EXPECT_NE(error.find("end it in .wav"), std::string::npos) << error;
    EXPECT_FALSE(bformat::ContainerTakes(bformat::Container::Flac, SampleFormat::Float32, error));
    EXPECT_NE(error.find("FLAC holds 16- and 24-bit samples only"), std::string::npos) << error;
    EXPECT_TRUE(dir.Entries().empty());
}

TEST(SoundFileWriter, SaturatesAndCountsSamplesAtFullScale)
{
    // Fractions of full scale into 16, 24 and 32 bits: rounded as the decoder rounds, and
    // saturated at both ends; NaN is 0.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, 0.5), 16384);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, 1.25 / 32768), 1);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, -1.5 / 32768), -1);  // v + 0.5 toward zero
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, 1.0), 32767);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, 40000.0 / 32768), 32767);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, -3.0), -32768);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm16, nan), 0);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm24, 2.0), 0x7FFFFF00);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm24, -2.0), INT32_MIN);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm24, 0.25), 0x200000 * 256);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm32, 1e300), INT32_MAX);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm32, -1e300), INT32_MIN);
    EXPECT_EQ(bformat::ToInteger(SampleFormat::Pcm32, nan), 0);

    // Float stream into a 16-bit file: two samples of speaker 1 and one of speaker 3 clip.
    TempDir dir;
    std::vector<uint8_t> stream;
    for (float v : {0.1f, 1.5f, 0.0f, 0.0f, -0.25f, -1.0f, 0.0f, -7.0f, 0.0f, 2.0f, 0.0f, 0.0f}) wave_test::PutFloat(stream, v);
    bformat::SoundFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Begin({dir / "c.wav", bformat::Container::Wave, 4, 48000, 0, SampleFormat::Pcm16, 3},
                             SampleFormat::Float32, error)) << error;
    ASSERT_TRUE(writer.Append(stream.data(), stream.size(), error)) << error;
    ASSERT_TRUE(writer.Finish(error)) << error;
    EXPECT_EQ(writer.Levels().Clipped(), (std::vector<uint64_t>{0, 2, 0, 1}));
    sound_test::Sound sound;
    ASSERT_TRUE(sound_test::ReadSound(dir / "c.wav", sound));
    const std::vector<int32_t> expected = {3277, 32767, 0, 0, -8191, -32767, 0, -32768, 0, 32767, 0, 0};
    ASSERT_EQ(sound.ints.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(sound.ints[i], expected[i] * 65536) << i;
}

TEST(LevelMeter, MeasuresPeaksAsFractionsOfFullScaleAndCountsOnlyIntegerClips)
{
    // The four-channel loop and the loop for any other count give the same answers.
    for (unsigned channels : {4u, 3u, 6u}) {
        bformat::LevelMeter meter;
        meter.Reset(channels);
        std::vector<int16_t> s16(channels * 9, 0);
        s16[0] = -16384;                 // channel 0: half scale
        s16[channels + 1] = 32767;       // channel 1: full scale, once
        s16[5 * channels + 1] = 32767;   // and again
        s16[8 * channels + 2] = -32768;  // channel 2: full scale below
        meter.Add(s16.data(), 9);
        meter.Add(s16.data(), 9);
        EXPECT_DOUBLE_EQ(meter.Peaks()[0], 0.5) << channels;
        EXPECT_DOUBLE_EQ(meter.Peaks()[1], 32767.0 / 32768) << channels;
        EXPECT_DOUBLE_EQ(meter.Peaks()[2], 1.0) << channels;
        std::vector<uint64_t> clipped(channels, 0);
        clipped[1] = 4, clipped[2] = 2;
        EXPECT_EQ(meter.Clipped(), clipped) << channels;

        // Peaks only rise; 24-bit samples clip at their own full scale, floats never.
        std::vector<int32_t> s24(channels * 2, 0);
        s24[0] = 0x7FFFFF00;
        meter.Add(s24.data(), 2, 0x7FFFFF00);
        EXPECT_DOUBLE_EQ(meter.Peaks()[0], 0x7FFFFF00 / 2147483648.0);
        EXPECT_EQ(meter.Clipped()[0], 1u);
        std::vector<float> sf(channels * 2, 0.0f);
        sf[1] = 3.0f;
        sf[2] = std::numeric_limits<float>::quiet_NaN();
        meter.Add(sf.data(), 2);
        EXPECT_DOUBLE_EQ(meter.Peaks()[1], 3.0);
        EXPECT_DOUBLE_EQ(meter.Peaks()[2], 1.0);
        EXPECT_EQ(meter.Clipped()[1], 4u);
    }
}

TEST(LevelMeter, VectorLoopOfFourChannelsOf16BitsGivesThePlainLoopsAnswers)
{
    // Every length up to a few vector widths, odd ones included, with extremes and full-scale
    // samples placed anywhere.
    std::vector<int16_t> s(4 * 37);
    uint32_t seed = 7;
    for (int16_t& v : s) {
        seed = seed * 1664525u + 1013904223u;
        const uint32_t r = seed >> 16;
        v = r % 23 == 0 ? INT16_MAX : r % 29 == 0 ? INT16_MIN : int16_t(int32_t(r % 20001) - 10000);
    }
    for (size_t frames = 0; frames <= 37; ++frames) {
        bformat::LevelMeter fast, plain;
        fast.Reset(4);
        plain.Reset(4);
        fast.Add(s.data() + (37 - frames) * 4, frames);
        plain.AddPlain(s.data() + (37 - frames) * 4, frames);
        EXPECT_EQ(fast.Peaks(), plain.Peaks()) << frames;
        EXPECT_EQ(fast.Clipped(), plain.Clipped()) << frames;
    }
}

TEST(AtomicFile, AppearsOnlyWhenCommittedAndLeavesNothingOtherwise)
{
    TempDir dir;
    std::string error;
    {
        bformat::AtomicFile file;
        ASSERT_TRUE(file.Create(dir / "a.wav", error)) << error;
        ASSERT_EQ(::write(file.Fd(), "abc", 3), 3);
        EXPECT_EQ(dir.Entries().size(), 1u);
        EXPECT_EQ(dir.Entries()[0].rfind(".a.wav.", 0), 0u);
    }
    EXPECT_TRUE(dir.Entries().empty());

    {
        // An existing file is replaced only by the finished one.
        ASSERT_TRUE(wave_test::WriteFile(dir / "b.wav", {'o', 'l', 'd'}));
        bformat::AtomicFile file;
        ASSERT_TRUE(file.Create(dir / "b.wav", error));
        ASSERT_EQ(::write(file.Fd(), "new!", 4), 4);
        EXPECT_EQ(wave_test::ReadFile(dir / "b.wav").size(), 3u);
        ASSERT_TRUE(file.Commit(error)) << error;
        EXPECT_EQ(wave_test::ReadFile(dir / "b.wav").size(), 4u);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"b.wav"});
        struct stat st;
        ASSERT_EQ(::stat((dir / "b.wav").c_str(), &st), 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
    }

    bformat::AtomicFile file;
    EXPECT_FALSE(file.Create(dir / "missing/c.wav", error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    ASSERT_EQ(::mkdir((dir / "d.wav").c_str(), 0700), 0);
    EXPECT_FALSE(file.Create(dir / "d.wav", error));
    EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
}

}  // namespace
