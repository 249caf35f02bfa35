// bformat-decode past the 4 GiB that a RIFF header can state: three hours of silence in, a
// .wav output of just over 4 GiB comes out as a valid RF64 file of the right length. The
// input is sparse (its samples are a hole in the file), the output is real: about 4.3 GB of
// disk for a few seconds, and the time it takes to write that much.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/tools/process.h"
#include "tests/tools/temp_dir.h"
#include "tests/tools/wave_builder.h"

namespace {

TEST(BFormatDecodeLarge, WritesAWaveOutputPast4GiBAsRF64OfTheRightLength)
{
    tools_test::TempDir dir, registry;
    // 3-channel 16-bit input (6 bytes a frame, 3.2 GB) decodes to 4 speakers (8 bytes a
    // frame): 4 295 200 000 bytes of output, past the 4 294 967 295 a RIFF size can hold.
    const uint64_t frames = 536900000;
    wave_test::WaveShape shape;
    shape.channels = 3;
    shape.frames = 0;
    std::vector<uint8_t> header = wave_test::BuildWave(shape);
    ASSERT_EQ(header.size(), 68u);
    const uint32_t dataBytes = static_cast<uint32_t>(frames * 6);
    header.resize(60);
    wave_test::PutId(header, "data");
    wave_test::Put32(header, dataBytes);
    const uint32_t riffSize = static_cast<uint32_t>(header.size() - 8 + dataBytes);
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
    const std::string in = dir / "silence.amb";
    ASSERT_TRUE(wave_test::WriteFile(in, header));
    ASSERT_EQ(::truncate(in.c_str(), static_cast<off_t>(header.size() + dataBytes)), 0);

    const std::string out = dir / "silence.wav";
    tools_test::ProcessOptions options;
    options.env.push_back({"DURAZODO_REGISTRY", registry / "registry"});
    const tools_test::ProcessResult r = tools_test::RunProcess({BFORMAT_DECODE_PATH, in, "-o", out, "-q"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ::unlink(in.c_str());

    SF_INFO info{};
    SNDFILE* file = sf_open(out.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_RF64 | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.channels, 4);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(frames));
    // The last frames, past the 4 GiB mark, are there and silent.
    std::vector<short> tail(4 * 1000, 1);
    ASSERT_EQ(sf_seek(file, static_cast<sf_count_t>(frames - 1000), SEEK_SET), static_cast<sf_count_t>(frames - 1000));
    ASSERT_EQ(sf_readf_short(file, tail.data(), 1000), 1000);
    for (short v : tail) ASSERT_EQ(v, 0);
    sf_close(file);
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_GT(static_cast<uint64_t>(st.st_size), frames * 8);
    EXPECT_LT(static_cast<uint64_t>(st.st_size), frames * 8 + 4096);
}

}  // namespace
