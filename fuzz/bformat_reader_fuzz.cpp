// Input files from the fuzzer into bformat-decode's reader: our header checks, then
// libsndfile's agreement, then the samples read raw.
//
// A file the reader refuses must come with a one-line reason and leave nothing open. A file
// it takes must describe itself consistently (a B-Format format block of 18 + cbSize bytes,
// 3 or 4 channels, a data chunk inside the file that is a whole number of frames), and
// reading it must deliver exactly its frames, byte for byte as they lie in the file, then
// report the end.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/bformat-decode/bformat_reader.h"

namespace {

// A file of our own for the input, on a memory file system when there is one.
const std::string& InputPath()
{
    static const std::string path = fuzz::MakeTemporaryDirectory("bformat-fuzz") + "/input.amb";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = InputPath();
    fuzz::WriteFile(path, data, size);

    bformat::BFormatReader reader;
    std::string error;
    if (!reader.Open(path, error)) {
        FUZZ_CHECK(!error.empty() && error.find('\n') == std::string::npos, "refused with \"%s\"", error.c_str());
        uint8_t none[16];
        FUZZ_CHECK(reader.Read(none, 1) == -1, "a refused file still reads");
        return 0;
    }

    const bformat::BFormatFile& file = reader.File();
    const bformat::WaveFormat& format = file.format;
    FUZZ_CHECK(format.channels == 3 || format.channels == 4, "%u channels", format.channels);
    FUZZ_CHECK(file.formatBlock.size() == 18u + format.cbSize && file.formatBlock.size() >= bformat::kExtensibleSize,
               "format block of %zu bytes, cbSize %u", file.formatBlock.size(), format.cbSize);
    const uint32_t frameBytes = format.channels * bformat::BytesPerSample(file.sampleType);
    FUZZ_CHECK(format.blockAlign == frameBytes, "block align %u for %u-byte frames", format.blockAlign, frameBytes);
    FUZZ_CHECK(file.dataOffset + file.dataBytes <= size && file.dataBytes == file.frames * frameBytes,
               "data of %llu bytes at %llu in a %zu-byte file", static_cast<unsigned long long>(file.dataBytes),
               static_cast<unsigned long long>(file.dataOffset), size);

    // Every frame, in reads of an odd size, exactly as the file holds them.
    std::vector<uint8_t> buffer(7 * static_cast<size_t>(frameBytes));
    uint64_t offset = file.dataOffset;
    for (;;) {
        const int64_t got = reader.Read(buffer.data(), 7);
        FUZZ_CHECK(got >= 0, "reading a file that opened failed: %s", reader.Error().c_str());
        if (got == 0) break;
        const size_t bytes = static_cast<size_t>(got) * frameBytes;
        FUZZ_CHECK(std::memcmp(buffer.data(), data + offset, bytes) == 0, "samples at %llu differ",
                   static_cast<unsigned long long>(offset));
        offset += bytes;
    }
    FUZZ_CHECK(reader.FramesRead() == file.frames && offset == file.dataOffset + file.dataBytes,
               "read %llu of %llu frames", static_cast<unsigned long long>(reader.FramesRead()),
               static_cast<unsigned long long>(file.frames));
    return 0;
}
