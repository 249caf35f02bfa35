#include "tools/bformat-decode/wave_format.h"

#include <cstring>

namespace bformat {

const Guid kBFormatPcm = {0x01, 0x00, 0x00, 0x00, 0x21, 0x07, 0xD3, 0x11,
                          0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00};
const Guid kBFormatFloat = {0x03, 0x00, 0x00, 0x00, 0x21, 0x07, 0xD3, 0x11,
                            0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00};
const Guid kSubtypePcm = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const Guid kSubtypeFloat = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void PutLe16(std::vector<uint8_t>& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(std::vector<uint8_t>& b, uint32_t v)
{
    PutLe16(b, static_cast<uint16_t>(v));
    PutLe16(b, static_cast<uint16_t>(v >> 16));
}

}  // namespace

bool ReadWaveFormat(const uint8_t* b, size_t size, WaveFormat& f)
{
    f = WaveFormat{};
    if (size < 16) return false;
    f.formatTag = Le16(b);
    f.channels = Le16(b + 2);
    f.sampleRate = decoder::ReadLittle32(b + 4);
    f.avgBytesPerSec = decoder::ReadLittle32(b + 8);
    f.blockAlign = Le16(b + 12);
    f.bitsPerSample = Le16(b + 14);
    if (size < 18) return false;
    f.cbSize = Le16(b + 16);
    if (size < kExtensibleSize) return false;
    f.validBitsPerSample = Le16(b + 18);
    f.channelMask = decoder::ReadLittle32(b + 20);
    std::memcpy(f.subFormat.data(), b + 24, 16);
    return true;
}

decoder::SampleFormat SampleFormatOf(const WaveFormat& f)
{
    if (f.formatTag != kFormatExtensible) return decoder::SampleFormat::None;
    if (f.subFormat == kBFormatFloat || f.subFormat == kSubtypeFloat) {
        return f.bitsPerSample == 32 ? decoder::SampleFormat::Float32 : decoder::SampleFormat::None;
    }
    if (f.subFormat != kBFormatPcm && f.subFormat != kSubtypePcm) return decoder::SampleFormat::None;
    switch (f.bitsPerSample) {
    case 16: return decoder::SampleFormat::Pcm16;
    case 24: return decoder::SampleFormat::Pcm24;
    case 32: return decoder::SampleFormat::Pcm32;
    default: return decoder::SampleFormat::None;
    }
}

std::vector<uint8_t> BuildExtensibleBlock(uint16_t channels, uint32_t sampleRate, decoder::SampleFormat sampleFormat,
                                          bool bFormat)
{
    const bool isFloat = sampleFormat == decoder::SampleFormat::Float32;
    const uint16_t bytes = static_cast<uint16_t>(decoder::BytesPerSample(sampleFormat));
    const uint16_t blockAlign = static_cast<uint16_t>(channels * bytes);
    std::vector<uint8_t> block;
    block.reserve(kExtensibleSize);
    PutLe16(block, kFormatExtensible);
    PutLe16(block, channels);
    PutLe32(block, sampleRate);
    PutLe32(block, sampleRate * blockAlign);
    PutLe16(block, blockAlign);
    PutLe16(block, static_cast<uint16_t>(bytes * 8));
    PutLe16(block, static_cast<uint16_t>(kExtensibleSize - 18));
    PutLe16(block, static_cast<uint16_t>(bytes * 8));
    PutLe32(block, 0);
    const Guid& subFormat = bFormat ? (isFloat ? kBFormatFloat : kBFormatPcm) : (isFloat ? kSubtypeFloat : kSubtypePcm);
    block.insert(block.end(), subFormat.begin(), subFormat.end());
    return block;
}

const char* SampleFormatName(decoder::SampleFormat format)
{
    switch (format) {
    case decoder::SampleFormat::Pcm16: return "16-bit PCM";
    case decoder::SampleFormat::Pcm24: return "24-bit PCM";
    case decoder::SampleFormat::Pcm32: return "32-bit PCM";
    case decoder::SampleFormat::Float32: return "32-bit float";
    default: return "?";
    }
}

}  // namespace bformat
