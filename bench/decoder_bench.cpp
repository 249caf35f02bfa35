// Frames per second of the decoder core: the block decode alone, and the whole path from
// interleaved input samples to interleaved speaker samples (deinterleave, decode,
// interleave), for every sample format, with 4 and 3 input channels, on the scalar path, the
// 128-bit path and the fast path (the best this processor runs) in the same run.
//
//   cmake --preset native && cmake --build --preset native --target decoder_bench
//   build/native/bench/decoder_bench [--benchmark_filter=Whole/Pcm16/4ch]
//
// Input is random audio at half of full scale (real B-Format leaves that much headroom; at
// full scale some mixed sums leave the integer range and wrap), decoded with decode type 0
// (four speakers) at 48 kHz in blocks of 4096 frames.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder/decoder_state.h"

namespace {

using namespace decoder;

constexpr int32_t kBlockFrames = 4096;

struct Setup {
    DecoderState state;
    std::vector<uint8_t> src;
    std::vector<uint8_t> dst;
};

// Fills `s` with a ready decoder and one block of random input in `format`.
bool Prepare(Setup& s, SampleFormat format, uint32_t inChannels)
{
    SetupDecoderCoefficients(s.state.m_Coefficients, 0);
    if (s.state.Allocate(inChannels, SpeakerCount(0), kBlockFrames, 48000.0) != DecoderState::AllocateResult::Ok)
        return false;
    const size_t bytes = BytesPerSample(format);
    const size_t samples = static_cast<size_t>(kBlockFrames) * inChannels;
    s.src.resize(samples * bytes);
    s.dst.resize(static_cast<size_t>(kBlockFrames) * s.state.m_nSpeakers * bytes);
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> half(-0.5, 0.5);
    for (size_t i = 0; i < samples; ++i) {
        uint8_t* p = s.src.data() + i * bytes;
        switch (format) {
        case SampleFormat::Pcm16: Pcm16Format::FromDouble(half(rng) * 65536.0, p); break;
        case SampleFormat::Pcm24: Pcm24Format::FromDouble(half(rng) * 4294967296.0, p); break;
        case SampleFormat::Pcm32: Pcm32Format::FromDouble(half(rng) * 4294967296.0, p); break;
        case SampleFormat::Float32: Float32Format::FromDouble(half(rng) * 2.0, p); break;
        default: break;
        }
    }
    return true;
}

void ReportFrames(benchmark::State& st)
{
    st.counters["frames/s"] = benchmark::Counter(static_cast<double>(st.iterations()) * kBlockFrames,
                                                 benchmark::Counter::kIsRate);
}

void BM_Whole(benchmark::State& st, SampleFormat format, uint32_t inChannels, DecodePath path)
{
    Setup s;
    if (!Prepare(s, format, inChannels)) return st.SkipWithError("allocation failed");
    for (auto _ : st) {
        s.state.DecodeFrames(format, s.src.data(), s.dst.data(), kBlockFrames, path);
        benchmark::DoNotOptimize(s.dst.data());
        benchmark::ClobberMemory();
    }
    ReportFrames(st);
}

// The block decode shelves its input planes in place, so each pass starts from a fresh copy
// of the input (a plain copy of 4096 frames per channel, counted in the time); decoding the
// same planes over and over would drive them into overflow or subnormal numbers.
void BM_DecodeBlock(benchmark::State& st, uint32_t inChannels, DecodePath path)
{
    Setup s;
    if (!Prepare(s, SampleFormat::Pcm16, inChannels)) return st.SkipWithError("allocation failed");
    std::vector<std::vector<double>> input(inChannels, std::vector<double>(kBlockFrames));
    double* pristine[4];
    for (uint32_t c = 0; c < inChannels; ++c) pristine[c] = input[c].data();
    DeinterleaveBlockScalar(s.src.data(), kBlockFrames, SampleFormat::Pcm16, inChannels, pristine);
    double* const* in = s.state.m_InPlanes.data();
    for (auto _ : st) {
        for (uint32_t c = 0; c < inChannels; ++c)
            std::memcpy(in[c], pristine[c], sizeof(double) * kBlockFrames);
        s.state.DecodeBlock(in, s.state.m_OutPlanes.data(), kBlockFrames, path);
        benchmark::DoNotOptimize(s.state.m_OutPlanes[0]);
        benchmark::ClobberMemory();
    }
    ReportFrames(st);
}

}  // namespace

int main(int argc, char** argv)
{
    const struct { const char* name; DecodePath path; } paths[] = {
        {"Scalar", DecodePath::Scalar}, {"Sse2", DecodePath::Sse2}, {"Fast", DecodePath::Fast}};
    const struct { const char* name; SampleFormat format; } formats[] = {
        {"Pcm16", SampleFormat::Pcm16}, {"Pcm24", SampleFormat::Pcm24},
        {"Pcm32", SampleFormat::Pcm32}, {"Float32", SampleFormat::Float32}};

    for (uint32_t ch : {4u, 3u})
        for (const auto& p : paths)
            benchmark::RegisterBenchmark(("DecodeBlock/" + std::to_string(ch) + "ch/" + p.name).c_str(),
                                         BM_DecodeBlock, ch, p.path);
    for (const auto& f : formats)
        for (uint32_t ch : {4u, 3u})
            for (const auto& p : paths)
                benchmark::RegisterBenchmark(
                    ("Whole/" + std::string(f.name) + "/" + std::to_string(ch) + "ch/" + p.name).c_str(), BM_Whole,
                    f.format, ch, p.path);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
