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

// v + 0.5 (rounded to double) truncated toward zero to a signed 64-bit integer. A sum of
// magnitude 2^63 or more, or a NaN, gives INT64_MIN (only the sign bit set), as the x86-64
// truncating conversion does; written out because the C++ conversion is undefined there.
inline int64_t RoundHalfUp(double v)
{
    const double t = v + 0.5;
    if (!(t > -9223372036854775808.0 && t < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(t);
}

// Four bytes at any alignment as a little-endian 32-bit word.
inline uint32_t ReadLittle32(const uint8_t* p)
{
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Per-format traits: bytes per sample, sample -> double and double -> sample, for one sample
// at any byte alignment, little-endian. Integer samples are not scaled; results outside the
// sample range wrap (only the low-order bits of RoundHalfUp(v) are kept).
struct Pcm16Format {
    static constexpr SampleFormat kFormat = SampleFormat::Pcm16;
    static constexpr size_t kBytes = 2;
    static double ToDouble(const uint8_t* p)
    {
        return static_cast<double>(static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))));
    }
    static void FromDouble(double v, uint8_t* p)
    {
        const uint64_t t = static_cast<uint64_t>(RoundHalfUp(v));
        p[0] = static_cast<uint8_t>(t);
        p[1] = static_cast<uint8_t>(t >> 8);
    }
};

// 24-bit samples enter the decoder at 256 times their value (the three bytes form the top
// of a 32-bit integer) and leave it with the low 8 bits of RoundHalfUp(v) dropped.
struct Pcm24Format {
    static constexpr SampleFormat kFormat = SampleFormat::Pcm24;
    static constexpr size_t kBytes = 3;
    // The three bytes as the top of a 32-bit integer.
    static int32_t Word(const uint8_t* p)
    {
        return static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24));
    }
    static double ToDouble(const uint8_t* p) { return static_cast<double>(Word(p)); }
    static void FromDouble(double v, uint8_t* p)
    {
        const uint32_t t = static_cast<uint32_t>(static_cast<uint64_t>(RoundHalfUp(v)));
        p[0] = static_cast<uint8_t>(t >> 8);
        p[1] = static_cast<uint8_t>(t >> 16);
        p[2] = static_cast<uint8_t>(t >> 24);
    }
};

struct Pcm32Format {
    static constexpr SampleFormat kFormat = SampleFormat::Pcm32;
    static constexpr size_t kBytes = 4;
    static double ToDouble(const uint8_t* p)
    {
        return static_cast<double>(static_cast<int32_t>(ReadLittle32(p)));
    }
    static void FromDouble(double v, uint8_t* p)
    {
        const uint64_t t = static_cast<uint64_t>(RoundHalfUp(v));
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

// Splits n interleaved frames of `channels` samples (frame f, channel c at index
// f * channels + c) into frames 0..n-1 of planes[0..channels-1]. n <= 0 or format None does
// nothing. Vectorised for 3 and 4 channels; identical to the scalar version.
void DeinterleaveBlock(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                       double* const* planes);
void DeinterleaveBlockScalar(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                             double* const* planes);

// Writes frames 0..n-1 of planes[0..channels-1] as n interleaved frames into dst, which must
// hold n * channels * BytesPerSample(format) bytes; nothing past that is touched. n <= 0 or
// format None does nothing. Vectorised for 4, 6 and 8 channels; identical to the scalar
// version.
void InterleaveBlock(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                     uint8_t* dst);
void InterleaveBlockScalar(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                           uint8_t* dst);

}  // namespace decoder
