// Sample formats of the interleaved stream and their conversions to and from doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace decoder {

// The four sample formats with a conversion path; None stands for any other format, which
// is converted by nothing.
enum class SampleFormat { None, Pcm16, Pcm24, Pcm32, Float32 };

// Bytes one sample occupies in the stream; 0 for None.
uint32_t BytesPerSample(SampleFormat format);

// v + 0.5 (rounded to double) truncated toward zero, limited to [lowest, highest] (whole
// numbers within the 32-bit range); NaN gives 0. Clamping before truncating gives the same as
// truncating before clamping, and keeps the conversion defined for every double.
inline int32_t RoundSaturate(double v, double lowest, double highest)
{
    const double t = v + 0.5;
    if (t != t) return 0;
    return static_cast<int32_t>(t < lowest ? lowest : t > highest ? highest : t);
}

// Four bytes at any alignment as a little-endian 32-bit word.
inline uint32_t ReadLittle32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Per-format traits: bytes per sample, sample -> double and double -> sample, for one sample
// at any byte alignment, little-endian. Integer samples are not scaled. Integer results
// saturate: kLowest and kHighest are the decoded values that give the smallest and largest
// sample, and anything beyond them gives that sample (a hot recording clips rather than
// wrapping round to the opposite sign); NaN gives 0.
struct Pcm16Format {
    static constexpr SampleFormat kFormat = SampleFormat::Pcm16;
    static constexpr size_t kBytes = 2;
    static constexpr double kLowest = -32768.0;
    static constexpr double kHighest = 32767.0;
    static double ToDouble(const uint8_t* p)
    {
        return static_cast<double>(static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))));
    }
    static void FromDouble(double v, uint8_t* p)
    {
        const uint32_t t = static_cast<uint32_t>(RoundSaturate(v, kLowest, kHighest));
        p[0] = static_cast<uint8_t>(t);
        p[1] = static_cast<uint8_t>(t >> 8);
    }
};

// 24-bit samples enter the decoder at 256 times their value (the three bytes form the top
// of a 32-bit integer) and leave it saturated to the 32-bit range, with the low 8 bits dropped.
struct Pcm24Format {
    static constexpr SampleFormat kFormat = SampleFormat::Pcm24;
    static constexpr size_t kBytes = 3;
    static constexpr double kLowest = -2147483648.0;
    static constexpr double kHighest = 2147483647.0;
    // The three bytes as the top of a 32-bit integer.
    static int32_t Word(const uint8_t* p)
    {
        return static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24));
    }
    static double ToDouble(const uint8_t* p) { return static_cast<double>(Word(p)); }
    static void FromDouble(double v, uint8_t* p)
    {
        const uint32_t t = static_cast<uint32_t>(RoundSaturate(v, kLowest, kHighest));
        p[0] = static_cast<uint8_t>(t >> 8);
        p[1] = static_cast<uint8_t>(t >> 16);
        p[2] = static_cast<uint8_t>(t >> 24);
    }
};

struct Pcm32Format {
    static constexpr SampleFormat kFormat = SampleFormat::Pcm32;
    static constexpr size_t kBytes = 4;
    static constexpr double kLowest = -2147483648.0;
    static constexpr double kHighest = 2147483647.0;
    static double ToDouble(const uint8_t* p)
    {
        return static_cast<double>(static_cast<int32_t>(ReadLittle32(p)));
    }
    static void FromDouble(double v, uint8_t* p)
    {
        const uint32_t t = static_cast<uint32_t>(RoundSaturate(v, kLowest, kHighest));
        p[0] = static_cast<uint8_t>(t);
        p[1] = static_cast<uint8_t>(t >> 8);
        p[2] = static_cast<uint8_t>(t >> 16);
        p[3] = static_cast<uint8_t>(t >> 24);
    }
};

// IEEE single precision: widened exactly on input, rounded to nearest on output, never
// clipped.
struct Float32Format {
    static constexpr SampleFormat kFormat = SampleFormat::Float32;
    static constexpr size_t kBytes = 4;
    static double ToDouble(const uint8_t* p)
    {
        const uint32_t u = ReadLittle32(p);
        float f;
        std::memcpy(&f, &u, sizeof f);
        return static_cast<double>(f);
    }
    static void FromDouble(double v, uint8_t* p)
    {
        const float f = static_cast<float>(v);
        uint32_t u;
        std::memcpy(&u, &f, sizeof u);
        p[0] = static_cast<uint8_t>(u);
        p[1] = static_cast<uint8_t>(u >> 8);
        p[2] = static_cast<uint8_t>(u >> 16);
        p[3] = static_cast<uint8_t>(u >> 24);
    }
};

// Calls fn(Traits{}) with the traits of `format` above; does nothing for None.
template <class Fn>
void WithFormat(SampleFormat format, Fn&& fn)
{
    switch (format) {
    case SampleFormat::Pcm16: fn(Pcm16Format{}); break;
    case SampleFormat::Pcm24: fn(Pcm24Format{}); break;
    case SampleFormat::Pcm32: fn(Pcm32Format{}); break;
    case SampleFormat::Float32: fn(Float32Format{}); break;
    default: break;
    }
}

// Frames first..n-1 of n interleaved frames of `channels` samples (frame f, channel c at index
// f * channels + c) into planes[0..channels-1], and back. The plain loops; the vector kernels
// run them for frames left over from their width.
template <class F>
void DeinterleaveFrames(const uint8_t* src, int32_t first, int32_t n, uint32_t channels, double* const* planes)
{
    for (int32_t f = first; f < n; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            planes[c][f] = F::ToDouble(src + (static_cast<size_t>(f) * channels + c) * F::kBytes);
}

template <class F>
void InterleaveFrames(double* const* planes, uint32_t channels, int32_t first, int32_t n, uint8_t* dst)
{
    for (int32_t f = first; f < n; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            F::FromDouble(planes[c][f], dst + (static_cast<size_t>(f) * channels + c) * F::kBytes);
}

// Splits n interleaved frames of `channels` samples into frames 0..n-1 of
// planes[0..channels-1]. n <= 0 or format None does nothing.
void DeinterleaveBlock(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                       double* const* planes);

// Writes frames 0..n-1 of planes[0..channels-1] as n interleaved frames into dst, which must
// hold n * channels * BytesPerSample(format) bytes; nothing past that is touched. n <= 0 or
// format None does nothing.
void InterleaveBlock(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                     uint8_t* dst);

}  // namespace decoder
