// Writes the B-Format inputs of the reference decodes in tests/data: short, deterministic
// signals from all directions at most levels, so that a decode that differs anywhere shows.
//
//   make_reference_inputs DIR     writes DIR/reference-pcm16.amb and DIR/reference-float3.amb
//
// Their decodes, DIR/reference-*-speakers.wav, are bformat-decode's output for them.
#include <cmath>
#include <cstdio>
#include <string>

#include "tests/tools/wave_builder.h"

namespace {

constexpr double kPi = 3.141592653589793;

// A noisy chirp whose direction turns twice round the listener while it rises.
void Signal(uint32_t frame, uint32_t frames, double* wxyz)
{
    const double t = double(frame) / frames;
    uint64_t x = frame * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    const double noise = double(x >> 11) / 9007199254740992.0 * 2 - 1;
    const double s = 0.3 * std::sin(2 * kPi * (40 + 4000 * t) * t * frames / 48000.0) + 0.1 * noise;
    const double a = 4 * kPi * t;
    wxyz[0] = s * 0.7071067811865476;
    wxyz[1] = s * std::cos(a);
    wxyz[2] = s * std::sin(a);
    wxyz[3] = 0.2 * noise;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_reference_inputs DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    wave_test::WaveShape pcm;
    pcm.frames = 4800;
    for (uint32_t f = 0; f < pcm.frames; ++f) {
        double v[4];
        Signal(f, pcm.frames, v);
        for (double c : v) wave_test::Put16(pcm.samples, uint16_t(int16_t(std::lround(c * 32767))));
    }

    wave_test::WaveShape flt;
    flt.channels = 3;
    flt.bits = 32;
    flt.rate = 44100;
    flt.subFormat = bformat::kBFormatFloat;
    flt.frames = 4410;
    for (uint32_t f = 0; f < flt.frames; ++f) {
        double v[4];
        Signal(f, flt.frames, v);
        for (int c = 0; c < 3; ++c) wave_test::PutFloat(flt.samples, float(v[c]));
    }

    const bool ok = wave_test::WriteFile(dir + "/reference-pcm16.amb", wave_test::BuildWave(pcm)) &&
                    wave_test::WriteFile(dir + "/reference-float3.amb", wave_test::BuildWave(flt));
    if (!ok) std::fprintf(stderr, "make_reference_inputs: cannot write into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
