// Helpers shared by the decoder tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "decoder/decoder_testing.h"
#include "decoder/renderer.h"

namespace decoder_test {

using namespace decoder;

constexpr double kPi = 3.141592653589793;

// Largest difference allowed between the block convolution (single precision: input rounded to
// float, transforms and sums in float, output rounded to float) and a double-precision
// reference, as a fraction of the output's peak. Measured near 2.6e-7, about two units in
// float's last place; 16 units (1.9e-6, -114 dB) leave room for longer filters and sums, while
// a wrong filter, a lost partition or a misplaced block is off by a good part of the peak.
constexpr double kConvolutionTolerance = 16 * 1.1920928955078125e-7;

// The spectrum of the response `h` (at `rate` Hz) at `hz`: one bin of its Fourier transform.
inline std::complex<double> SpectrumAt(const std::vector<double>& h, double hz, double rate)
{
    std::complex<double> sum;
    for (size_t i = 0; i < h.size(); ++i) sum += h[i] * std::polar(1.0, -2.0 * kPi * hz * static_cast<double>(i) / rate);
    return sum;
}

// A ready decoder for the built-in rig of `decodeType` with `inChannels` inputs, running the
// kernel Prepare() chose or, when `set` is given, the kernel of that instruction set.
inline DecoderState MakeState(int decodeType, uint32_t inChannels, int32_t capacity)
{
    DecoderState s(BuiltInRig(static_cast<LayoutId>(decodeType)));
    if (s.Prepare({inChannels, 44100.0, capacity}) != PrepareResult::Ok) std::abort();
    return s;
}

// The built-in rig `id` cut to (or padded with speakers at the front to) `speakers` speakers,
// its gain table as it is: for decodes of other speaker counts.
inline Rig ResizedRig(LayoutId id, uint32_t speakers)
{
    Rig rig = BuiltInRig(id);
    rig.layout.reset();
    rig.speakers.resize(speakers);
    return rig;
}

inline DecoderState MakeState(int decodeType, uint32_t inChannels, int32_t capacity, InstructionSet set)
{
    DecoderState s = MakeState(decodeType, inChannels, capacity);
    if (!UseInstructionSet(s, set)) std::abort();
    return s;
}

inline uint64_t Bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline uint32_t Bits(float v)
{
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Equal bits, or both NaN (which NaN survives when two meet may depend on operand order).
inline bool SameDouble(double a, double b) { return Bits(a) == Bits(b) || (std::isnan(a) && std::isnan(b)); }

inline double Peak(const std::vector<double>& v)
{
    double peak = 0.0;
    for (double x : v) peak = std::max(peak, std::fabs(x));
    return peak;
}

inline std::vector<double> RandomSignal(std::mt19937& rng, size_t n, double scale)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng) * scale;
    return v;
}

// Planes of n frames per channel; I() and O() give the plane pointers from frame `first`.
struct Planes {
    std::vector<std::vector<double>> in, out;
    double* ptr[2][64] = {};  // up to 64 planes each (a seventh-order input)
    Planes(uint32_t inChannels, uint32_t speakers, size_t n, double fill = 0.0)
        : in(inChannels, std::vector<double>(n, fill)), out(speakers, std::vector<double>(n, fill)) {}
    double* const* I(size_t first = 0) { return Point(in, ptr[0], first); }
    double* const* O(size_t first = 0) { return Point(out, ptr[1], first); }
    static double* const* Point(std::vector<std::vector<double>>& set, double** p, size_t first)
    {
        for (size_t c = 0; c < set.size(); ++c) p[c] = set[c].data() + first;
        return p;
    }
};

// Interleaved frames of Stream().inChannels doubles through a prepared renderer, as 32-bit
// floats both ways.
inline std::vector<double> RenderFloat(Renderer& r, const std::vector<double>& in)
{
    const uint32_t inChannels = r.Stream().inChannels;
    const size_t frames = in.size() / inChannels;
    std::vector<uint8_t> src(in.size() * 4), dst(frames * r.OutputChannels() * 4);
    for (size_t i = 0; i < in.size(); ++i) Float32Format::FromDouble(in[i], &src[i * 4]);
    r.Render(SampleFormat::Float32, src.data(), dst.data(), frames);
    std::vector<double> out(dst.size() / 4);
    for (size_t i = 0; i < out.size(); ++i) out[i] = Float32Format::ToDouble(&dst[i * 4]);
    return out;
}

}  // namespace decoder_test
