// Helpers shared by the decoder tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "decoder/decoder_state.h"

namespace decoder_test {

using namespace decoder;

// A ready decoder for `decodeType` with `inChannels` inputs.
inline DecoderState MakeState(int8_t decodeType, uint32_t inChannels, int32_t capacity, double rate = 44100.0)
{
    DecoderState s;
    SetupDecoderCoefficients(s.m_Coefficients, decodeType);
    const auto r = s.Allocate(inChannels, SpeakerCount(decodeType), capacity, rate);
    if (r != DecoderState::AllocateResult::Ok) std::abort();
    return s;
}

inline uint64_t Bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Equal bits, or both NaN (which NaN survives when two meet may depend on operand order).
inline bool SameDouble(double a, double b) { return Bits(a) == Bits(b) || (std::isnan(a) && std::isnan(b)); }

// Paths to hold against the scalar one: every vector path this machine runs.
inline std::vector<DecodePath> VectorPaths()
{
    std::vector<DecodePath> paths;
    for (DecodePath p : {DecodePath::Sse2, DecodePath::Avx2, DecodePath::Fast})
        if (PathAvailable(p)) paths.push_back(p);
    return paths;
}

inline const char* Name(DecodePath p)
{
    switch (p) {
    case DecodePath::Scalar: return "Scalar";
    case DecodePath::Sse2: return "Sse2";
    case DecodePath::Avx2: return "Avx2";
    default: return "Fast";
    }
}

// Audio-like doubles at several scales, with now and then a value at a conversion edge.
inline std::vector<double> RandomSignal(std::mt19937& rng, size_t n, double scale)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng) * scale;
    return v;
}

}  // namespace decoder_test
