// Time to design a decoder for a rig at negotiation: the presets' sizes and the largest rig,
// at first and third order.
//
//   cmake --build --preset native --target rig_design_bench && build/native/bench/rig_design_bench
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

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

}  // namespace

BENCHMARK_MAIN();
