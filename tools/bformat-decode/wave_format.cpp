#include "tools/bformat-decode/wave_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
uint32_t Le32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void PutLe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool Seek(std::FILE* file, uint64_t offset)
{
#if defined(_WIN32)
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool ReadExactly(std::FILE* file, uint64_t offset, void* buffer, size_t size)
{
    return Seek(file, offset) && std::fread(buffer, 1, size, file) == size;
}

// A chunk id for messages: printable characters as they are, anything else as '?'.
std::string FourCC(const uint8_t* id)
{
    std::string text = "'";
    for (int i = 0; i < 4; ++i) text += (id[i] >= 0x20 && id[i] < 0x7F) ? static_cast<char>(id[i]) : '?';
    return text + "'";
}

std::string Format(const char* pattern, unsigned long long a, unsigned long long b = 0, unsigned long long c = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

// The first problem with the format block of a file, or an empty string.
std::string CheckFormat(const std::vector<uint8_t>& chunk, BFormatFile& result)
{
    WaveFormat& f = result.format;
    ReadWaveFormat(chunk.data(), chunk.size(), f);

    if (f.formatTag != kFormatExtensible) {
        std::string kind;
        switch (f.formatTag) {
        case 0x0001: kind = "integer PCM"; break;
        case 0x0003: kind = "IEEE float"; break;
        default: kind = Format("format tag 0x%04llX", f.formatTag); break;
        }
        return "a plain WAVE file (" + kind +
               "), not B-Format: B-Format is WAVE_FORMAT_EXTENSIBLE with a B-Format subformat";
    }
    if (chunk.size() < kExtensibleSize || f.cbSize < kExtensibleSize - 18) {
        return Format("WAVE_FORMAT_EXTENSIBLE header too short (fmt chunk %llu bytes, cbSize %llu; "
                      "needs 40 and 22)",
                      chunk.size(), f.cbSize);
    }
    if (chunk.size() < 18u + f.cbSize) {
        return Format("fmt chunk of %llu bytes is shorter than its cbSize of %llu says", chunk.size(), f.cbSize);
    }
    const bool isFloat = f.subFormat == kBFormatFloat;
    if (!isFloat && f.subFormat != kBFormatPcm) {
        if (f.subFormat == kSubtypePcm) return "a plain WAVE_FORMAT_EXTENSIBLE file (integer PCM), not B-Format";
        if (f.subFormat == kSubtypeFloat) return "a plain WAVE_FORMAT_EXTENSIBLE file (IEEE float), not B-Format";
        return "subformat " + GuidText(f.subFormat) + " is not a B-Format subformat";
    }
    if (f.channels != 3 && f.channels != 4) {
        return Format("%llu channels: B-Format needs 3 (W, X, Y) or 4 (W, X, Y, Z)", f.channels);
    }
    if (isFloat) {
        if (f.bitsPerSample != 32) {
            return Format("%llu-bit float samples: B-Format float samples must be 32-bit", f.bitsPerSample);
        }
        result.sampleType = SampleType::Float32;
    } else if (!PcmSampleType(f.bitsPerSample, result.sampleType)) {
        return Format("%llu-bit samples: B-Format integer samples must be 16, 24 or 32-bit", f.bitsPerSample);
    }
    if (f.validBitsPerSample > f.bitsPerSample) {
        return Format("%llu valid bits per sample in %llu-bit samples", f.validBitsPerSample, f.bitsPerSample);
    }
    const uint32_t frameBytes = f.channels * BytesPerSample(result.sampleType);
    if (f.blockAlign != frameBytes) {
        return Format("block align of %llu bytes does not match %llu channels of %llu-bit samples",
                      f.blockAlign, f.channels, f.bitsPerSample);
    }
    if (f.sampleRate == 0) return "sample rate of 0 Hz";
    if (f.sampleRate <= 1000) {
        return Format("sample rate of %llu Hz is too low: the decoder's 500 Hz crossover needs more than 1000 Hz",
                      f.sampleRate);
    }
    return {};
}

}  // namespace

std::string GuidText(const Guid& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(Le32(&g[0])), static_cast<unsigned>(Le16(&g[4])),
                  static_cast<unsigned>(Le16(&g[6])), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

uint32_t BytesPerSample(SampleType type)
{
    switch (type) {
    case SampleType::Pcm16: return 2;
    case SampleType::Pcm24: return 3;
    case SampleType::Pcm32: return 4;
    case SampleType::Float32: return 4;
    }
    return 0;
}

bool PcmSampleType(uint16_t bits, SampleType& type)
{
    switch (bits) {
    case 16: type = SampleType::Pcm16; return true;
    case 24: type = SampleType::Pcm24; return true;
    case 32: type = SampleType::Pcm32; return true;
    }
    return false;
}

const char* SampleTypeName(SampleType type)
{
    switch (type) {
    case SampleType::Pcm16: return "16-bit PCM";
    case SampleType::Pcm24: return "24-bit PCM";
    case SampleType::Pcm32: return "32-bit PCM";
    case SampleType::Float32: return "32-bit float";
    }
    return "?";
}

bool ReadWaveFormat(const uint8_t* b, size_t size, WaveFormat& f)
{
    f = WaveFormat{};
    if (size < 16) return false;
    f.formatTag = Le16(b);
    f.channels = Le16(b + 2);
    f.sampleRate = Le32(b + 4);
    f.avgBytesPerSec = Le32(b + 8);
    f.blockAlign = Le16(b + 12);
    f.bitsPerSample = Le16(b + 14);
    if (size < 18) return false;
    f.cbSize = Le16(b + 16);
    if (size < kExtensibleSize) return false;
    f.validBitsPerSample = Le16(b + 18);
    f.channelMask = Le32(b + 20);
    std::memcpy(f.subFormat.data(), b + 24, 16);
    return true;
}

bool ReadBFormatHeader(std::FILE* file, uint64_t fileSize, BFormatFile& result, std::string& error)
{
    result = BFormatFile{};
    uint8_t riff[12];
    if (fileSize < sizeof riff || !ReadExactly(file, 0, riff, sizeof riff)) {
        error = "not a WAVE file (too short for a RIFF header)";
        return false;
    }
    if (std::memcmp(riff, "RIFF", 4) != 0) {
        if (std::memcmp(riff, "RF64", 4) == 0) error = "RF64 (64-bit WAVE) files are not supported";
        else if (std::memcmp(riff, "RIFX", 4) == 0) error = "big-endian RIFX files are not supported";
        else error = "not a WAVE file (no RIFF header)";
        return false;
    }
    if (std::memcmp(riff + 8, "WAVE", 4) != 0) {
        error = "not a WAVE file (a RIFF file of type " + FourCC(riff + 8) + ")";
        return false;
    }

    // Walk the chunks up to the data chunk; whatever follows it does not matter.
    std::vector<uint8_t> fmt;
    bool haveFmt = false;
    uint64_t offset = sizeof riff;
    while (offset + 8 <= fileSize) {
        uint8_t head[8];
        if (!ReadExactly(file, offset, head, sizeof head)) break;
        const uint64_t size = Le32(head + 4);
        const uint64_t body = offset + 8;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            if (haveFmt) {
                error = "two fmt chunks";
                return false;
            }
            if (size < 16) {
                error = Format("fmt chunk of %llu bytes is too short", size);
                return false;
            }
            if (size > 1024) {
                error = Format("fmt chunk of %llu bytes is too long for a wave format", size);
                return false;
            }
            if (body + size > fileSize) {
                error = "fmt chunk runs past the end of the file";
                return false;
            }
            fmt.resize(static_cast<size_t>(size));
            if (!ReadExactly(file, body, fmt.data(), fmt.size())) {
                error = "cannot read the fmt chunk";
                return false;
            }
            haveFmt = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFmt) {
                error = "the data chunk comes before any fmt chunk";
                return false;
            }
            error = CheckFormat(fmt, result);
            if (!error.empty()) return false;
            const uint64_t available = fileSize - body;
            if (size > available) {
                error = Format("truncated: the data chunk should hold %llu bytes but the file ends after %llu", size,
                               available);
                return false;
            }
            const uint32_t frameBytes = result.format.blockAlign;
            if (size % frameBytes != 0) {
                error = Format("the data chunk of %llu bytes is not a whole number of %llu-byte frames", size,
                               frameBytes);
                return false;
            }
            result.formatBlock.assign(fmt.begin(), fmt.begin() + 18 + result.format.cbSize);
            result.dataOffset = body;
            result.dataBytes = size;
            result.frames = size / frameBytes;
            return true;
        }
        offset = body + size + (size & 1);
    }
    if (!haveFmt) {
        error = "not a complete WAVE file (no fmt chunk)";
        return false;
    }
    error = CheckFormat(fmt, result);
    if (error.empty()) error = "no data chunk (the file holds a header but no audio)";
    return false;
}

