// Reading B-Format files: which files the decoder takes, the one-line reason for each file it
// refuses, the samples read back byte for byte; and the speaker-feed WAVE header written
// around a format block, read back by libsndfile.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

#include "tests/tools/temp_dir.h"
#include "tests/tools/wave_builder.h"
#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/output_file.h"
#include "tools/bformat-decode/wave_format.h"

using bformat::BFormatReader;
using bformat::SampleType;
using tools_test::TempDir;
using wave_test::BuildWave;
using wave_test::ShapeWith;
using wave_test::WaveShape;

namespace {

struct Accepted {
    uint16_t channels;
    uint16_t bits;
    bformat::Guid subFormat;
    SampleType type;
};

class AcceptedFile : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedFile, IsOpenedAndReadBackByteForByteInWholeFrames)
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
    ASSERT_TRUE(reader.Open(dir / "in.amb", error)) << error;
    const bformat::BFormatFile& file = reader.File();
    EXPECT_EQ(file.sampleType, p.type);
    EXPECT_EQ(file.format.channels, p.channels);
    EXPECT_EQ(file.format.sampleRate, 48000u);
    EXPECT_EQ(file.frames, 37u);
    // The format block is the fmt chunk as it lies in the file.
    ASSERT_EQ(file.formatBlock.size(), 40u);
    EXPECT_TRUE(std::equal(file.formatBlock.begin(), file.formatBlock.end(), bytes.begin() + 20));

    // Read in pieces of 5 frames: 7 full pieces and 2 frames, then the end.
    const size_t frameBytes = file.format.blockAlign;
    std::vector<uint8_t> all, piece(5 * frameBytes);
    int64_t n;
    std::vector<int64_t> counts;
    while ((n = reader.Read(piece.data(), 5)) > 0) {
        counts.push_back(n);
        all.insert(all.end(), piece.begin(), piece.begin() + n * frameBytes);
    }
    EXPECT_EQ(n, 0) << reader.Error();
    EXPECT_EQ(counts, (std::vector<int64_t>{5, 5, 5, 5, 5, 5, 5, 2}));
    const size_t dataStart = bytes.size() - 37 * frameBytes;
    EXPECT_EQ(all, std::vector<uint8_t>(bytes.begin() + dataStart, bytes.end()));
    EXPECT_EQ(reader.FramesRead(), 37u);
}

INSTANTIATE_TEST_SUITE_P(
    EverySampleFormat, AcceptedFile,
    ::testing::Values(Accepted{4, 16, bformat::kBFormatPcm, SampleType::Pcm16},
                      Accepted{3, 16, bformat::kBFormatPcm, SampleType::Pcm16},
                      Accepted{4, 24, bformat::kBFormatPcm, SampleType::Pcm24},
                      Accepted{3, 24, bformat::kBFormatPcm, SampleType::Pcm24},
                      Accepted{4, 32, bformat::kBFormatPcm, SampleType::Pcm32},
                      Accepted{4, 32, bformat::kBFormatFloat, SampleType::Float32},
                      Accepted{3, 32, bformat::kBFormatFloat, SampleType::Float32}));

TEST(BFormatReader, TakesOtherChunksAroundTheAudioAndPartlyValidContainers)
{
    TempDir dir;
    std::string error;
    {
        // An odd-sized chunk (with its pad byte) before fmt.
        WaveShape shape;
        shape.junkBeforeFmt = true;
        ASSERT_TRUE(wave_test::WriteFile(dir / "list.amb", BuildWave(shape)));
        BFormatReader reader;
        EXPECT_TRUE(reader.Open(dir / "list.amb", error)) << error;
        EXPECT_EQ(reader.File().frames, 64u);
    }
    {
        // 20 valid bits in 24-bit containers are 24-bit samples to the decoder.
        WaveShape shape;
        shape.bits = 24;
        shape.validBits = 20;
        ASSERT_TRUE(wave_test::WriteFile(dir / "valid20.amb", BuildWave(shape)));
        BFormatReader reader;
        EXPECT_TRUE(reader.Open(dir / "valid20.amb", error)) << error;
        EXPECT_EQ(reader.File().sampleType, SampleType::Pcm24);
    }
    {
        // A chunk after the audio does not become audio.
        std::vector<uint8_t> bytes = BuildWave(WaveShape{});
        const char tail[] = "LIST\x04\0\0\0abcd";
        bytes.insert(bytes.end(), tail, tail + 12);
        ASSERT_TRUE(wave_test::WriteFile(dir / "tail.amb", bytes));
        BFormatReader reader;
        ASSERT_TRUE(reader.Open(dir / "tail.amb", error)) << error;
        std::vector<uint8_t> buffer(100 * 8);
        EXPECT_EQ(reader.Read(buffer.data(), 100), 64);
        EXPECT_EQ(reader.Read(buffer.data(), 100), 0);
    }
}

