// B-Format and speaker-feed WAVE files at the byte level: reading and checking the header of
// a B-Format file, and building the header of a WAVE_FORMAT_EXTENSIBLE file around a format
// block. Plain C++ over the C library's FILE, so the Windows tests read the same files the
// same way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bformat {

using Guid = std::array<uint8_t, 16>;

// Subformats of WAVE_FORMAT_EXTENSIBLE, as the 16 bytes stored in a file.
extern const Guid kBFormatPcm;        // {00000001-0721-11D3-8644-C8C1CA000000}
extern const Guid kBFormatFloat;      // {00000003-0721-11D3-8644-C8C1CA000000}
extern const Guid kSubtypePcm;        // {00000001-0000-0010-8000-00AA00389B71}
extern const Guid kSubtypeFloat;      // {00000003-0000-0010-8000-00AA00389B71}

constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr size_t kExtensibleSize = 40;  // WAVEFORMATEX (18) + the extensible part (22)

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" for messages.
std::string GuidText(const Guid& guid);

// The sample formats a decode works in: integer PCM of 16, 24 or 32 bits, or 32-bit float.
enum class SampleType { Pcm16, Pcm24, Pcm32, Float32 };

uint32_t BytesPerSample(SampleType type);
// The integer PCM type of `bits`-bit samples; false, with `type` untouched, for any size but
// 16, 24 and 32.
bool PcmSampleType(uint16_t bits, SampleType& type);
const char* SampleTypeName(SampleType type);  // "16-bit PCM", ..., "32-bit float"

// The fields of a WAVEFORMATEXTENSIBLE format block, read from its little-endian bytes.
struct WaveFormat {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t cbSize = 0;
    uint16_t validBitsPerSample = 0;
    uint32_t channelMask = 0;
    Guid subFormat{};
};

// Reads the fields of a format block; false when it is shorter than `kExtensibleSize`
// (the WAVEFORMATEX part alone is read then, the rest stays zero).
bool ReadWaveFormat(const uint8_t* block, size_t size, WaveFormat& format);

// A B-Format file whose header has passed every check.
struct BFormatFile {
    std::vector<uint8_t> formatBlock;  // the fmt chunk's format block, 18 + cbSize bytes
    WaveFormat format;
    SampleType sampleType = SampleType::Pcm16;
    uint64_t dataOffset = 0;  // where the samples start in the file
    uint64_t dataBytes = 0;   // length of the data chunk, a whole number of frames
    uint64_t frames = 0;
};

// Reads the RIFF header of an open file (positioned anywhere) and checks that it is a
// B-Format file the decoder takes: a RIFF/WAVE file whose fmt chunk is WAVE_FORMAT_EXTENSIBLE
// with the B-Format PCM subformat at 16, 24 or 32 bits or the B-Format float subformat at 32
// bits, 3 or 4 channels, a consistent block size, a sample rate above 1000 Hz (the shelf's
// 500 Hz crossover must lie below the Nyquist frequency), and a data chunk that the file holds
// in full and that is a whole number of frames. `fileSize` is the file's length.
//
// On failure `error` says in one line what is wrong, in terms of the file.
bool ReadBFormatHeader(std::FILE* file, uint64_t fileSize, BFormatFile& result, std::string& error);

// The header of a WAVE file holding `dataBytes` bytes of samples described by `formatBlock`
// (written as the fmt chunk unchanged): RIFF, WAVE, fmt and the data chunk's header, with the
// samples to follow it. The data chunk's pad byte, when `dataBytes` is odd, is the writer's.
std::vector<uint8_t> BuildWaveHeader(const std::vector<uint8_t>& formatBlock, uint64_t dataBytes);

// The largest data chunk a RIFF file can describe with the header above.
uint64_t MaxWaveDataBytes(size_t formatBlockSize);

// The largest magnitude per channel of interleaved samples, as a fraction of full scale
// (integers) or as the value itself (float). `peaks` holds one entry per channel and is
// raised, never lowered. `bytes` is a whole number of frames.
void UpdatePeaks(const uint8_t* samples, size_t bytes, SampleType type, std::vector<double>& peaks);

}  // namespace bformat