uint64_t MaxWaveDataBytes(size_t formatBlockSize)
{
    // The RIFF size counts "WAVE", the fmt chunk with its header and pad, and the data
    // chunk's header, data and pad; it must fit in 32 bits.
    const uint64_t overhead = 4 + 8 + formatBlockSize + (formatBlockSize & 1) + 8;
    return (0xFFFFFFFFull - overhead) & ~uint64_t{1};
}

std::vector<uint8_t> BuildWaveHeader(const std::vector<uint8_t>& formatBlock, uint64_t dataBytes)
{
    const size_t fmtSize = formatBlock.size();
    const size_t fmtPadded = fmtSize + (fmtSize & 1);
    std::vector<uint8_t> header(12 + 8 + fmtPadded + 8, 0);
    const uint64_t riffSize = 4 + 8 + fmtPadded + 8 + dataBytes + (dataBytes & 1);
    std::memcpy(&header[0], "RIFF", 4);
    PutLe32(&header[4], static_cast<uint32_t>(riffSize));
    std::memcpy(&header[8], "WAVE", 4);
    std::memcpy(&header[12], "fmt ", 4);
    PutLe32(&header[16], static_cast<uint32_t>(fmtSize));
    std::copy(formatBlock.begin(), formatBlock.end(), header.begin() + 20);
    uint8_t* data = &header[20 + fmtPadded];
    std::memcpy(data, "data", 4);
    PutLe32(data + 4, static_cast<uint32_t>(dataBytes));
    return header;
}