TEST(BFormatReader, RefusesAFileWhoseSamplesLibsndfileTakesFromAnotherDataChunk)
{
    // A second data chunk after the first, then a stray chunk header: libsndfile reads its
    // samples from the second while the header reader describes the first.
    TempDir dir;
    std::vector<uint8_t> bytes = BuildWave(WaveShape{});
    std::vector<uint8_t> second = {'d', 'a', 't', 'a', 0, 2, 0, 0};
    second.resize(8 + 512, 0x5A);
    second.insert(second.end(), {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFF, 0x7F});
    bytes.insert(bytes.end(), second.begin(), second.end());
    const uint32_t riff = static_cast<uint32_t>(bytes.size() - 8);
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
    ASSERT_TRUE(wave_test::WriteFile(dir / "two-data.amb", bytes));
    BFormatReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(dir / "two-data.amb", error));
    EXPECT_NE(error.find("libsndfile reads the samples from another data chunk"), std::string::npos) << error;
    uint8_t frame[8];
    EXPECT_EQ(reader.Read(frame, 1), -1) << "nothing stays open";
}

struct Refused {
    const char* name;
    WaveShape shape;
    const char* message;  // a part of the one-line reason
};

class RefusedFile : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedFile, GetsOneLineSayingWhy)
{
    TempDir dir;
    ASSERT_TRUE(wave_test::WriteFile(dir / "bad.wav", BuildWave(GetParam().shape)));
    BFormatReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(dir / "bad.wav", error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    BadHeaders, RefusedFile,
    ::testing::Values(
        Refused{"PlainPcm", ShapeWith([](WaveShape& s) { s.tag = 1, s.fmtSize = 16; }), "a plain WAVE file (integer PCM)"},
        Refused{"PlainFloat", ShapeWith([](WaveShape& s) { s.tag = 3, s.bits = 32, s.fmtSize = 18, s.cbSize = 0; }),
                "a plain WAVE file (IEEE float)"},
        Refused{"ExtensiblePcm", ShapeWith([](WaveShape& s) { s.subFormat = bformat::kSubtypePcm; }),
                "a plain WAVE_FORMAT_EXTENSIBLE file (integer PCM), not B-Format"},
        Refused{"OtherSubformat", ShapeWith([](WaveShape& s) { s.subFormat[0] = 0x55; }),
                "subformat {00000055-0721-11D3-8644-C8C1CA000000} is not a B-Format subformat"},
        Refused{"FiveChannels", ShapeWith([](WaveShape& s) { s.channels = 5; }), "5 channels"},
        Refused{"TwentyBit", ShapeWith([](WaveShape& s) { s.bits = 20; }), "20-bit samples"},
        Refused{"Float16", ShapeWith([](WaveShape& s) { s.bits = 16, s.subFormat = bformat::kBFormatFloat; }),
                "16-bit float samples: B-Format float samples must be 32-bit"},
        Refused{"RateBelowCrossover", ShapeWith([](WaveShape& s) { s.rate = 800; }), "800 Hz is too low"},
        Refused{"Truncated", ShapeWith([](WaveShape& s) { s.dataSizeExtra = 10; }),
                "truncated: the data chunk should hold 522 bytes but the file ends after 512"},
        Refused{"PartialFrame", ShapeWith([](WaveShape& s) { s.samples.assign(13, 0); }),
                "13 bytes is not a whole number of 8-byte frames"},
        Refused{"BlockAlign", ShapeWith([](WaveShape& s) { s.blockAlign = 6; }), "block align of 6 bytes"},
        Refused{"ValidBits", ShapeWith([](WaveShape& s) { s.validBits = 17; }), "17 valid bits per sample"},
        Refused{"ShortExtensible", ShapeWith([](WaveShape& s) { s.fmtSize = 18, s.cbSize = 0; }),
                "WAVE_FORMAT_EXTENSIBLE header too short"},
        Refused{"CbSizeBeyondChunk", ShapeWith([](WaveShape& s) { s.cbSize = 30; }), "shorter than its cbSize"},
        Refused{"DataFirst", ShapeWith([](WaveShape& s) { s.dataBeforeFmt = true; }), "before any fmt chunk"}),
    [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

TEST(BFormatReader, RefusesWhatIsNoWaveFileAtAll)
{
    TempDir dir;
    std::string error;
    auto refuse = [&](const std::string& name, const std::vector<uint8_t>& bytes, const char* message) {
        if (!bytes.empty() || name == "empty") {
            ASSERT_TRUE(wave_test::WriteFile(dir / name, bytes));
        }
        BFormatReader reader;
        error.clear();
        EXPECT_FALSE(reader.Open(dir / name, error)) << name;
        EXPECT_NE(error.find(message), std::string::npos) << name << ": " << error;
    };
    refuse("missing", {}, "No such file or directory");
    refuse("empty", {}, "not a WAVE file (too short for a RIFF header)");
    const std::string text = "This is a text file, not a sound.\n";
    refuse("text", std::vector<uint8_t>(text.begin(), text.end()), "not a WAVE file (no RIFF header)");
    std::vector<uint8_t> avi = BuildWave(WaveShape{});
    std::copy_n("AVI ", 4, avi.begin() + 8);
    refuse("avi", avi, "not a WAVE file (a RIFF file of type 'AVI ')");
    std::vector<uint8_t> rf64 = BuildWave(WaveShape{});
    std::copy_n("RF64", 4, rf64.begin());
    refuse("rf64", rf64, "RF64");
    std::vector<uint8_t> noData = BuildWave(WaveShape{});
    noData.resize(12 + 8 + 40);
    refuse("nodata", noData, "no data chunk");
    std::vector<uint8_t> noFmt = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    refuse("nofmt", noFmt, "no fmt chunk");
    ASSERT_EQ(::mkdir((dir / "folder.amb").c_str(), 0700), 0);
    refuse("folder.amb", {}, "is a directory");
}

TEST(WaveHeader, CarriesTheFormatBlockUnchangedAndIsReadByLibsndfile)
{
    // The format the decoder proposes for 4-channel 16-bit B-Format: PCM, channel mask 0x33.
    WaveShape shape;
    shape.subFormat = bformat::kSubtypePcm;
    std::vector<uint8_t> block = wave_test::FormatBlock(shape);
    block[20] = 0x33;  // dwChannelMask

    TempDir dir;
    bformat::WaveFileWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Begin(dir / "out.wav", block, error)) << error;
    std::vector<int16_t> samples;
    for (int i = 0; i < 400; ++i) samples.push_back(int16_t(i * 100 - 20000));
    ASSERT_TRUE(writer.Append(samples.data(), 200 * 2, error));
    ASSERT_TRUE(writer.Append(samples.data() + 200, 200 * 2, error));
    ASSERT_TRUE(writer.Finish(error)) << error;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.wav"});

    const std::vector<uint8_t> file = wave_test::ReadFile(dir / "out.wav");
    ASSERT_EQ(file.size(), 12u + 8 + 40 + 8 + 800);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), file.begin() + 20));

    SF_INFO info{};
    SNDFILE* sf = sf_open((dir / "out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.channels, 4);
    EXPECT_EQ(info.frames, 100);
    int map[4] = {};
    ASSERT_EQ(sf_command(sf, SFC_GET_CHANNEL_MAP_INFO, map, sizeof map), SF_TRUE);
    EXPECT_EQ(map[0], SF_CHANNEL_MAP_LEFT);
    EXPECT_EQ(map[1], SF_CHANNEL_MAP_RIGHT);
    EXPECT_EQ(map[2], SF_CHANNEL_MAP_REAR_LEFT);
    EXPECT_EQ(map[3], SF_CHANNEL_MAP_REAR_RIGHT);
    std::vector<int16_t> back(400);
    EXPECT_EQ(sf_read_short(sf, back.data(), 400), 400);
    EXPECT_EQ(back, samples);
    sf_close(sf);
}

TEST(WaveHeader, CountsThePadByteOfAnOddDataChunk)
{
    const std::vector<uint8_t> block(40, 0);
    const std::vector<uint8_t> header = bformat::BuildWaveHeader(block, 13);
    ASSERT_EQ(header.size(), 12u + 8 + 40 + 8);
    // RIFF size: "WAVE" + fmt chunk (48) + data header (8) + 13 bytes + 1 pad byte.
    EXPECT_EQ(header[4] | header[5] << 8, 4 + 48 + 8 + 14);
    EXPECT_EQ(header[64], 13);
    // The largest data chunk still leaves the RIFF size within 32 bits.
    EXPECT_EQ(bformat::MaxWaveDataBytes(40), 0xFFFFFFFFull - 4 - 48 - 8 - 1);
}

TEST(Peaks, AreFractionsOfFullScalePerChannelAndOnlyRise)
{
    std::vector<double> peaks(2, 0.0);
    const int16_t pcm16[] = {-32768, 16384, 100, -8192};
    bformat::UpdatePeaks(reinterpret_cast<const uint8_t*>(pcm16), sizeof pcm16, SampleType::Pcm16, peaks);
    EXPECT_DOUBLE_EQ(peaks[0], 1.0);
    EXPECT_DOUBLE_EQ(peaks[1], 0.5);
    const int16_t quiet[] = {1, 1};
    bformat::UpdatePeaks(reinterpret_cast<const uint8_t*>(quiet), sizeof quiet, SampleType::Pcm16, peaks);
    EXPECT_DOUBLE_EQ(peaks[1], 0.5);

    std::vector<double> p24(1, 0.0);
    const uint8_t pcm24[] = {0x00, 0x00, 0xC0};  // -0.5 of full scale
    bformat::UpdatePeaks(pcm24, sizeof pcm24, SampleType::Pcm24, p24);
    EXPECT_DOUBLE_EQ(p24[0], 0.5);

    std::vector<double> pf(2, 0.0);
    const float floats[] = {-1.5f, 0.25f};
    bformat::UpdatePeaks(reinterpret_cast<const uint8_t*>(floats), sizeof floats, SampleType::Float32, pf);
    EXPECT_DOUBLE_EQ(pf[0], 1.5);
    EXPECT_DOUBLE_EQ(pf[1], 0.25);
}

TEST(AtomicFile, AppearsOnlyWhenCommittedAndLeavesNothingOtherwise)
{
    TempDir dir;
    std::string error;
    {
        bformat::AtomicFile file;
        ASSERT_TRUE(file.Create(dir / "a.wav", error)) << error;
        ASSERT_TRUE(file.Write("abc", 3, error));
        EXPECT_EQ(dir.Entries().size(), 1u);
        EXPECT_EQ(dir.Entries()[0].rfind(".a.wav.", 0), 0u);
    }
    EXPECT_TRUE(dir.Entries().empty());

    {
        // An existing file is replaced only by the finished one.
        ASSERT_TRUE(wave_test::WriteFile(dir / "b.wav", {'o', 'l', 'd'}));
        bformat::AtomicFile file;
        ASSERT_TRUE(file.Create(dir / "b.wav", error));
        ASSERT_TRUE(file.Write("new!", 4, error));
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
