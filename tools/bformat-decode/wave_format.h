// The WAVEFORMATEXTENSIBLE format block that media types of audio carry, at the byte level:
// reading its fields and building one for a stream of the decoder's sample formats. Plain C++,
// so the Windows tests read the same blocks the same way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/sample_format.h"

namespace bformat {

using Guid = std::array<uint8_t, 16>;

// Subformats of WAVE_FORMAT_EXTENSIBLE, as the 16 bytes stored in a file.
extern const Guid kBFormatPcm;        // {00000001-0721-11D3-8644-C8C1CA000000}
extern const Guid kBFormatFloat;      // {00000003-0721-11D3-8644-C8C1CA000000}
extern const Guid kSubtypePcm;        // {00000001-0000-0010-8000-00AA00389B71}
extern const Guid kSubtypeFloat;      // {00000003-0000-0010-8000-00AA00389B71}

constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr size_t kExtensibleSize = 40;  // WAVEFORMATEX (18) + the extensible part (22)

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

// The decoder's sample format of an extensible block: PCM of 16, 24 or 32 bits or 32-bit
// float, in the B-Format or the plain subformats; None for anything else.
decoder::SampleFormat SampleFormatOf(const WaveFormat& format);

// A 40-byte WAVE_FORMAT_EXTENSIBLE block for `channels` channels of `sampleFormat` (not None)
// at `sampleRate`: the B-Format subformat of that sample format when `bFormat`, else the
// plain one; every bit valid, channel mask 0.
std::vector<uint8_t> BuildExtensibleBlock(uint16_t channels, uint32_t sampleRate, decoder::SampleFormat sampleFormat,
                                          bool bFormat);

// "16-bit PCM", "24-bit PCM", "32-bit PCM", "32-bit float"; "?" for None.
const char* SampleFormatName(decoder::SampleFormat format);

}  // namespace bformat
