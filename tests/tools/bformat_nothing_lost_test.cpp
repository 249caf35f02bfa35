// bformat-decode losing nothing: a batch whose outputs would collide with each other or with
// an input is refused whole before anything is written; a file cut short is refused the same
// way in every container; float output keeps what the decode puts above full scale; every
// refusal names its file and says why in words; a killed run's leftovers go with the next.
// First: the C library's fcntl.h defines LOCK_WRITE, a name the platform's OLE declarations use.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fcntl.h>
#include <string>
#include <vector>

#include "tests/tools/decode_tool.h"
#include "tests/tools/sound_files.h"

using tools_test::ProcessResult;
using wave_test::WaveShape;

namespace {

class NothingLost : public tools_test::DecodeToolTest {
protected:
    // A full-scale square wave in W, X and Y (Z silent) of 16-bit FuMa, 50 frames a half.
    std::vector<int32_t> Square(size_t frames)
    {
        std::vector<int32_t> samples;
        for (size_t f = 0; f < frames; ++f) {
            const int32_t v = (f / 50) % 2 ? INT32_MIN : 0x7FFF0000;
            samples.insert(samples.end(), {v, v, v, 0});
        }
        return samples;
    }

    // The peak of a float file's samples.
    static float Peak(const std::string& path)
    {
        sound_test::Sound sound;
        EXPECT_TRUE(sound_test::ReadSound(path, sound)) << path;
        float peak = 0;
        for (float v : sound.floats) peak = std::max(peak, std::fabs(v));
        return peak;
    }
};

TEST_F(NothingLost, BatchPlanningRefusesCollidingOutputsAndRepeatedInputsBeforeWritingAnything)
{
    ASSERT_EQ(::mkdir((m_dir / "d1").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((m_dir / "d2").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((m_dir / "out").c_str(), 0700), 0);
    Write("d1/x.amb", WaveShape{});
    Write("d2/x.amb", WaveShape{});
    Write("x.amb", WaveShape{});
    Write("y-speakers.wav", WaveShape{});
    ASSERT_EQ(::symlink("x.amb", (m_dir / "link.amb").c_str()), 0);
    ASSERT_EQ(::link((m_dir / "x.amb").c_str(), (m_dir / "hard.amb").c_str()), 0);
    ASSERT_EQ(::symlink("y-speakers.wav", (m_dir / "feeds.wav").c_str()), 0);
    ASSERT_EQ(::mkfifo((m_dir / "pipe.wav").c_str(), 0600), 0);

    // Two inputs of one name into one folder.
    ExpectRefused({"d1/x.amb", "d2/x.amb", "-o", "out/"}, 2,
                  "d1/x.amb and d2/x.amb would both be decoded to out/x-speakers.wav");
    // An output that is another input, by name (in either order, existing or not) or through a link.
    ExpectRefused({"-i", "fuma", "x.amb", "x-speakers.wav"}, 2, "x-speakers.wav, the output of x.amb, would overwrite");
    ExpectRefused({"-i", "fuma", "y-speakers.wav", "y.amb"}, 2, "the output of y.amb, would overwrite the input y-speakers.wav");
    ExpectRefused({"-i", "fuma", "y.amb", "feeds.wav", "-o", "./"}, 2, "would overwrite the input feeds.wav");
    ExpectRefused({"x.amb", "-o", "hard.amb"}, 2, "hard.amb: the output would overwrite the input x.amb");
    // One file named twice, by one name, another path, a link or a hard link.
    ExpectRefused({"x.amb", "x.amb", "-o", "out/"}, 2, "x.amb is named twice");
    for (const char* other : {"./x.amb", "link.amb", "hard.amb"})
        ExpectRefused({"x.amb", other, "-o", "out/"}, 2, std::string("x.amb and ") + other + " are the same file");
    // A named pipe is not replaced by a file.
    ExpectRefused({"x.amb", "-o", "pipe.wav"}, 2, "pipe.wav is a named pipe");
    struct stat st;
    ASSERT_EQ(::lstat((m_dir / "pipe.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Distinct outputs go ahead.
    const ProcessResult r = Run({"x.amb", "d1/x.amb", "-q"}, {{}, -1, m_dir.Path()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(::access((m_dir / "d1/x-speakers.wav").c_str(), F_OK) == 0 &&
                ::access((m_dir / "x-speakers.wav").c_str(), F_OK) == 0);
}

TEST_F(NothingLost, AFileCutShortIsRefusedInEveryContainer)
{
    const struct {
        const char* name;
        int format;
    } containers[] = {
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},     {"cut.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_24},
        {"cut.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT},      {"cut.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_32},   {"cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    };
    for (const auto& c : containers) {
        // Cut in the audio near its end, and near its start.
        for (double kept : {0.95, 0.6}) {
            const std::string path = m_dir / c.name;
            ASSERT_TRUE(sound_test::WriteSound(path, c.format, 4, Square(4000))) << c.name;
            struct stat st;
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            ASSERT_EQ(::truncate(path.c_str(), off_t(double(st.st_size) * kept)), 0);
            ExpectRefused({"-i", "fuma", c.name, "-o", "out.wav"}, 1, c.name + std::string(": "));
            ExpectRefused({"-i", "fuma", c.name, "-o", "out.wav"}, 1, "truncated");
            ::unlink(path.c_str());
        }
    }
}

TEST_F(NothingLost, FloatOutputOfIntegerInputKeepsWhatLiesAboveFullScale)
{
    // The same square wave as 16-bit, 24-bit and float input: the float outputs are the
    // same bits, above full scale where the decode puts them.
    const std::vector<int32_t> ints = Square(4800);
    std::vector<float> floats;
    for (int32_t v : ints) floats.push_back(float(std::ldexp(v, -31)));
    ASSERT_TRUE(sound_test::WriteSound(m_dir / "sq16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4, ints));
    ASSERT_TRUE(sound_test::WriteSound(m_dir / "sq24.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_24, 4, ints));
    ASSERT_TRUE(sound_test::WriteSound(m_dir / "sqf.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 4, floats));
    for (const std::vector<std::string>& output : std::vector<std::vector<std::string>>{{"-l", "octagon"}, {"--headphones"}}) {
        std::vector<std::vector<uint8_t>> written;
        for (const char* in : {"sq16.wav", "sq24.caf", "sqf.wav"}) {
            std::vector<std::string> args = {"-i", "fuma", m_dir / in, "-o", m_dir / "out.wav", "-f", "float", "-q"};
            args.insert(args.end(), output.begin(), output.end());
            const ProcessResult r = Run(args);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_GT(Peak(m_dir / "out.wav"), 1.2f) << in << " " << output[0];
            wave_test::WaveChunks chunks;
            ASSERT_TRUE(wave_test::SplitWave(wave_test::ReadFile(m_dir / "out.wav"), chunks));
            written.push_back(chunks.data);
        }
        EXPECT_EQ(written[0], written[2]) << output[0];
        EXPECT_EQ(written[1], written[2]) << output[0];
    }
    // Integer output still saturates, and says so.
    const ProcessResult r = Run({"-i", "fuma", m_dir / "sq16.wav", "-o", m_dir / "out.wav", "-l", "octagon"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("samples at full scale"), std::string::npos) << r.out;
}

TEST_F(NothingLost, RefusalsNameTheFileAndSayWhyInWords)
{
    Write("fast.amb", [] {
        WaveShape s;
        s.rate = 400000;
        return s;
    }());
    Write("faster.amb", [] {
        WaveShape s;
        s.rate = 800000;
        return s;
    }());
    Write("x.amb", WaveShape{});
    ExpectRefused({"fast.amb", "--headphones", SOFA_TEST_DIR "/grid.sofa", "-o", "out.wav"}, 1,
                  "fast.amb: sample rate of 400000 Hz is outside the range of headphones with a SOFA file (8000 to 384000 Hz)");
    ExpectRefused({"faster.amb", "--headphones", "-o", "out.wav"}, 1,
                  "faster.amb: sample rate of 800000 Hz is outside the range of the headphone decode (1000 to 768000 Hz)");
    ExpectRefused({"faster.amb", "-o", "out.flac"}, 1, "faster.amb: its sample rate of 800000 Hz is more than FLAC holds");

    // A file that is not HDF5 is not a SOFA file; an HDF5 file libmysofa cannot read is told apart.
    const std::vector<uint8_t> grid = wave_test::ReadFile(SOFA_TEST_DIR "/grid.sofa");
    ASSERT_TRUE(wave_test::WriteFile(m_dir / "cut.sofa", {grid.begin(), grid.begin() + grid.size() / 2}));
    ASSERT_TRUE(wave_test::WriteFile(m_dir / "text.sofa", {'n', 'o', '\n'}));
    ExpectRefused({"x.amb", "--headphones", "text.sofa"}, 1, "text.sofa: is not a SOFA file");
    ExpectRefused({"x.amb", "--headphones", "cut.sofa"}, 1, "cut.sofa: is a netCDF-4 (HDF5) file that libmysofa cannot read");
}

TEST_F(NothingLost, AKilledRunsTemporaryFileGoesWithTheNextRunAndARunningOnesStays)
{
    const std::string in = Write("x.amb", WaveShape{});
    ASSERT_TRUE(wave_test::WriteFile(m_dir / ".out.wav.k1LLed", {'o', 'l', 'd'}));
    ASSERT_TRUE(wave_test::WriteFile(m_dir / ".out.wav.keep", {'m', 'i', 'n', 'e'}));
    ASSERT_TRUE(wave_test::WriteFile(m_dir / ".out.wav.Runnin", {'b', 'u', 's', 'y'}));
    const int busy = ::open((m_dir / ".out.wav.Runnin").c_str(), O_RDWR);
    ASSERT_GE(busy, 0);
    ASSERT_EQ(::flock(busy, LOCK_EX), 0);
    const ProcessResult r = Run({in, "-o", m_dir / "out.wav", "-q"});
    ::close(busy);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(m_dir.Entries(), (std::vector<std::string>{".out.wav.Runnin", ".out.wav.keep", "out.wav", "x.amb"}));
}

}  // namespace
