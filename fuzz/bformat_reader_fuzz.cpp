// Input files from the fuzzer into bformat-decode's reader, which opens them through
// libsndfile, in each of the three conventions (none named, FuMa, ambiX).
//
// A file the reader refuses must come with a one-line reason and leave nothing open. A file
// it takes must describe itself consistently (a channel count of the convention's sets, 3 or
// 4 first-order channels, some audio, a rate above 1000 Hz), and reading it must deliver its
// frames, then report the end, or fail with a one-line reason. What it delivers must be what
// libsndfile reads from the same file: FuMa's first channels exactly, ambiX's W, X, Y, Z from
// ACN channels 0, 3, 1, 2 with W scaled by 1/sqrt(2).
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/bformat-decode/bformat_reader.h"

namespace {

// A file of our own for the input, on a memory file system when there is one.
const std::string& InputPath()
{
    static const std::string path = fuzz::MakeTemporaryDirectory("bformat-fuzz") + "/input.amb";
    return path;
}

// Frames compared with libsndfile's own reading, at most.
constexpr uint64_t kComparedFrames = 4096;

bool FumaCount(unsigned channels)
{
    for (unsigned n : {3, 4, 5, 6, 7, 8, 9, 11, 16}) {
        if (channels == n) return true;
    }
    return false;
}

// The delivered sample at `p` at the full 32-bit scale (integers) or as it is (float).
double Delivered(decoder::SampleFormat format, const uint8_t* p)
{
    double v = 0;
    decoder::WithFormat(format, [&](auto traits) { v = decltype(traits)::ToDouble(p); });
    return format == decoder::SampleFormat::Pcm16 ? v * 65536 : v;
}

void CheckOpened(const std::string& path, bformat::BFormatReader& reader, bformat::Convention asked)
{
    const bformat::InputDescription& d = reader.Description();
    const bool ambix = d.convention == bformat::Convention::AmbiX || d.convention == bformat::Convention::N3d;
    FUZZ_CHECK(d.flagged ? d.convention == bformat::Convention::FuMa
                         : asked != bformat::Convention::Unspecified && d.convention == asked,
               "convention %d read for %d, flagged %d", int(d.convention), int(asked), int(d.flagged));
    FUZZ_CHECK(ambix ? (d.order + 1) * (d.order + 1) == d.channels : FumaCount(d.channels), "%u channels of order %u",
               d.channels, d.order);
    FUZZ_CHECK(d.firstOrderChannels == 4 || (!ambix && d.firstOrderChannels == 3), "%u first-order channels",
               d.firstOrderChannels);
    FUZZ_CHECK(d.frames > 0 && d.sampleRate > 1000, "%llu frames at %u Hz", static_cast<unsigned long long>(d.frames),
               d.sampleRate);
    const decoder::SampleFormat delivered = reader.DeliveredFormat();
    FUZZ_CHECK(delivered != decoder::SampleFormat::None, "no delivered format");

    // libsndfile's own reading of the same file.
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    FUZZ_CHECK(file != nullptr, "libsndfile opens the file only once");
    const bool floats = delivered == decoder::SampleFormat::Float32;
    std::vector<int32_t> ints(kComparedFrames * d.channels);
    std::vector<float> reals(kComparedFrames * d.channels);
    const sf_count_t reference = floats ? sf_readf_float(file, reals.data(), kComparedFrames)
                                        : sf_readf_int(file, ints.data(), kComparedFrames);
    sf_close(file);

    // Every channel as it lies in the file.
    const size_t sampleBytes = decoder::BytesPerSample(delivered);
    const size_t frameBytes = sampleBytes * d.channels;
    std::vector<uint8_t> buffer(7 * frameBytes);
    uint64_t done = 0;
    for (;;) {
        const int64_t got = reader.Read(buffer.data(), 7);
        if (got < 0) {
            FUZZ_CHECK(!reader.Error().empty() && reader.Error().find('\n') == std::string::npos,
                       "failed with \"%s\"", reader.Error().c_str());
            return;
        }
        if (got == 0) break;
        FUZZ_CHECK(got <= 7, "%lld frames for 7", static_cast<long long>(got));
        for (int64_t f = 0; f < got; ++f, ++done) {
            if (done >= static_cast<uint64_t>(reference)) continue;
            for (unsigned c = 0; c < d.channels; ++c) {
                const double v = Delivered(delivered, &buffer[static_cast<size_t>(f) * frameBytes + c * sampleBytes]);
                const size_t at = static_cast<size_t>(done) * d.channels + c;
                const double expected = floats ? static_cast<double>(reals[at]) : static_cast<double>(ints[at]);
                FUZZ_CHECK(v == expected || (v != v && expected != expected),
                           "frame %llu channel %u: %.9g for %.9g", static_cast<unsigned long long>(done), c, v,
                           expected);
            }
        }
    }
    FUZZ_CHECK(done == d.frames && reader.FramesRead() == d.frames, "read %llu of %llu frames",
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(d.frames));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = InputPath();
    fuzz::WriteFile(path, data, size);

    for (bformat::Convention convention :
         {bformat::Convention::Unspecified, bformat::Convention::FuMa, bformat::Convention::AmbiX,
          bformat::Convention::N3d}) {
        bformat::BFormatReader reader;
        std::string error;
        if (!reader.Open(path, convention, error)) {
            FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos, "refused with \"%s\"", error.c_str());
            uint8_t none[16];
            FUZZ_CHECK(reader.Read(none, 1) == -1, "a refused file still reads");
            continue;
        }
        CheckOpened(path, reader, convention);
    }
    return 0;
}
