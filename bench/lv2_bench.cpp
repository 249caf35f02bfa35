// The LV2 plugins' run() at 64-frame blocks and 48 kHz, as a live host drives them, with the
// share of one core that real-time operation takes ("cpu_percent": time per block over the
// block's 1.33 ms).
//
//   cmake --preset native && cmake --build --preset native --target lv2_bench
//   build/native/bench/lv2_bench
//
// Loads the bundle's library itself (dlopen, lv2_descriptor), with no host in between, and
// feeds random audio at half of full scale.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr uint32_t kBlockFrames = 64;

const LV2_Descriptor* Find(const std::string& uri)
{
    static void* library = dlopen(DURAZODO_LV2_BINARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(library, "lv2_descriptor"));
    for (uint32_t i = 0; entry && entry(i); ++i)
        if (uri == entry(i)->URI) return entry(i);
    return nullptr;
}

// How the scene turns while a plugin runs.
enum class Turn { None, Fixed, EveryBlock };

// Runs plugin `name` with its shape's control (`choice`, if any) set to `value`; with
// Turn::Fixed the scene is turned by 30 degrees of yaw throughout, with Turn::EveryBlock its yaw
// moves by a degree every block (a head tracker), so each block interpolates the rotation.
void RunPlugin(benchmark::State& state, const char* name, uint32_t outputs, const char* choice, float value,
               Turn turn = Turn::None)
{
    const LV2_Descriptor* d = Find(std::string("http://durazodo.example/lv2/") + name);
    LV2_Handle h = d ? d->instantiate(d, kRate, "", nullptr) : nullptr;
    if (!h) {
        state.SkipWithError("cannot load the plugin");
        return;
    }
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    std::vector<std::vector<float>> in(4, std::vector<float>(kBlockFrames)), out(outputs, std::vector<float>(kBlockFrames));
    for (auto& plane : in)
        for (float& v : plane) v = u(rng);
    float convention = 0.0f, control = value, latency = 0.0f, rotation[3] = {turn == Turn::Fixed ? 30.0f : 0.0f};
    uint32_t port = 0;
    for (auto& plane : in) d->connect_port(h, port++, plane.data());
    for (auto& plane : out) d->connect_port(h, port++, plane.data());
    d->connect_port(h, port++, &convention);
    if (choice) d->connect_port(h, port++, &control);
    if (std::strcmp(name, "headphones") == 0) d->connect_port(h, port++, &latency);
    for (float& angle : rotation) d->connect_port(h, port++, &angle);
    d->activate(h);
    for (auto _ : state) {
        if (turn == Turn::EveryBlock) rotation[0] = rotation[0] >= 179.0f ? -180.0f : rotation[0] + 1.0f;
        d->run(h, kBlockFrames);
        benchmark::DoNotOptimize(out[0].data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
    // Seconds per block over the block's duration, in percent: a rate counter of blocks'
    // durations (per 100) per second, inverted.
    state.counters["cpu_percent"] = benchmark::Counter(
        kBlockFrames / kRate / 100.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    d->deactivate(h);
    d->cleanup(h);
}

void Square(benchmark::State& s) { RunPlugin(s, "speakers-4", 4, "layout", 0.0f); }
void Octagon(benchmark::State& s) { RunPlugin(s, "speakers-8", 8, "layout", 4.0f); }
void OctagonTurned(benchmark::State& s) { RunPlugin(s, "speakers-8", 8, "layout", 4.0f, Turn::Fixed); }
void OctagonTurning(benchmark::State& s) { RunPlugin(s, "speakers-8", 8, "layout", 4.0f, Turn::EveryBlock); }
void Rig714(benchmark::State& s) { RunPlugin(s, "speakers-7.1.4", 12, nullptr, 0.0f); }
void Rig714Turned(benchmark::State& s) { RunPlugin(s, "speakers-7.1.4", 12, nullptr, 0.0f, Turn::Fixed); }
void Rig714Turning(benchmark::State& s) { RunPlugin(s, "speakers-7.1.4", 12, nullptr, 0.0f, Turn::EveryBlock); }
void Uhj(benchmark::State& s) { RunPlugin(s, "uhj", 2, nullptr, 0.0f); }
void HeadphonesBuiltInHead(benchmark::State& s) { RunPlugin(s, "headphones", 2, "responses", 0.0f); }
void HeadphonesInstalledSet(benchmark::State& s) { RunPlugin(s, "headphones", 2, "responses", 1.0f); }
void HeadphonesTurning(benchmark::State& s) { RunPlugin(s, "headphones", 2, "responses", 1.0f, Turn::EveryBlock); }

BENCHMARK(Square);
BENCHMARK(Octagon);
BENCHMARK(OctagonTurned);
BENCHMARK(OctagonTurning);
BENCHMARK(Rig714);
BENCHMARK(Rig714Turned);
BENCHMARK(Rig714Turning);
BENCHMARK(Uhj);
BENCHMARK(HeadphonesBuiltInHead);
BENCHMARK(HeadphonesInstalledSet);
BENCHMARK(HeadphonesTurning);

}  // namespace

BENCHMARK_MAIN();