namespace {

// The largest magnitude per channel of samples read by `read`, over whole frames. The loop
// keeps the raw extremes and divides once at the end; with the channel count fixed at compile
// time (4, the decoder's speakers) it runs as straight vector code.
template <size_t Channels, typename Read>
void ScanFixed(const uint8_t* p, size_t frames, size_t sampleBytes, double fullScale, std::vector<double>& peaks,
               Read read)
{
    using Value = decltype(read(p));
    Value low[Channels], high[Channels];
    for (size_t c = 0; c < Channels; ++c) low[c] = high[c] = 0;
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < Channels; ++c) {
            const Value v = read(p + (f * Channels + c) * sampleBytes);
            low[c] = v < low[c] ? v : low[c];
            high[c] = v > high[c] ? v : high[c];
        }
    }
    for (size_t c = 0; c < Channels; ++c) {
        const double m = std::max(-static_cast<double>(low[c]), static_cast<double>(high[c])) / fullScale;
        if (m > peaks[c]) peaks[c] = m;
    }
}

template <typename Read>
void Scan(const uint8_t* p, size_t bytes, size_t sampleBytes, double fullScale, std::vector<double>& peaks, Read read)
{
    const size_t channels = peaks.size();
    if (channels == 0) return;
    const size_t frames = bytes / (channels * sampleBytes);
    if (channels == 4) return ScanFixed<4>(p, frames, sampleBytes, fullScale, peaks, read);
    for (size_t c = 0; c < channels; ++c) {
        // One channel at a time, reading every channels-th sample.
        using Value = decltype(read(p));
        Value low = 0, high = 0;
        for (size_t f = 0; f < frames; ++f) {
            const Value v = read(p + (f * channels + c) * sampleBytes);
            low = v < low ? v : low;
            high = v > high ? v : high;
        }
        const double m = std::max(-static_cast<double>(low), static_cast<double>(high)) / fullScale;
        if (m > peaks[c]) peaks[c] = m;
    }
}

// A lambda rather than a function, so that the scans inline it.
constexpr auto ReadPcm16 = [](const uint8_t* s) { return int32_t(int16_t(Le16(s))); };

#if defined(__SSE2__)
// 16-bit samples of four channels, two frames per 128-bit step: lanes 0-3 and 4-7 hold the
// same channels and are folded together at the end.
void Scan16Quad(const uint8_t* p, size_t bytes, std::vector<double>& peaks)
{
    const size_t pairs = bytes / 16;
    __m128i low = _mm_setzero_si128(), high = _mm_setzero_si128();
    for (size_t i = 0; i < pairs; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i * 16));
        low = _mm_min_epi16(low, v);
        high = _mm_max_epi16(high, v);
    }
    int16_t lows[8], highs[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lows), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(highs), high);
    for (size_t c = 0; c < 4; ++c) {
        const double m = std::max(-double(std::min(lows[c], lows[c + 4])), double(std::max(highs[c], highs[c + 4])));
        if (m / 32768.0 > peaks[c]) peaks[c] = m / 32768.0;
    }
    // An odd frame at the end.
    if ((bytes / 8) % 2) Scan(p + pairs * 16, 8, 2, 32768.0, peaks, ReadPcm16);
}
#endif

}  // namespace

void UpdatePeaks(const uint8_t* p, size_t bytes, SampleType type, std::vector<double>& peaks)
{
    switch (type) {
    case SampleType::Pcm16:
#if defined(__SSE2__)
        if (peaks.size() == 4) {
            Scan16Quad(p, bytes, peaks);
            break;
        }
#endif
        Scan(p, bytes, 2, 32768.0, peaks, ReadPcm16);
        break;
    case SampleType::Pcm24:
        Scan(p, bytes, 3, 2147483648.0, peaks, [](const uint8_t* s) {
            return int64_t(int32_t((uint32_t{s[0]} << 8) | (uint32_t{s[1]} << 16) | (uint32_t{s[2]} << 24)));
        });
        break;
    case SampleType::Pcm32:
        Scan(p, bytes, 4, 2147483648.0, peaks, [](const uint8_t* s) { return int64_t(int32_t(Le32(s))); });
        break;
    case SampleType::Float32:
        // NaNs are no level: both comparisons fail and leave the extremes as they were.
        Scan(p, bytes, 4, 1.0, peaks, [](const uint8_t* s) {
            const uint32_t u = Le32(s);
            float f;
            std::memcpy(&f, &u, sizeof f);
            return f;
        });
        break;
    }
}

}  // namespace bformat
