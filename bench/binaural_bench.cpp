// Frames per second of headphone decoding and UHJ encoding at 48 kHz, with the multiple of
// real time as a counter ("x_realtime": seconds of audio processed per second, one core).
//
//   cmake --preset native && cmake --build --preset native --target binaural_bench
//   build/native/bench/binaural_bench
//
// Headphones: the default layout with the built-in head, and handed-in responses of 256 and
// 1024 frames (a typical measured set), 4 and 3 input channels, blocks of 1024 frames; the
// plain reference once for comparison. Input is random audio at half of full scale.
//
// The convolution alone, in the shape the designed headphone decode gives it: one filter per
// Ambisonic channel and ear, BinauralDesignTaps(1024) taps long (1024-frame responses), for
// first, third and seventh order (4, 16 and 64 channels), with the partition of the headphone
// decode (kBinauralLatencyFrames) and, for comparison, a partition of 1024 frames (four times
// the lag, about a third of the spectrum products per frame). The headphone renderer on ambiX
// of orders 1, 3 and 7.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/binaural_design.h"
#include "decoder/block_convolver.h"

#include "decoder/renderer.h"
#include "decoder/rig.h"
#include "decoder/uhj.h"
#include "tests/support/binaural_reference.h"

namespace {

using namespace decoder;

constexpr double kRate = 48000.0;
constexpr int32_t kBlockFrames = 1024;

std::vector<std::vector<double>> RandomPlanes(size_t planes, size_t frames, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    std::vector<std::vector<double>> p(planes, std::vector<double>(frames));
    for (auto& plane : p)
        for (double& v : plane) v = u(rng);
    return p;
}

std::vector<DirectionalResponse> MeasuredSet(size_t frames)
{
    std::vector<DirectionalResponse> set;
    auto noise = RandomPlanes(2 * 36, frames, 7);
    for (size_t i = 0; i < 36; ++i) {
        DirectionalResponse r;
        r.azimuthDeg = static_cast<double>(i) * 10.0;
        r.left = noise[2 * i];
        r.right = noise[2 * i + 1];
        set.push_back(r);
    }
    return set;
}

// Runs `process` (one block of kBlockFrames) for the benchmark's iterations and reports frames
// per second and the multiple of real time.
template <class Process>
void Measure(benchmark::State& state, std::vector<double>& out, Process process)
{
    for (auto _ : state) {
        process();
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockFrames / kRate, benchmark::Counter::kIsRate);
}

template <class Decoder>
void RunHeadphones(benchmark::State& state, uint32_t inChannels, size_t responseFrames)
{
    const std::vector<DirectionalResponse> set = responseFrames ? MeasuredSet(responseFrames) : std::vector<DirectionalResponse>{};
    BinauralSettings s;
    s.responses = set.empty() ? nullptr : set.data();
    s.responseCount = set.size();
    Decoder d;
    if (d.Prepare({inChannels, kRate, kBlockFrames}, s) != PrepareResult::Ok) {
        state.SkipWithError("preparation failed");
        return;
    }
    auto in = RandomPlanes(inChannels, kBlockFrames, 1);
    auto out = RandomPlanes(2, kBlockFrames, 2);
    const double* inPlanes[4] = {};
    for (uint32_t ch = 0; ch < inChannels; ++ch) inPlanes[ch] = in[ch].data();
    double* outPlanes[2] = {out[0].data(), out[1].data()};
    Measure(state, out[0], [&] { d.Process(inPlanes, outPlanes, kBlockFrames); });
}

void BM_Headphones_BuiltInHead_4ch(benchmark::State& s) { RunHeadphones<BinauralDecoder>(s, 4, 0); }
void BM_Headphones_BuiltInHead_3ch(benchmark::State& s) { RunHeadphones<BinauralDecoder>(s, 3, 0); }
void BM_Headphones_Measured256_4ch(benchmark::State& s) { RunHeadphones<BinauralDecoder>(s, 4, 256); }
void BM_Headphones_Measured1024_4ch(benchmark::State& s) { RunHeadphones<BinauralDecoder>(s, 4, 1024); }
void BM_Headphones_PlainReference_BuiltInHead_4ch(benchmark::State& s) { RunHeadphones<decoder_test::BinauralReference>(s, 4, 0); }
BENCHMARK(BM_Headphones_BuiltInHead_4ch);
BENCHMARK(BM_Headphones_BuiltInHead_3ch);
BENCHMARK(BM_Headphones_Measured256_4ch);
BENCHMARK(BM_Headphones_Measured1024_4ch);
BENCHMARK(BM_Headphones_PlainReference_BuiltInHead_4ch);

void BM_DesignedHeadphoneConvolution(benchmark::State& state)
{
    const size_t channels = static_cast<size_t>(state.range(0));
    const auto partition = static_cast<size_t>(state.range(1));
    const size_t taps = BinauralDesignTaps(1024);
    std::vector<std::vector<std::vector<double>>> filters(channels);
    auto noise = RandomPlanes(2 * channels, taps, 5);
    for (size_t ch = 0; ch < channels; ++ch) filters[ch] = {noise[2 * ch], noise[2 * ch + 1]};
    BlockConvolver convolver;
    if (!convolver.Setup(filters, partition)) return state.SkipWithError("set-up failed");
    auto in = RandomPlanes(channels, kBlockFrames, 1);
    auto out = RandomPlanes(2, kBlockFrames, 2);
    std::vector<const double*> inPlanes;
    for (const auto& plane : in) inPlanes.push_back(plane.data());
    double* outPlanes[2] = {out[0].data(), out[1].data()};
    Measure(state, out[0], [&] { convolver.Process(inPlanes.data(), outPlanes, kBlockFrames); });
    state.SetLabel(std::to_string(channels) + " channels, " + std::to_string(taps) + " taps, partition " +
                   std::to_string(partition));
}
BENCHMARK(BM_DesignedHeadphoneConvolution)->ArgsProduct({{4, 16, 64}, {kBinauralLatencyFrames, 1024}});

// The headphone renderer on ambiX of the benchmark's order (Arg), with the built-in head: the
// magnitude least-squares filters of that order, one per channel and ear.
void BM_Headphones_Ambix(benchmark::State& state)
{
    const auto order = static_cast<int>(state.range(0));
    const auto channels = static_cast<uint32_t>((order + 1) * (order + 1));
    const auto renderer = MakeRenderer(OutputKind::Headphones, BuiltInRig(LayoutId::Octagon), nullptr);
    if (renderer->Prepare({channels, kRate, kBlockFrames, InputConvention::Ambix}) != PrepareResult::Ok) {
        state.SkipWithError("preparation failed");
        return;
    }
    auto in = RandomPlanes(channels, kBlockFrames, 5);
    auto out = RandomPlanes(2, kBlockFrames, 6);
    std::vector<double*> inPlanes;
    for (auto& plane : in) inPlanes.push_back(plane.data());
    double* outPlanes[2] = {out[0].data(), out[1].data()};
    Measure(state, out[0], [&] { renderer->RenderPlanes(inPlanes.data(), outPlanes, kBlockFrames); });
}
BENCHMARK(BM_Headphones_Ambix)->Arg(1)->Arg(3)->Arg(7);

void BM_UhjStereo(benchmark::State& state)
{
    auto in = RandomPlanes(3, kBlockFrames, 3);
    auto out = RandomPlanes(2, kBlockFrames, 4);
    const double* inPlanes[3] = {in[0].data(), in[1].data(), in[2].data()};
    double* outPlanes[2] = {out[0].data(), out[1].data()};
    UhjEncoder e;
    Measure(state, out[0], [&] { e.Process(inPlanes, outPlanes, kBlockFrames); });
}
BENCHMARK(BM_UhjStereo);

}  // namespace

BENCHMARK_MAIN();
