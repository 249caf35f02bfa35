// The designed decoders: the time to design one at negotiation (the presets' sizes and the
// largest rig, at first and third order), and frames per second of the general decode that
// runs them, plain loop against the 256-bit loop and the fastest this processor has
// (512-bit where it runs), first-order input (4 channels) or third-order (16) to 6, 8 and 12
// speakers (12: 7.1.4), 16-bit and float. Third-order float to 12 outputs moves 112 bytes a
// frame (64 in, 48 out), which bounds it near 90 M frames/s on memory traffic alone.
//
//   cmake --build --preset native --target rig_design_bench && build/native/bench/rig_design_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>
#include <random>
#include <vector>

#include "decoder/matrix_decoder.h"
#include "decoder/rig_design.h"

namespace {

using namespace decoder;

std::vector<SpeakerDirection> Rig(int kind)
{
    if (kind == 0) return {{30, 0}, {-30, 0}, {0, 0}, {110, 0}, {-110, 0}};
    if (kind == 1)
        return {{30, 0}, {-30, 0}, {0, 0}, {135, 0}, {-135, 0}, {90, 0}, {-90, 0}, {45, 45}, {-45, 45}, {135, 45}, {-135, 45}};
    std::vector<SpeakerDirection> sphere;  // 64 speakers on a golden-angle spiral
    for (int i = 0; i < 64; ++i)
        sphere.push_back({std::fmod(i * 137.50776405003785, 360.0), std::asin(1.0 - (2.0 * i + 1.0) / 64) * 57.29577951308232});
    return sphere;
}

void Design(benchmark::State& state)
{
    const std::vector<SpeakerDirection> rig = Rig(static_cast<int>(state.range(0)));
    const int order = static_cast<int>(state.range(1));
    DesignedDecoder d;
    for (auto _ : state) {
        if (DesignAllRound(rig.data(), rig.size(), order, d) != DesignResult::Ok) state.SkipWithError("design failed");
        benchmark::DoNotOptimize(d.high.data());
    }
    state.SetLabel(std::to_string(rig.size()) + " speakers, order " + std::to_string(order));
}
BENCHMARK(Design)->ArgsProduct({{0, 1, 2}, {1, 3}})->Unit(benchmark::kMillisecond);

// Args: inputs, outputs, 0 for 16-bit or 1 for float, 0 for the plain loop, 1 for the 256-bit
// one, 2 for the fastest.
void MatrixDecode(benchmark::State& state)
{
    const uint32_t inputs = static_cast<uint32_t>(state.range(0)), outputs = static_cast<uint32_t>(state.range(1));
    const SampleFormat format = state.range(2) ? SampleFormat::Float32 : SampleFormat::Pcm16;
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-0.3, 0.3);
    MatrixDecoderGains gains;
    gains.inputs = inputs;
    gains.outputs = outputs;
    for (size_t i = 0; i < size_t{inputs} * outputs; ++i) {
        gains.low.push_back(u(rng));
        gains.high.push_back(u(rng));
    }
    MatrixDecoder decoder;
    if (decoder.Prepare(gains, 48000.0) != MatrixDecoder::Result::Ok) state.SkipWithError("prepare failed");
    if (state.range(3) == 0) decoder.UsePlainLoop();
    if (state.range(3) == 1) {
        if (!kernels::MatrixFramesAvx2()) return state.SkipWithError("no 256-bit loop here");
        decoder.UseLoop(kernels::MatrixFramesAvx2());
    }
    constexpr size_t kFrames = 4096;
    const size_t bytes = BytesPerSample(format);
    std::vector<uint8_t> src(kFrames * inputs * bytes), dst(kFrames * outputs * bytes);
    for (size_t i = 0; i < src.size(); i += bytes) {
        const double v = u(rng);
        if (format == SampleFormat::Float32) {
            const float f = static_cast<float>(v);
            std::memcpy(&src[i], &f, 4);
        } else {
            Pcm16Format::FromDouble(v * 32767.0, &src[i]);
        }
    }
    for (auto _ : state) {
        decoder.Process(format, src.data(), dst.data(), kFrames);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
    const char* loops[] = {"plain ", "256-bit ", "fastest "};
    state.SetLabel(std::string(loops[state.range(3)]) + (state.range(2) ? "float" : "16-bit"));
}
BENCHMARK(MatrixDecode)->ArgsProduct({{4, 16}, {6, 8, 12}, {0, 1}, {0, 1, 2}});

}  // namespace

BENCHMARK_MAIN();
